// jtag-svf and the recorders: a session recorded with JTAG_SVF replays to
// the same board (by jtag-svf, and by OpenOCD) and a flipped expected bit
// fails at its line; SVF written by hand follows the standard's rules, and
// each way a file can be wrong is one line; JTAG_WAVE is VCD that
// sigrok-cli's decoder reads back; a record that cannot be written fails.
#include <sys/stat.h>

#include <iterator>
#include <sstream>

#include "board_view.h"
#include "peer_tools.h"

namespace {

using namespace e2e;

Lines words(const std::string &text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

template <class Base>
class Svf : public Base {
 protected:
  // Runs each of `commands` ("NAME ARG...; ...") with `variable` naming `file`.
  void record(const std::string &variable, const std::string &file, const std::string &commands) {
    this->env_[variable] = this->path(file).string();
    std::istringstream in(commands);
    for (std::string command; std::getline(in, command, ';');) {
      const Lines w = words(command);
      EXPECT_EQ(this->run(w[0], Lines(w.begin() + 1, w.end())).status, 0) << command;
    }
    this->env_.erase(variable);
  }
  // jtag-svf ARGS on a fresh board set with `seed`: its status and what it
  // said, then "| " and each probe's value (board_view.h's probes).
  std::string played(const std::string &args, const Lines &probes = {}, const Lines &seed = {}) {
    this->fresh();
    if (!seed.empty()) this->sim(Lines{"set"} + seed);
    const Result r = this->run("jtag-svf", words(args));
    std::string said = std::to_string(r.status) + " " + r.out + r.err;
    for (const std::string &p : probes) said += "| " + this->probe(p) + "\n";
    return said;
  }
  // The annotations of `rows` sigrok-cli's JTAG decoder makes of `vcd`,
  // each repeat once.
  std::string decode(const std::string &vcd, const std::string &rows) {
    const Result r = this->exec(kSigrokCli, "sigrok-cli",
                                {"-l", "1", "-I", "vcd", "-i", this->path(vcd).string(), "-P",
                                 "jtag:tdi=tdi:tdo=tdo:tck=tck:tms=tms", "-A", "jtag=" + rows});
    std::string out, last;
    for (const std::string &line : split_lines(r.out))  // after "jtag-1: "
      if (line.substr(8) != last) out += (last = line.substr(8)) + "\n";
    return out + r.err;
  }
};
using SvfPlay = Svf<FreshBoardTest>;
using SvfReplay = Svf<ServedBoardTest>;
using ServedWave = Svf<ServedBoardTest>;

// Registers, a long scan, pause states and RUNTESTs ending elsewhere, by
// the commands and by jtag-svf: each record replays on a fresh board, on
// the simulated board and over the wire, to the same board, and OpenOCD's
// svf passes it; a flipped bit fails at its line.
TEST_F(SvfReplay, RecordReplaysToTheSameBoardAndAFlippedBitFailsAtItsLine) {
  write_file(
      path("pauses.svf"),
      "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (0000000010);\nSTATE DRPAUSE;\n"
      "RUNTEST DRPAUSE 7 TCK ENDSTATE IRPAUSE;\nSIR 8 TDI (09);\nENDDR IDLE;\nSDR 64 TDI (00000000feedf00d);\n"
      "ENDIR IRPAUSE;\nSIR 8 TDI (0c);\nRUNTEST IDLE 11 TCK ENDSTATE DRPAUSE;\nRUNTEST 3 TCK;\nSIR 8 TDI (0a);\n");
  record("JTAG_SVF", "a.svf", "JTAG_Reset; JTAG_WriteCreg 10 1234abcd; JTAG_ReadCreg 10; JTAG_ScanDump 0c 100 d.hex");
  fresh();
  record("JTAG_SVF", "b.svf",
         "jtag-svf pauses.svf; JTAG_TMS 1; JTAG_Tck 3; JTAG_TMS 0; JTAG_TMS 1; JTAG_LoadIR 0a; JTAG_ReadCreg 10; "
         "JTAG_TMS 0");
  const std::string b = show(), text = file("a.svf"), read_back = "TDO (000000001234abcd)";
  ASSERT_NE(b.find("feedf00d"), std::string::npos) << b;
  ASSERT_NE(text.find(read_back), std::string::npos) << text;
  write_file(path("flipped.svf"),
             std::string(text).replace(text.find(read_back), read_back.size(), "TDO (000000001234abcc)"));
  const std::string mismatch =
      "1 jtag-svf: flipped.svf:" +
      std::to_string(1 + std::count(text.begin(), text.begin() + long(text.find(read_back)), '\n')) +
      ": TDO mismatch: expected 0x000000001234abcc, got 0x000000001234abcd (mask 0xffffffffffffffff)\n";
  serve();
  for (const bool wire : {false, true}) {
    for (const auto &[svf, said, board] : {std::tuple<std::string, std::string, std::string>{"a.svf", "0 ", ""},
                                           {"b.svf", "0 ", b},
                                           {"flipped.svf", mismatch, ""}}) {
      fresh();
      const Result r = wire ? over_wire("jtag-svf", {svf}) : run("jtag-svf", {svf});
      EXPECT_EQ(std::to_string(r.status) + " " + r.out + r.err, said) << svf << (wire ? " over the wire" : "");
      EXPECT_TRUE(board.empty() || show() == board) << svf << (wire ? " over the wire" : "");
    }
  }
  JTAGBOX_NEED_PEER(kOpenOcd);
  for (const std::string svf : {"a.svf", "flipped.svf"}) {
    fresh();
    const Result r = exec(kOpenOcd, "openocd",
                          {"-c", "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                                     std::to_string(port_) + "; transport select jtag; init; svf -quiet " +
                                     path(svf).string() + "; shutdown"});
    EXPECT_EQ(r.status == 0 && r.err.find("tdo check error") == std::string::npos, svf == "a.svf") << r.err;
  }
}

// Full scan, TDI side first: cpu0..cpu3 (IR 8), vnx0..vnx3 (IR 6).  cpu2 is
// addressed: cpu3 and the Vornex chips are the header, cpu0 and cpu1 the
// trailer, in BYPASS; its control register is written and read back (an
// access needs 11 TCKs: 1.1E-5 s at 1 MHz).  --strict stops at a mismatch
// before anything after it is sent.
TEST_F(SvfPlay, FullScanChainWithOneDeviceAddressed) {
  const std::string cpu2 =
      "TRST ON; TRST OFF; state reset;\nHIR 32 TDI (ffffffff);\nTIR 16 TDI (ffff);\nHDR 5 TDI (00);\nTDR 2 TDI (0);\n"
      "SIR 8 TDI (02) TDO (01) MASK (03);\nSDR 32 TDI (00000000)\n  TDO (2bc0e06b);\n"
      "SIR 8 TDI (08); SDR 40 TDI (00 0000 0010);\nSIR 8 TDI (09); SDR 64 TDI (00000000cafef00d);\n"
      "SIR 8 TDI (0c); RUNTEST 11 TCK;\nSIR 8 TDI (08); SDR 40 TDI (0000000010);\n"
      "SIR 8 TDI (0d); RUNTEST IDLE 1.1E-5 SEC ENDSTATE IDLE;\nSIR 8 TDI (0a); SDR 64 TDI (0) TDO "
      "(00000000cafef00d);\n";
  write_file(path("cpu2.svf"), cpu2);
  write_file(path("cpu1.svf"), std::string(cpu2).replace(cpu2.find("TDO (2bc0e06b)"), 14, "TDO (1bc0e06b)"));
  EXPECT_EQ(played("cpu2.svf", {"tap cpu2", "tap cpu1"}, {"scan_mode=0"}),
            "0 | Run-Test/Idle, IR 0x0a\n| Run-Test/Idle, IR 0xff\n");
  EXPECT_EQ(get("cpu2.creg.0x10"), "0x00000000cafef00d");
  EXPECT_EQ(played("--strict cpu1.svf", {"tap cpu2"}, {"scan_mode=0"}),
            "1 jtag-svf: cpu1.svf:7: TDO mismatch: expected 0x1bc0e06b, got 0x2bc0e06b (mask 0xffffffff)\n| "
            "Run-Test/Idle, IR 0x02\n");
}

// TRST ON asserts TRST (remote_bitbang's 't' over the wire): an address left
// in Pause-DR is never updated, and nothing clocks while it is ON.  Without
// the line (XVC), TMS-high TCKs stand in only from a state they leave
// without an Update or a Capture; --tms-trst allows the rest.
TEST_F(SvfPlay, TrstNeverPassesUpdate) {
  write_file(path("trst.svf"), "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (1234);\nTRST ON;\nTRST OFF;\n");
  write_file(path("held.svf"), "TRST ON;\nRUNTEST 10 TCK;\nTRST ON;\n");
  const std::string passes =
      "jtag-svf: trst.svf:4: TRST ON: this adapter has no TRST line, and TMS high from DRPAUSE to RESET passes "
      "DRUPDATE";
  const Lines probes = {"tap cpu0", "get cpu0.creg_address"};
  if (backend_has_trst()) {
    EXPECT_EQ(played("trst.svf", probes), "0 | Test-Logic-Reset, IR 0x02\n| 0x0000000000\n");
    EXPECT_EQ(played("held.svf", {"tap cpu0"}, {"cpu0.tap=Run-Test/Idle"}),
              "1 jtag-svf: held.svf:2: TRST is ON: the TAP is held in Test-Logic-Reset and cannot move; TRST OFF "
              "first\n| Test-Logic-Reset, IR 0x02\n");
    return;
  }
  EXPECT_EQ(played("trst.svf", probes),
            "1 " + passes + "; --tms-trst allows it\n| Pause-DR, IR 0x08\n| 0x0000000000\n");
  EXPECT_EQ(played("--tms-trst trst.svf", probes),
            "0 " + passes + " (--tms-trst)\n| Test-Logic-Reset, IR 0x02\n| 0x0000001234\n");
  EXPECT_EQ(played("held.svf", {"tap cpu0"}, {"cpu0.tap=Run-Test/Idle"}), "0 | Test-Logic-Reset, IR 0x02\n");
}

// STATE from a pause state to itself goes round through Update; RUNTEST
// keeps its run and end states for the RUNTESTs after it (a run state
// without ENDSTATE is the end state too); ENDDR holds from file to file; a
// scan left in Pause-DR goes on in the next run, the IDCODE still captured.
TEST_F(SvfPlay, StateAndRuntestFollowTheStandard) {
  for (const auto &[name, text] : {std::pair<std::string, std::string>{
                                       "dr", "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (1234);\nSTATE DRPAUSE;\n"},
                                   {"ir", "ENDIR IRPAUSE;\nSIR 8 TDI (08);\nSTATE IRPAUSE;\n"},
                                   {"end", "RUNTEST DRPAUSE 10 TCK ENDSTATE IDLE;\nRUNTEST 100 TCK;\n"},
                                   {"run", "RUNTEST IRPAUSE 5 TCK;\nRUNTEST 5 TCK;\n"},
                                   {"ends", "ENDDR DRPAUSE;\n"},
                                   {"scan", "sdr 32 tdi (0) tdo (0BC0E06B);\n"},
                                   {"capture", "STATE RESET;\nSTATE DRPAUSE;\n"}})
    write_file(path(name + ".svf"), text);
  EXPECT_EQ(played("dr.svf", {"tap cpu0", "get cpu0.creg_address"}), "0 | Pause-DR, IR 0x08\n| 0x0000001234\n");
  EXPECT_EQ(played("ir.svf", {"tap cpu0"}), "0 | Pause-IR, IR 0x08\n");
  EXPECT_EQ(played("end.svf", {"tap cpu0"}), "0 | Run-Test/Idle, IR 0x02\n");
  EXPECT_EQ(played("run.svf", {"tap cpu0"}), "0 | Pause-IR, IR 0x02\n");
  EXPECT_EQ(played("-q ends.svf scan.svf", {"tap cpu0"}), "0 | Pause-DR, IR 0x02\n");
  EXPECT_EQ(played("capture.svf", {"get cpu0.dr_cells"}), "0 | 0bc0e06b\n");
  const Result r = run("jtag-svf", {"scan.svf"});
  EXPECT_EQ(std::to_string(r.status) + r.out + r.err + tap("cpu0"), "0Run-Test/Idle, IR 0x02");
}

// Each error at its line.  Over a wire checked scans run ahead of their
// checks, yet a mismatch is named at its own line; --strict sends nothing
// after a checked scan until it is compared.
TEST_F(SvfPlay, EachErrorIsOneLine) {
  const std::string idcode = "STATE RESET;\nSDR 32 TDI (0) ";
  std::string long_tdo(1024, '0');  // 4,096 bits: the IDCODE, the zeros fed in, and a one at bit 2,000
  long_tdo.replace(1016, 8, "0bc0e06b")[1023 - 2000 / 4] = '1';
  const std::pair<std::string, std::string> cases[] = {
      {"SDR 8 TDI 00;\n", "1: SDR: TDI needs its value in parentheses"},
      {"STATE RESET;\n! pins\nPIO (HLX);\n", "3: PIO is not supported: the platform drives no parallel test pins"},
      {"STATE RESET;\nSTATE IDLE DRSELECT\n  DRSHIFT DRPAUSE;\n", "2: STATE: DRSHIFT is not one TCK from DRSELECT"},
      {"SDR 6 TDI (7f);\n", "1: TDI has bits set beyond its length of 6"},
      {"STATE RESET;\nSDR 8 TDI (00)\n", "2: the file ends before the ';' of SDR"},
      {idcode + "TDO (1bc0e06b) MASK (fffffffe);\n",
       "2: TDO mismatch: expected 0x1bc0e06a, got 0x0bc0e06a (mask 0xfffffffe)"},
      {"SIR 8 TDI (02) TDO (ff);\nSIR 8 TDI (08);\nSIR 8 TDI (09) TDO (01);\n",
       "1: TDO mismatch: expected 0xff, got 0x01 (mask 0xff)"},
      {"STATE RESET;\nSDR 4096 TDI (0)\n  TDO (" + long_tdo + ");\n",
       "2: TDO mismatch in bits 1984..2047 of 4096: expected 0x0000000000010000, got 0x0000000000000000 (mask "
       "0xffffffffffffffff)"},
      {idcode + "TDO (0bc0e06b);\nSDR 16 TDO (e06b);\n", "3: SDR 16 needs TDI: no SDR before it had that length"},
      {"RUNTEST 5 SCK;\n",
       "1: RUNTEST: SCK counts the system clock, which the platform does not drive; give TCK or SEC"},
      {"X\033[31mRED\007;\n", "1: unknown statement X\\x1b[31MRED\\x07"},
  };
  for (const auto &[text, line] : cases) {
    write_file(path("e.svf"), text);
    EXPECT_EQ(played("e.svf"), "1 jtag-svf: e.svf:" + line + "\n");
  }
  write_file(path("e.svf"), cases[6].first);
  EXPECT_EQ(played("--strict e.svf", {"tap cpu0"}),
            "1 jtag-svf: e.svf:" + cases[6].second + "\n| Run-Test/Idle, IR 0x02\n");
  // A bit MASK leaves out is not checked; a scan keeps TDI and MASK from
  // the last of its length; the trace names each statement at its line.
  write_file(path("m.svf"), idcode + "TDO (0bc0e06a) MASK (fffffffe);\nSTATE RESET; SDR 32 TDO (0bc0e06a);\n");
  EXPECT_EQ(played("-q m.svf nothere.svf"), "1 jtag-svf: cannot open nothere.svf: No such file or directory\n");
  EXPECT_EQ(trace(), (Lines{"jtag-svf m.svf:1 STATE", "jtag-svf m.svf:2 SDR 32", "jtag-svf m.svf:3 STATE",
                            "jtag-svf m.svf:3 SDR 32"}));
  const std::string usage = "2 jtag-svf: unknown option '-x'\nusage: jtag-svf";
  EXPECT_EQ(played("-x").substr(0, usage.size()), usage);
}

// Progress only on a terminal (script(1) gives it one), unless -q: after
// each statement the part of the file read, then the line blanked.
TEST_F(SvfPlay, ProgressOnATerminalUnlessQuiet) {
  write_file(path("p.svf"), "STATE RESET;\nSTATE IDLE;\n");
  for (const auto &[option, shown] :
       {std::pair<std::string, std::string>{"",
                                            "jtag-svf: p.svf 48%\rjtag-svf: p.svf 96%\r" + std::string(19, ' ') + "\r"},
        {"-q ", ""}}) {
    const Result r =
        exec("/usr/bin/script", "script", {"-qec", bin("jtag-svf").string() + " " + option + "p.svf", "/dev/null"});
    EXPECT_EQ(std::to_string(r.status) + r.out, "0" + shown) << option;
  }
}

// JTAG_SVF: each process appends from the TAP state the one before left; a
// scan left in Shift-DR goes on without a capture, its first TDO unread.
TEST_F(SvfPlay, RecordHoldsTheStatementsOfEachProcess) {
  const std::string header = "! SVF record of jtagbox runs (JTAG_SVF): each process appends what it did on the wire\n";
  record("JTAG_SVF", "a.svf", "JTAG_Reset; JTAG_LoadIR 3d; JTAG_Shift a3 8");
  EXPECT_EQ(file("a.svf"), header +
                               "! JTAG_Reset\nSTATE RESET;\nSTATE IDLE;\nENDDR IDLE;\nSDR 32 TDI (aaaaaaaa) TDO "
                               "(0bc0e06b) MASK (ffffffff);\n"
                               "! JTAG_LoadIR\nENDIR IDLE;\nSIR 8 TDI (3d) TDO (01) MASK (ff);\n"
                               "! JTAG_Shift\nENDDR IDLE;\nSDR 8 TDI (a3) TDO (46) MASK (ff);\n");
  fresh();
  record("JTAG_SVF", "b.svf", "JTAG_TMS 0; JTAG_TMS 1; JTAG_TMS 0; JTAG_TMS 0; JTAG_CapDR_To_Exit1DR 0c 4 o.hex");
  EXPECT_EQ(file("b.svf"),
            header +
                "! JTAG_TMS\nSTATE RESET;\nSTATE IDLE;\n! JTAG_TMS\n! JTAG_TMS\n! JTAG_TMS\nSTATE DRSELECT DRCAPTURE "
                "DREXIT1 DRPAUSE;\n"
                "! JTAG_CapDR_To_Exit1DR\n! the scan goes on from Pause-DR without a capture\nENDDR DRPAUSE;\n"
                "SDR 5 TDI (01) TDO (0a) MASK (1e);\n");
}

// JTAG_WAVE: the decoder follows the TAP from TMS (five TMS-high TCKs to
// Test-Logic-Reset, a bulk shift's last bit leaving Shift-DR) and collects
// TDI and TDO; sigrok-cli reads two samples a TCK of 1 us.
TEST_F(SvfPlay, WaveIsReadBySigrok) {
  JTAGBOX_NEED_PEER(kSigrokCli);
  record("JTAG_WAVE", "reset.vcd", "JTAG_Reset -d");
  EXPECT_EQ(decode("reset.vcd", "states:bitstrings-tdo"),
            "SELECT-DR-SCAN\nSELECT-IR-SCAN\nTEST-LOGIC-RESET\nRUN-TEST/IDLE\nSELECT-DR-SCAN\nCAPTURE-DR\nSHIFT-DR\n"
            "EXIT1-DR\nDR TDO: 00001011110000001110000001101011 (0xbc0e06b), 32 bits\nUPDATE-DR\n");
  record("JTAG_WAVE", "shift.vcd", "JTAG_Shift a3 8 -a");
  EXPECT_EQ(decode("shift.vcd", "bitstrings-tdi:bitstrings-tdo"),
            "DR TDI: 10100011 (0xa3), 8 bits\nDR TDO: 01101011 (0x6b), 8 bits\n");
  const Result show = exec(kSigrokCli, "sigrok-cli", {"-I", "vcd", "-i", path("shift.vcd").string(), "--show"});
  EXPECT_NE(show.out.find("Samplerate: 2000000\n"), std::string::npos) << show.out;
}

// A record on a full disk, at a planted link or at a FIFO (which would hold
// the run until a reader came) fails the run in one line; the link and the
// FIFO before the board is taken, the link's target left alone.
TEST_F(SvfPlay, RecordThatCannotBeWrittenFailsTheRun) {
  write_file(path("target"), "keep");
  write_file(path("p.svf"), "STATE IDLE;\n");
  std::filesystem::create_symlink(path("target"), path("link"));
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  for (const auto &[variable, what, command] :
       {std::tuple<std::string, std::string, std::string>{"JTAG_WAVE", "waveform", "jtag-detect"},
        {"JTAG_SVF", "SVF record", "jtag-svf"},
        {"JTAG_TRACE", "trace file", "JTAG_Reset"}}) {
    for (const auto &[file, why] :
         {std::pair<std::string, std::string>{"/dev/full", "write"}, {path("link"), "open"}, {path("fifo"), "open"}}) {
      fresh(), sim({"set", "cpu0.tap=Select-DR-Scan"});
      env_[variable] = file;
      const Result r = run(command, command == "jtag-svf" ? Lines{"p.svf"} : Lines{});
      EXPECT_TRUE(file == "/dev/full" || get("cpu0.tap") == "Select-DR-Scan") << "the board was taken: " << file;
      EXPECT_EQ(std::to_string(r.status) + r.out + r.err,
                "1jtagbox: cannot " + why + " " + what + " " + file +
                    (file == "/dev/full"  ? ": No space left on device\n"
                     : file.back() == 'k' ? ": it is a symbolic link\n"
                                          : ": it is a FIFO, not a regular file\n"));
    }
    env_.erase(variable);
  }
  EXPECT_EQ(file("target"), "keep");
}

// The server's own wave, across two clients, shows TDO on every edge (the
// IR scan's captured 01 too); a disk that fills stops the server in one
// line and fails its client; a FIFO is refused before the port is printed.
TEST_F(ServedWave, ServerRecordsWhatItSeesAcrossClients) {
  JTAGBOX_NEED_PEER(kSigrokCli);
  const auto start = [&](const std::string &wave) {
    return port_ = serving_.start(env_["JTAG_PLATFORM"], path("serve.err"), {"--wave", wave});
  };
  ASSERT_NE(start(path("s.vcd").string()), 0);
  EXPECT_EQ(over_wire("JTAG_Reset", {"-d"}).status + over_wire("JTAG_LoadIR", {"3d"}).status, 0);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(decode("s.vcd", "bitstrings-tdo"),
            "DR TDO: 00001011110000001110000001101011 (0xbc0e06b), 32 bits\nIR TDO: 00000001 (0x1), 8 bits\n");
  ASSERT_NE(start("/dev/full"), 0);
  EXPECT_EQ(over_wire("JTAG_TMS", {"0"}).err,
            "jtagbox: remote_bitbang server 127.0.0.1:" + std::to_string(port_) + ": closed the connection\n");
  EXPECT_EQ(stop(), 1);
  EXPECT_EQ(serve_err(), "jtag-sim serve: cannot write waveform /dev/full: No space left on device\n");
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(start(path("fifo").string()), 0);
  EXPECT_EQ(serve_err(),
            "jtag-sim serve: cannot open waveform " + path("fifo").string() + ": it is a FIFO, not a regular file\n");
}

}  // namespace
