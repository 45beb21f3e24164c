// jtag-serve: the board JTAG_PLATFORM names on the network, for OpenOCD,
// openFPGALoader, Vivado or another jtagbox: over remote_bitbang
// (serve/rbb_server.h) and over Xilinx Virtual Cable (serve/xvc_server.h).
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/number_text.h"
#include "programs/program_frame.h"
#include "serve/backend_hold.h"
#include "serve/rbb_server.h"
#include "serve/server_common.h"
#include "serve/xvc_server.h"
#ifdef JTAGBOX_SIM_BOARD  // the board's build has no simulated board
#include "backends/sim/sim_backend.h"
#include "serve/sim/sim_rbb_server.h"
#endif

namespace {

constexpr const char *kHelp =
    "usage: jtag-serve [--rbb PORT] [--xvc PORT] [--listen ADDR] [--wave FILE]\n"
    "\n"
    "Serves the board JTAG_PLATFORM names (the simulated board when it is\n"
    "unset) to JTAG software on the network, one client at a time:\n"
    "  --rbb PORT     over remote_bitbang (OpenOCD's adapter driver)\n"
    "  --xvc PORT     over Xilinx Virtual Cable 1.0 (2542 by convention)\n"
    "  --listen ADDR  the numeric IPv4 or IPv6 address to listen on\n"
    "                 (default 127.0.0.1)\n"
    "  --wave FILE    record every TCK of every client as a VCD\n"
    "PORT 0 picks a free port.  Each port is printed on a line of its own,\n"
    "in the order of the options, before anything else.  A client holds the\n"
    "board only while it is busy; one that leaves its answers unread for 5 s\n"
    "is dropped.  SIGINT and SIGTERM stop the server.\n";

using jtag::UniqueFd;

struct Listener {
  bool xvc = false;
  int port = 0;
  UniqueFd fd;
};

struct Options {
  std::vector<Listener> listeners;
  std::string address = "127.0.0.1";
  std::string wave;
};

int usage_error(const std::string &message) { return jtag::frame::usage_error(message); }

#ifdef JTAGBOX_SIM_BOARD
// The simulated board's directory, when JTAG_PLATFORM names one.
std::optional<std::filesystem::path> sim_dir(const char *platform) { return jtag::sim::served_board_dir(platform); }

// A wait for the simulated board's lock gives up on a stop signal.
void wait_for_sim_lock_until_stopped() { jtag::sim::set_sim_lock_wait(jtag::serve::stop_requested); }

// One remote_bitbang client: the simulated board tells TDO without a TCK,
// so it gets the exact server; any other board is reached through its backend's lines.
void serve_rbb(int client, const char *platform, const std::optional<std::filesystem::path> &dir) {
  if (dir) return jtag::sim::serve_rbb_client(client, *dir);
  jtag::serve::LinesRbbBoard board(platform);
  jtag::serve::serve_rbb_client(client, board);
}
#else
// The board's build has no simulated board: every board is reached through its backend's lines.
std::optional<std::filesystem::path> sim_dir(const char * /*platform*/) { return std::nullopt; }
void wait_for_sim_lock_until_stopped() {}
void serve_rbb(int client, const char *platform, const std::optional<std::filesystem::path> & /*dir*/) {
  jtag::serve::LinesRbbBoard board(platform);
  jtag::serve::serve_rbb_client(client, board);
}
#endif

// Returns the usage status, or -1 when the options are good.
int parse(int argc, char **argv, Options &options) {
  for (int i = 1; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc || *argv[i + 1] == '\0') return usage_error(option + " needs a value");
    const std::string value = argv[i + 1];
    if (option == "--rbb" || option == "--xvc") {
      const auto n = jtag::parse_number(value);
      if (!n || *n > 65535) return usage_error("bad port '" + value + "'");
      Listener l;
      l.xvc = option == "--xvc";
      l.port = int(*n);
      options.listeners.push_back(std::move(l));
    } else if (option == "--listen") {
      options.address = value;
    } else if (option == "--wave") {
      options.wave = value;
    } else {
      return usage_error("unknown option '" + option + "'");
    }
  }
  if (options.listeners.empty()) return usage_error("give --rbb PORT, --xvc PORT or both");
  return -1;
}

// Waits for a connection on any listener; the one that has one, or null
// when a stop signal came.
Listener *wait_for_client(std::vector<Listener> &listeners) {
  std::vector<pollfd> fds;
  fds.reserve(listeners.size());
  for (const Listener &l : listeners) fds.push_back({l.fd.get(), POLLIN, 0});
  while (!jtag::serve::stop_requested()) {
    const int r = ::poll(fds.data(), fds.size(), 100);
    if (r < 0 && errno != EINTR) return nullptr;
    for (size_t i = 0; r > 0 && i < fds.size(); ++i)
      if (fds[i].revents & POLLIN) return &listeners[i];
  }
  return nullptr;
}

int serve(Options &options, const char *platform, const std::optional<std::filesystem::path> &dir) {
  for (Listener &l : options.listeners) {
    int bound = 0;
    l.fd = jtag::serve::listen_on(options.address, l.port, bound);
    l.port = bound;
  }
  if (!options.wave.empty()) jtag::serve::open_wave(options.wave);
  for (const Listener &l : options.listeners) std::printf("%d\n", l.port);
  std::fflush(stdout);
  while (Listener *l = wait_for_client(options.listeners)) {
    // The client's socket closes only after its session let the board go.
    const UniqueFd client(::accept4(l->fd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!client.valid()) continue;
    if (l->xvc) {
      jtag::serve::serve_xvc_client(client.get(), platform);
    } else {
      serve_rbb(client.get(), platform, dir);
    }
  }
  const std::optional<std::string> lost = jtag::serve::close_wave();
  return lost ? jtag::frame::failure(*lost) : 0;
}

int run(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0))
    return jtag::frame::print_help(kHelp);
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) return jtag::frame::print_version();
  Options options;
  if (const int status = parse(argc, argv, options); status >= 0) return status;
  const char *platform = std::getenv("JTAG_PLATFORM");
  std::optional<std::filesystem::path> dir;
  try {
    dir = sim_dir(platform);
  } catch (const std::exception &e) {
    return usage_error(e.what());
  }
  jtag::serve::set_program("jtag-serve");
  jtag::serve::watch_stop_signals();
  wait_for_sim_lock_until_stopped();
  return serve(options, platform, dir);
}

}  // namespace

int main(int argc, char **argv) { return jtag::frame::run("jtag-serve", argc, argv, run); }
