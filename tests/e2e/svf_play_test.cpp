// jtag-svf, and the recorders whose files it and the peers (OpenOCD's svf,
// sigrok-cli's JTAG decoder) read back.
#include <sys/stat.h>

#include <chrono>
#include <iterator>
#include <sstream>

#include "board_view.h"
#include "peer_tools.h"

namespace {

using namespace e2e;

template <class Base>
class Svf : public Base {
 protected:
  // Runs each of `commands` ("NAME ARG...; ...") with `variable` naming `file`.
  void record(const std::string &variable, const std::string &file, const std::string &commands) {
    this->env_[variable] = this->path(file).string();
    std::istringstream in(commands);
    for (std::string command; std::getline(in, command, ';');) {
      std::istringstream words(command);
      const Lines w{std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
      EXPECT_EQ(this->run(w[0], Lines(w.begin() + 1, w.end())).status, 0) << command;
    }
    this->env_.erase(variable);
  }
  // `text` as t.svf played (after `options`) on a fresh board set with
  // `seed`: the status and all said, then "| " and each probe's value.
  std::string played(const std::string &text, const Lines &probes = {}, const Lines &options = {},
                     const Lines &seed = {}) {
    this->fresh();
    if (!seed.empty()) this->sim(Lines{"set"} + seed);
    write_file(this->path("t.svf"), text);
    const Result r = this->run("jtag-svf", options + Lines{"t.svf"});
    std::string said = std::to_string(r.status) + " " + r.out + r.err;
    for (const std::string &p : probes) said += "| " + this->probe(p) + "\n";
    return said;
  }
  // The annotations of `rows` sigrok-cli's JTAG decoder makes of `vcd`, each repeat once.
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

// Records of commands and of jtag-svf (pause states, RUNTESTs ending elsewhere) replay to the
// same board, also over the wire and under OpenOCD; a flipped expected bit fails at its line.
TEST_F(SvfReplay, RecordReplaysToTheSameBoardAndAFlippedBitFailsAtItsLine) {
  write_file(path("p.svf"),
             "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (0000000010);\nSTATE DRPAUSE;\nRUNTEST DRPAUSE 7 TCK "
             "ENDSTATE IRPAUSE;\n"
             "SIR 8 TDI (09);\nENDDR IDLE;\nSDR 64 TDI (00000000feedf00d);\nENDIR IRPAUSE;\nSIR 8 TDI (0c);\n"
             "RUNTEST IDLE 11 TCK ENDSTATE DRPAUSE;\nRUNTEST 3 TCK;\nSIR 8 TDI (0a);\n");
  record(
      "JTAG_SVF", "b.svf",
      "jtag-svf p.svf; JTAG_TMS 1; JTAG_Tck 3; JTAG_TMS 0; JTAG_TMS 1; JTAG_LoadIR 0a; JTAG_ReadCreg 10; JTAG_TMS 0");
  const std::string b = show();
  ASSERT_NE(b.find("feedf00d"), std::string::npos) << b;
  fresh();
  record("JTAG_SVF", "a.svf", "JTAG_Reset; JTAG_WriteCreg 10 1234abcd; JTAG_ReadCreg 10; JTAG_ScanDump 0c 100 d.hex");
  const std::string text = file("a.svf"), read_back = "TDO (000000001234abcd)";
  const size_t at = text.find(read_back);
  ASSERT_NE(at, std::string::npos) << text;
  write_file(path("f.svf"), std::string(text).replace(at, read_back.size(), "TDO (000000001234abcc)"));
  const std::string mismatch =
      "1 jtag-svf: f.svf:" + std::to_string(1 + std::count(text.begin(), text.begin() + long(at), '\n')) +
      ": TDO mismatch: expected 0x000000001234abcc, got 0x000000001234abcd (mask 0xffffffffffffffff)\n";
  serve();
  for (const bool wire : {false, true}) {
    for (const auto &[svf, said] :
         {std::pair<std::string, std::string>{"a.svf", "0 "}, {"b.svf", "0 "}, {"f.svf", mismatch}}) {
      fresh();
      const Result r = wire ? over_wire("jtag-svf", {svf}) : run("jtag-svf", {svf});
      EXPECT_EQ(std::to_string(r.status) + " " + r.out + r.err, said) << svf << (wire ? " over the wire" : "");
      EXPECT_TRUE(svf != "b.svf" || show() == b) << (wire ? "over the wire" : "");
    }
  }
  JTAGBOX_NEED_PEER(kOpenOcd);
  for (const std::string svf : {"a.svf", "f.svf"}) {
    fresh();
    const Result r = exec(kOpenOcd, "openocd",
                          {"-c", "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                                     std::to_string(port_) + "; transport select jtag; init; svf -quiet " +
                                     path(svf).string() + "; shutdown"});
    EXPECT_EQ(r.status == 0 && r.err.find("tdo check error") == std::string::npos, svf == "a.svf") << r.err;
  }
}

// cpu2 of the full-scan chain (cpu0..3, vnx0..3 from TDI) behind headers and trailers: its
// register written (11 TCKs: 1.1E-5 s at 1 MHz) and read back; --strict stops at a mismatch.
TEST_F(SvfPlay, FullScanChainWithOneDeviceAddressed) {
  const std::string cpu2 =
      "// cpu2 of the full-scan chain\n"
      "TRST ON; TRST OFF; state reset;\nHIR 32 TDI (ffffffff);\nTIR 16 TDI (ffff);\nHDR 5 TDI (00);\nTDR 2 TDI (0);\n"
      "SIR 8 TDI (02) TDO (01) MASK (03);\nSDR 32 TDI (00000000)\n  TDO (2bc0e06b);\n"
      "SIR 8 TDI (08); SDR 40 TDI (00 0000 0010);\nSIR 8 TDI (09); SDR 64 TDI (00000000cafef00d);\n"
      "SIR 8 TDI (0c); RUNTEST 11 TCK;\nSIR 8 TDI (08); SDR 40 TDI (0000000010);\n"
      "SIR 8 TDI (0d); RUNTEST IDLE 1.1E-5 SEC ENDSTATE IDLE;\nSIR 8 TDI (0a); SDR 64 TDI (0) TDO "
      "(00000000cafef00d);\n";
  EXPECT_EQ(played(cpu2, {"tap cpu2", "tap cpu1", "get cpu2.creg.0x10"}, {}, {"scan_mode=0"}),
            "0 | Run-Test/Idle, IR 0x0a\n| Run-Test/Idle, IR 0xff\n| 0x00000000cafef00d\n");
  EXPECT_EQ(
      played(std::string(cpu2).replace(cpu2.find("2bc0e06b"), 1, "1"), {"tap cpu2"}, {"--strict"}, {"scan_mode=0"}),
      "1 jtag-svf: t.svf:8: TDO mismatch: expected 0x1bc0e06b, got 0x2bc0e06b (mask 0xffffffff)\n| Run-Test/Idle, IR "
      "0x02\n");
}

// TRST ON never passes Update-DR and holds the TAP; without the line (XVC) TMS-high TCKs
// stand in only where they update nothing, unless --tms-trst.
TEST_F(SvfPlay, TrstNeverPassesUpdate) {
  const std::string trst = "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (1234);\nTRST ON;\nTRST OFF;\n",
                    held = "TRST ON;\nRUNTEST 10 TCK;\nTRST ON;\n";
  const std::string passes =
      "jtag-svf: t.svf:4: TRST ON: this adapter has no TRST line, and TMS high from DRPAUSE to RESET passes DRUPDATE";
  const Lines probes = {"tap cpu0", "get cpu0.creg_address"};
  if (backend_has_trst()) {
    EXPECT_EQ(played(trst, probes), "0 | Test-Logic-Reset, IR 0x02\n| 0x0000000000\n");
    EXPECT_EQ(played(held, {"tap cpu0"}, {}, {"cpu0.tap=Run-Test/Idle"}),
              "1 jtag-svf: t.svf:2: TRST is ON: the TAP is held in Test-Logic-Reset and cannot move; TRST OFF first\n| "
              "Test-Logic-Reset, IR 0x02\n");
    return;
  }
  EXPECT_EQ(played(trst, probes), "1 " + passes + "; --tms-trst allows it\n| Pause-DR, IR 0x08\n| 0x0000000000\n");
  EXPECT_EQ(played(trst, probes, {"--tms-trst"}),
            "0 " + passes + " (--tms-trst)\n| Test-Logic-Reset, IR 0x02\n| 0x0000001234\n");
  EXPECT_EQ(played(held, {"tap cpu0"}, {}, {"cpu0.tap=Run-Test/Idle"}), "0 | Test-Logic-Reset, IR 0x02\n");
}

// STATE from a pause to itself passes Update; RUNTEST's run and end states carry over; ENDDR
// holds from file to file; lower case is read; a scan left in Pause-DR goes on in the next run.
TEST_F(SvfPlay, StateAndRuntestFollowTheStandard) {
  EXPECT_EQ(played("SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (1234);\nSTATE DRPAUSE;\n",
                   {"tap cpu0", "get cpu0.creg_address"}),
            "0 | Pause-DR, IR 0x08\n| 0x0000001234\n");
  EXPECT_EQ(played("ENDIR IRPAUSE;\nSIR 8 TDI (08);\nSTATE IRPAUSE;\n", {"tap cpu0"}), "0 | Pause-IR, IR 0x08\n");
  EXPECT_EQ(played("RUNTEST DRPAUSE 10 TCK ENDSTATE IDLE;\nRUNTEST 100 TCK;\n", {"tap cpu0"}),
            "0 | Run-Test/Idle, IR 0x02\n");
  EXPECT_EQ(played("RUNTEST IRPAUSE 5 TCK;\nRUNTEST 5 TCK;\n", {"tap cpu0"}), "0 | Pause-IR, IR 0x02\n");
  write_file(path("e.svf"), "ENDDR DRPAUSE;\n");
  EXPECT_EQ(played("sdr 32 tdi (0) tdo (0BC0E06B);\n", {"tap cpu0"}, {"-q", "e.svf"}), "0 | Pause-DR, IR 0x02\n");
  EXPECT_EQ(played("STATE RESET;\nSTATE DRPAUSE;\n", {"get cpu0.dr_cells"}), "0 | 0bc0e06b\n");
  write_file(path("s.svf"), "SDR 32 TDI (0) TDO (0bc0e06b);\n");
  const Result r = run("jtag-svf", {"s.svf"});
  EXPECT_EQ(std::to_string(r.status) + r.out + r.err + tap("cpu0"), "0Run-Test/Idle, IR 0x02");
  // 500 TCKs at the FREQUENCY given, which no backend is set to, and then half a second in real time.
  write_file(path("w.svf"), "FREQUENCY 1E3 HZ;\nRUNTEST 0.5 SEC;\n");
  const auto start = std::chrono::steady_clock::now();
  const Result w = run("jtag-svf", {"w.svf"});
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  EXPECT_EQ(std::to_string(w.status) + w.err,
            "0jtag-svf: w.svf:1: FREQUENCY 1000 HZ: the TCK rate of the board is not set by jtag-svf; RUNTEST times "
            "are waited in real time\n");
}

// A scan of 2^31 - 1 bits, statement or header, with a TDI of one digit goes in pieces, within 64 MiB of
// address space: one copy of its bits is 256 MiB.
TEST_F(SvfPlay, LongScanPlaysInBoundedMemory) {
  JTAGBOX_SIM_ONLY();  // 2^32 TCKs over a wire take hours
  write_file(path("t.svf"), "SDR 2147483647 TDI (0);\nHDR 2147483647 TDI (0);\nSDR 0;\n");
  const Result r = exec("/bin/sh", "sh", {"-c", "ulimit -v 65536; exec \"$0\" t.svf", bin("jtag-svf").string()});
  EXPECT_EQ(std::to_string(r.status) + r.out + r.err + tap("cpu0"), "0Run-Test/Idle, IR 0x02");
}

// Each error is one line naming its line; nothing after a failed check reaches the board, unless
// --ahead, which says what did; a bit MASK leaves out is not checked; TDI and MASK carry over to a
// scan of the same length; scans of over 2^20 bits (in pieces) check and leave the bits they should.
TEST_F(SvfPlay, EachErrorIsOneLine) {
  const std::string idcode = "STATE RESET;\nSDR 32 TDI (0) ",
                    late = "SIR 8 TDI (02) TDO (ff);\nSIR 8 TDI (08);\nSIR 8 TDI (09) TDO (01);\n";
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
      {late, "1: TDO mismatch: expected 0xff, got 0x01 (mask 0xff)"},
      {"STATE RESET;\nSDR 4096 TDI (0)\n  TDO (" + long_tdo + ");\n",
       "2: TDO mismatch in bits 1984..2047 of 4096: expected 0x0000000000010000, got 0x0000000000000000 (mask "
       "0xffffffffffffffff)"},
      {idcode + "TDO (0bc0e06b);\nSDR 16 TDO (e06b);\n", "3: SDR 16 needs TDI: no SDR before it had that length"},
      {"RUNTEST 5 SCK;\n",
       "1: RUNTEST: SCK counts the system clock, which the platform does not drive; give TCK or SEC"},
      {std::string("X\0\033[31mRED\007;\n", 12), "1: unknown statement X\\x00\\x1b[31MRED\\x07"},
      {"STATE RESET;\nSDR 1100000 TDI (1" + std::string(265000, '0') + ") TDO (0bc0e06b);\n",  // a 1 in at 1,060,000
       "2: TDO mismatch in bits 1060032..1060095 of 1100000: expected 0x0000000000000000, got 0x0000000000000001 "
       "(mask 0xffffffffffffffff)"},
  };
  for (const auto &[text, line] : cases) EXPECT_EQ(played(text), "1 jtag-svf: t.svf:" + line + "\n");
  const bool wire = backend() != "sim";  // the simulated board compares each scan at once
  for (const Lines &options : {Lines{}, Lines{"--ahead", "8", "--strict"}, Lines{"--ahead", "8"}}) {
    const bool ahead = options.size() == 2;
    EXPECT_EQ(played(late, {"tap cpu0"}, options),
              "1 jtag-svf: t.svf:1: TDO mismatch: expected 0xff, got 0x01 (mask 0xff)" +
                  std::string(ahead ? wire ? "; 2" : "; 0" : "") +
                  (ahead ? " statements after it had already gone to the board (--ahead)" : "") +
                  "\n| Run-Test/Idle, IR 0x" + (ahead && wire ? "09" : "02") + "\n");
  }
  EXPECT_EQ(played("ENDDR DRPAUSE;\nSDR 1100000 TDI (12345678" + std::string(274992, '0') +
                   ");\nSDR 32 TDI (0) TDO (12345678);\n"),
            "0 ");
  EXPECT_EQ(played(idcode + "TDO (0bc0e06a) MASK (fffffffe);\nSTATE RESET; SDR 32 TDO (0bc0e06a);\n"), "0 ");
  EXPECT_EQ(trace(), (Lines{"jtag-svf t.svf:1 STATE", "jtag-svf t.svf:2 SDR 32", "jtag-svf t.svf:3 STATE",
                            "jtag-svf t.svf:3 SDR 32"}));
  EXPECT_EQ(played("", {}, {"no.svf"}), "1 jtag-svf: cannot open no.svf: No such file or directory\n");
  const std::string usage = "2 jtag-svf: unknown option '-x'\nusage: jtag-svf", scans = "a number of checked scans";
  EXPECT_EQ(played("", {}, {"-x"}).substr(0, usage.size()), usage);
  for (const std::string n : {"0", "4097", "1x"})
    EXPECT_EQ(played("", {}, {"--ahead", n}), "2 jtag-svf: --ahead " + n + ": not " + scans + " from 1 to 4096\n");
  EXPECT_EQ(run("jtag-svf", {"--ahead"}).err, "jtag-svf: --ahead needs " + scans + " from 1 to 4096\n");
}

// Each process appends its SVF from where the one before left the TAP (Shift-DR: no capture).
TEST_F(SvfPlay, RecordHoldsTheStatementsOfEachProcess) {
  const std::string header = "! SVF record of jtagbox runs (JTAG_SVF): each process appends what it did on the wire\n";
  record("JTAG_SVF", "a.svf", "JTAG_Reset; JTAG_LoadIR 3d; JTAG_Shift a3 8");
  EXPECT_EQ(file("a.svf"), header + "! JTAG_Reset\nSTATE RESET;\nSTATE IDLE;\nENDDR IDLE;\n" +
                               "SDR 32 TDI (aaaaaaaa) TDO (0bc0e06b) MASK (ffffffff);\n! JTAG_LoadIR\nENDIR IDLE;\n" +
                               "SIR 8 TDI (3d) TDO (01) MASK (ff);\n! JTAG_Shift\nENDDR IDLE;\n" +
                               "SDR 8 TDI (a3) TDO (46) MASK (ff);\n");
  fresh();
  record("JTAG_SVF", "b.svf", "JTAG_TMS 0; JTAG_TMS 1; JTAG_TMS 0; JTAG_TMS 0; JTAG_CapDR_To_Exit1DR 0c 4 o.hex");
  EXPECT_EQ(file("b.svf"), header + "! JTAG_TMS\nSTATE RESET;\nSTATE IDLE;\n! JTAG_TMS\n! JTAG_TMS\n! JTAG_TMS\n" +
                               "STATE DRSELECT DRCAPTURE DREXIT1 DRPAUSE;\n! JTAG_CapDR_To_Exit1DR\n" +
                               "! the scan goes on from Pause-DR without a capture\nENDDR DRPAUSE;\n" +
                               "SDR 5 TDI (01) TDO (0a) MASK (1e);\n");
}

// The decoder follows TMS (five TCKs to reset, a bulk shift leaving Shift-DR on its last bit)
// and TDI and TDO; sigrok-cli reads two samples a TCK of 1 us.
TEST_F(SvfPlay, WaveIsReadBySigrok) {
  JTAGBOX_NEED_PEER(kSigrokCli);
  record("JTAG_WAVE", "r.vcd", "JTAG_Reset -d");
  EXPECT_EQ(decode("r.vcd", "states:bitstrings-tdo"),
            "SELECT-DR-SCAN\nSELECT-IR-SCAN\nTEST-LOGIC-RESET\nRUN-TEST/IDLE\nSELECT-DR-SCAN\nCAPTURE-DR\nSHIFT-DR\n"
            "EXIT1-DR\nDR TDO: 00001011110000001110000001101011 (0xbc0e06b), 32 bits\nUPDATE-DR\n");
  record("JTAG_WAVE", "s.vcd", "JTAG_Shift a3 8 -a");
  EXPECT_EQ(decode("s.vcd", "bitstrings-tdi:bitstrings-tdo"),
            "DR TDI: 10100011 (0xa3), 8 bits\nDR TDO: 01101011 (0x6b), 8 bits\n");
  const Result show = exec(kSigrokCli, "sigrok-cli", {"-I", "vcd", "-i", path("s.vcd").string(), "--show"});
  EXPECT_NE(show.out.find("Samplerate: 2000000\n"), std::string::npos) << show.out;
}

// A record on a full disk, a planted link or a FIFO fails the run in one line (the link and the
// FIFO before the board is taken), and the link's target is left alone.
TEST_F(SvfPlay, RecordThatCannotBeWrittenFailsTheRun) {
  write_file(path("target"), "keep");
  write_file(path("p.svf"), "STATE IDLE;\n");
  std::filesystem::create_symlink(path("target"), path("link"));
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  for (const auto &[variable, what, command] :
       {std::tuple<std::string, std::string, Lines>{"JTAG_WAVE", "waveform", {"jtag-detect"}},
        {"JTAG_SVF", "SVF record", {"jtag-svf", "p.svf"}},
        {"JTAG_TRACE", "trace file", {"JTAG_Reset"}}}) {
    for (const auto &[file, why] :
         {std::pair<std::string, std::string>{"/dev/full", "write " + what + " /dev/full: No space left on device"},
          {path("link"), "open " + what + " " + path("link").string() + ": it is a symbolic link"},
          {path("fifo"), "open " + what + " " + path("fifo").string() + ": it is a FIFO, not a regular file"}}) {
      fresh(), sim({"set", "cpu0.tap=Select-DR-Scan"});
      const Result r = exec(bin(command[0]), command[0], Lines(command.begin() + 1, command.end()), {{variable, file}});
      EXPECT_EQ(std::to_string(r.status) + r.out + r.err, "1jtagbox: cannot " + why + "\n");
      EXPECT_TRUE(file == "/dev/full" || get("cpu0.tap") == "Select-DR-Scan") << "the board was taken: " << file;
    }
  }
  EXPECT_EQ(file("target"), "keep");
}

}  // namespace
