// jtag-sim: power up, inspect and adjust the simulated board that the
// jtagbox commands drive.
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "backends/backend_arguments.h"
#include "base/printable.h"
#include "programs/program_frame.h"
#include "serve/sim/sim_rbb_server.h"
#include "sim/board_session.h"
#include "sim/scan_chains.h"

namespace {

using jtag::sim::BoardSession;
using jtag::sim::StateError;
using jtag::sim::StateMap;

constexpr const char *kHelp =
    "usage: jtag-sim COMMAND\n"
    "\n"
    "The simulated board behind the jtagbox commands.  Its state lives in\n"
    "$XDG_STATE_HOME/jtag-sim (else $HOME/.local/state/jtag-sim); with\n"
    "JTAG_PLATFORM=sim:DIR it lives in DIR.\n"
    "\n"
    "commands:\n"
    "  reset              power the board up fresh\n"
    "  show               print the board state for people: of the written L2\n"
    "                     words, control and FPGA registers the first 8 of each\n"
    "                     part, then how many more and up to which address\n"
    "  get KEY...         print each key's value on a line of its own, as set\n"
    "                     takes it (e.g. cpu0.tap, cpu1.l2.0x100, fpga.0xcb1000)\n"
    "  set KEY=VALUE...   change the board state; numbers are decimal or 0x hex\n"
    "  chain KEY          print a scan chain's contents as hex, as a dump of its\n"
    "                     whole length shows them (KEY e.g. cpu0.chain.0c)\n"
    "  fault NAME=VALUE...\n"
    "                     break the board's wiring until 'fault clear' (or reset):\n"
    "                     tdo-stuck=0|1, chain-open=DEV, ir-capture=DEV, absent=DEV,\n"
    "                     held-in-reset=DEV, tdo-errors=RATE[,above=HZ][,seed=N]\n"
    "                     (jtag-sim(1)); 'show' lists them\n"
    "  fault clear [NAME=VALUE...]\n"
    "                     mend every wiring fault (then set those given)\n"
    "  serve [--port N] [--wave FILE]\n"
    "                     serve the board over remote_bitbang on 127.0.0.1:N\n"
    "                     (default 3335; 0 picks a free port); the port is\n"
    "                     the first line printed.  A client holds the board\n"
    "                     only while it is busy, and one that leaves its\n"
    "                     answers unread is dropped.  SIGINT/SIGTERM stop it.\n"
    "                     --wave FILE records every TCK it sees as a VCD\n"
    "  --help             this text\n"
    "  --version          the version of jtagbox it belongs to\n"
    "\n"
    "keys for set:\n"
    "  scan_mode=WORD           the scan-mode word (as JTAG_CPUSelect/VNXSelect write)\n"
    "  tms=0|1, tdi=0|1         the levels last driven on TMS and TDI\n"
    "  fpga.ADDR=BYTE           an FPGA register, e.g. fpga.0xcb1000=0xfe\n"
    "  accelerator=0|1          the scan-dump accelerator\n"
    "  reset_hang=0|1           JTAG_Reset ends by its 5 s watchdog\n"
    "  accel_on_fail=0|1        switching the scan-dump accelerator on fails\n"
    "  accel_off_fail=0|1       switching it off fails\n"
    "  DEV.tap=STATE            a TAP's state, e.g. cpu0.tap=Run-Test/Idle\n"
    "  DEV.ir=CODE              the instruction in force in a TAP\n"
    "  cpuN.creg.ADDR=VALUE     a processor's control register (40-bit address)\n"
    "  cpuN.l2.ADDR=VALUE       a processor's L2 word (address a multiple of 8)\n"
    "  cpuN.scan_access=0|1     scan access (instruction 0x88) on\n"
    "  cpuN.chain_select=0xKK   the selected scan chain (0x00..0x3f)\n"
    "  cpuN.chain.KK.length=N   the length of chain KK in bits\n"
    "  cpuN.chain.KK=0xHEX      its contents (bit 0 comes out first)\n"
    "  vnxN.scan_access=0|1, vnxN.scan_config=0xVALUE (0x01e0 routes the chain),\n"
    "  vnxN.chain.length=N, vnxN.chain=0xHEX   the Vornex chip's scan chain\n"
    "  (DEV is cpu0..cpu3 or vnx0..vnx3; 'jtag-sim show' lists the rest)\n"
    "\n"
    "The state lives in DIR/board.db, an SQLite database (board.db(5)\n"
    "describes its tables).\n";

int usage_error(const std::string &message) { return jtag::frame::usage_error(message); }

// The board JTAG_PLATFORM names, read as the sim backend reads it (sim,
// sim:DIR, sim:dir=DIR; unset is sim).
std::filesystem::path board_dir() {
  const char *value = std::getenv("JTAG_PLATFORM");
  const std::string_view text = value == nullptr ? std::string_view("sim") : std::string_view(value);
  if (text != "sim" && !text.starts_with("sim:"))
    throw std::invalid_argument("JTAG_PLATFORM=" + std::string(text) +
                                " is not a simulated board (use sim or sim:DIR)");
  const jtag::BackendArguments arguments(text, "sim", "dir");
  const std::string dir = arguments.get("dir");
  return dir.empty() ? jtag::sim::default_state_dir() : std::filesystem::path(dir);
}

int run_set(BoardSession &session, int argc, char **argv) {
  StateMap state;
  session.board().save(state);
  for (int i = 2; i < argc; ++i) {
    const char *eq = std::strchr(argv[i], '=');
    if (eq == nullptr || eq == argv[i]) return usage_error(std::string("'") + argv[i] + "' is not KEY=VALUE");
    state.put(std::string(argv[i], size_t(eq - argv[i])), eq + 1);
  }
  try {
    session.load_state(state);
  } catch (const StateError &e) {
    return usage_error(std::string("cannot set that: ") + e.what());
  }
  session.save();
  return 0;
}

// Every value first, then the lines: an unknown key prints nothing at all.
int run_get(BoardSession &session, int argc, char **argv) {
  StateMap state;
  session.board().save(state);
  std::string out;
  for (int i = 2; i < argc; ++i) {
    const std::string key = argv[i];
    std::optional<std::string> value;
    if (state.contains(key))
      value = state.take(key);
    else
      value = session.board().get(key);
    if (!value) {
      std::fprintf(stderr, "jtag-sim: no key '%s' (see 'jtag-sim --help')\n", jtag::printable(argv[i]).c_str());
      return 1;
    }
    out += *value + "\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

// Every fault is checked before the board changes.
int run_fault(BoardSession &session, int argc, char **argv) {
  jtag::sim::ChainFaults faults = session.board().chain_faults();
  int first = 2;
  if (std::strcmp(argv[2], "clear") == 0) {  // clear, then any faults after it
    faults = {};
    first = 3;
  }
  for (int i = first; i < argc; ++i) {
    const char *eq = std::strchr(argv[i], '=');
    if (eq == nullptr || eq == argv[i])
      return usage_error("'" + jtag::printable(argv[i]) + "' is not NAME=VALUE (or clear first)");
    try {
      faults.set(std::string(argv[i], size_t(eq - argv[i])), eq + 1);
    } catch (const StateError &e) {
      return usage_error(std::string("cannot set that fault: ") + e.what());
    }
  }
  session.set_chain_faults(faults);
  session.save();
  return 0;
}

int run_chain(BoardSession &session, const std::string &key) {
  jtag::sim::ScanChain *chain = session.board().find_chain(key);
  if (chain == nullptr) return usage_error("no scan chain '" + key + "' (e.g. cpu0.chain.0c, vnx1.chain)");
  const std::string hex = jtag::to_hex(chain->contents());
  std::fwrite(hex.data(), 1, hex.size(), stdout);
  std::fputc('\n', stdout);
  return 0;
}

int run_serve(int argc, char **argv) {
  int port = jtag::sim::kDefaultRbbPort;
  std::string wave;
  for (int i = 2; i < argc; i += 2) {
    if (i + 1 < argc && std::strcmp(argv[i], "--port") == 0) {
      const auto n = jtag::parse_number(argv[i + 1]);
      if (!n || *n > 65535) return usage_error(std::string("bad port '") + argv[i + 1] + "'");
      port = int(*n);
    } else if (i + 1 < argc && std::strcmp(argv[i], "--wave") == 0 && *argv[i + 1] != '\0') {
      wave = argv[i + 1];
    } else {
      return usage_error("serve takes only --port N and --wave FILE");
    }
  }
  std::filesystem::path dir;
  try {
    dir = board_dir();
  } catch (const std::exception &e) {
    return usage_error(e.what());
  }
  // The server's lines and failures start with "jtag-sim serve".
  jtag::frame::show_notices_as("jtag-sim serve");
  std::optional<std::string> lost;
  try {
    lost = jtag::sim::serve_remote_bitbang(dir, port, wave, [](int bound) {
      std::printf("%d\n", bound);
      std::fflush(stdout);
    });
  } catch (const jtag::PlatformError &e) {
    return jtag::frame::failure_as("jtag-sim serve", e.what());
  }
  return lost ? jtag::frame::failure_as("jtag-sim serve", *lost) : 0;
}

int run(int argc, char **argv) {
  if (argc < 2) return usage_error("no command given");
  const std::string command = argv[1];
  if (command == "--help" || command == "-h") return jtag::frame::print_help(kHelp);
  if (command == "--version") return jtag::frame::print_version();
  if (command == "serve") return run_serve(argc, argv);
  if (command != "reset" && command != "show" && command != "set" && command != "chain" && command != "get" &&
      command != "fault")
    return usage_error("unknown command '" + command + "'");
  if (command == "fault" && argc < 3) return usage_error("fault needs NAME=VALUE or clear");
  if (command == "set" && argc < 3) return usage_error("set needs KEY=VALUE");
  if (command == "get" && argc < 3) return usage_error("get needs a KEY");
  if (command == "chain" && argc != 3) return usage_error("chain needs one KEY");
  if ((command == "reset" || command == "show") && argc > 2) return usage_error(command + " takes no arguments");

  std::filesystem::path dir;
  try {
    dir = board_dir();
  } catch (const std::exception &e) {
    return usage_error(e.what());
  }
  if (command == "reset") {
    jtag::sim::reset_board(dir);
    return 0;
  }
  // show, get and chain only look: they write nothing, not even a new board.
  jtag::sim::StoreOptions options;
  options.write = command == "set" || command == "fault";
  BoardSession session(dir, options);
  if (command == "get") return run_get(session, argc, argv);
  if (command == "show") {
    std::cout << "board: " << dir.string() << "\n";
    session.board().show(std::cout);
    return 0;
  }
  if (command == "chain") return run_chain(session, argv[2]);
  if (command == "fault") return run_fault(session, argc, argv);
  return run_set(session, argc, argv);
}

}  // namespace

int main(int argc, char **argv) { return jtag::frame::run("jtag-sim", argc, argv, run); }
