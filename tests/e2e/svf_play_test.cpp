// jtag-svf: a session recorded with JTAG_SVF plays back on a board in the
// same starting state, on the simulated board and over remote_bitbang, and
// one flipped expected bit fails at its line; hand-written SVF addresses one
// device of the full-scan chain through headers and trailers; every way a
// file can be wrong is one exact line and status 1.
#include <algorithm>
#include <string>
#include <vector>

#include "board_view.h"

namespace {

using Lines = std::vector<std::string>;

const std::string kUsage =
    "usage: jtag-svf [-q] [--strict] [--tms-trst] FILE...\n"
    "Plays the SVF files on the board JTAG_PLATFORM names, in order, and checks\n"
    "every TDO given; -q shows no progress; --strict sends nothing after a\n"
    "checked scan until its TDO has been compared; --tms-trst lets TRST ON be\n"
    "TMS-high clocks from any state on an adapter without a TRST line.\n";

// The line of `text` on which `needle` starts, counted from 1.
int line_of(const std::string &text, const std::string &needle) {
  const size_t at = text.find(needle);
  return at == std::string::npos ? 0 : 1 + int(std::count(text.begin(), text.begin() + long(at), '\n'));
}

class SvfReplay : public e2e::ServedBoardTest {};

TEST_F(SvfReplay, RecordedSessionPassesOnSimAndOverTheWireAndAFlippedBitFailsAtItsLine) {
  const std::vector<Lines> session = {{"JTAG_Reset"},
                                      {"JTAG_LoadIR", "3d"},
                                      {"JTAG_WriteCreg", "10", "1234abcd"},
                                      {"JTAG_ReadCreg", "10"},
                                      {"JTAG_ScanDump", "0c", "100", "dump.hex"}};
  env_["JTAG_SVF"] = path("session.svf").string();
  for (const Lines &c : session) ASSERT_EQ(run(c[0], Lines(c.begin() + 1, c.end())).status, 0) << c[0];
  env_.erase("JTAG_SVF");
  const std::string text = e2e::read_file(path("session.svf"));
  const std::string read_back = "TDO (000000001234abcd)";
  ASSERT_NE(text.find(read_back), std::string::npos) << text;
  std::string flipped = text;
  flipped.replace(flipped.find(read_back), read_back.size(), "TDO (000000001234abcc)");
  e2e::write_file(path("flipped.svf"), flipped);
  const std::string mismatch = "jtag-svf: flipped.svf:" + std::to_string(line_of(text, read_back)) +
                               ": TDO mismatch: expected 0x000000001234abcc, got 0x000000001234abcd (mask "
                               "0xffffffffffffffff)\n";

  const struct {
    std::string file;
    int status;
    std::string err;
  } plays[] = {{"session.svf", 0, ""}, {"flipped.svf", 1, mismatch}};
  serve();
  for (const bool wire : {false, true}) {
    for (const auto &p : plays) {
      sim({"reset"});
      const e2e::Result r = wire ? over_wire("jtag-svf", {p.file}) : run("jtag-svf", {p.file});
      const std::string label = p.file + (wire ? " over the wire" : " on the simulated board");
      EXPECT_EQ(r.status, p.status) << label;
      EXPECT_EQ(r.out, "") << label;
      EXPECT_EQ(r.err, p.err) << label;
    }
  }
}

class SvfPlay : public e2e::FreshBoardTest {
 protected:
  // Each file of `files` written into the test's directory, then each
  // scenario played on a fresh board.
  void play_files(const std::vector<std::pair<std::string, std::string>> &files,
                  const std::vector<e2e::Scenario> &scenarios) {
    for (const auto &[name, text] : files) e2e::write_file(path(name), text);
    play("jtag-svf", scenarios);
  }
  // TRST ON on a backend without the line.
  void trst_by_tms();
};

// Full scan, TDI side first: cpu0..cpu3 (IR 8), vnx0..vnx3 (IR 6).  cpu2 is
// addressed: cpu3 and the Vornex chips, between it and TDO, are the header
// (their bits go in first), cpu0 and cpu1 the trailer, all in BYPASS.
const std::string kCpu2 =
    "// cpu2 of the full-scan chain\n"
    "TRST ON; TRST OFF; state reset;\n"
    "HIR 32 TDI (ffffffff);  ! cpu3, vnx0..vnx3\n"
    "TIR 16 TDI (ffff);      ! cpu0, cpu1\n"
    "HDR 5 TDI (00);\n"
    "TDR 2 TDI (0);\n"
    "SIR 8 TDI (02) TDO (01) MASK (03);\n"
    "SDR 32 TDI (00000000)\n"
    "   TDO (2bc0e06b);\n"
    "SIR 8 TDI (08); SDR 40 TDI (00 0000 0010);\n"
    "SIR 8 TDI (09); SDR 64 TDI (00000000cafef00d);\n"
    "SIR 8 TDI (0c); RUNTEST 11 TCK;\n"
    "SIR 8 TDI (08); SDR 40 TDI (0000000010);\n"
    "SIR 8 TDI (0d); RUNTEST IDLE 1.1E-5 SEC ENDSTATE IDLE;\n"
    "SIR 8 TDI (0a); SDR 64 TDI (0) TDO (00000000cafef00d);\n";

TEST_F(SvfPlay, FullScanChainWithOneDeviceAddressed) {
  std::string cpu1 = kCpu2;
  cpu1.replace(cpu1.find("TDO (2bc0e06b)"), 14, "TDO (1bc0e06b)");
  const std::string written = "    creg 0x10 = 0x00000000cafef00d";
  play_files({{"cpu2.svf", kCpu2}, {"cpu1.svf", cpu1}},
             {
                 {{"scan_mode=0"},
                  {"cpu2.svf"},
                  "",
                  {{"tap cpu2", "Run-Test/Idle, IR 0x0a"},
                   {"tap cpu1", "Run-Test/Idle, IR 0xff"},
                   {"line " + written, written}}},
                 {{"scan_mode=0"},
                  {"--strict", "cpu1.svf"},
                  "",
                  {{"tap cpu2", "Run-Test/Idle, IR 0x02"}},
                  1,
                  "jtag-svf: cpu1.svf:8: TDO mismatch: expected 0x1bc0e06b, got 0x2bc0e06b (mask 0xffffffff)\n"},
             });
}

// TRST ON asserts the board's TRST line (over the wire, remote_bitbang's
// 't'): the TAP goes to Test-Logic-Reset without a TCK, so an address
// shifted in and left in Pause-DR is never updated, as five TCKs with TMS
// high through Update-DR would do.  While TRST is ON nothing may clock.
// A backend without the line gets TMS-high TCKs, but only from a state they
// leave without an Update or a Capture; --tms-trst allows the rest.
const std::string kTrstFromPause = "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (1234);\nTRST ON;\nTRST OFF;\n";

TEST_F(SvfPlay, TrstNeverPassesUpdate) {
  if (!e2e::backend_has_trst()) return trst_by_tms();
  play_files({{"trst.svf", kTrstFromPause}, {"held.svf", "TRST ON;\nRUNTEST 10 TCK;\n"}},
             {
                 {{},
                  {"trst.svf"},
                  "",
                  {{"tap cpu0", "Test-Logic-Reset, IR 0x02"}, {"get cpu0.creg_address", "0x0000000000"}}},
                 {{"cpu0.tap=Run-Test/Idle"},
                  {"held.svf"},
                  "",
                  {{"tap cpu0", "Test-Logic-Reset, IR 0x02"}},
                  1,
                  "jtag-svf: held.svf:2: TRST is ON: the TAP is held in Test-Logic-Reset and cannot move; TRST OFF "
                  "first\n"},
             });
  // The SVF record says TRST too, so that a replay does the same.
  env_["JTAG_SVF"] = path("record.svf").string();
  ASSERT_EQ(run("jtag-svf", {"trst.svf"}).status, 0);
  const std::string record = e2e::read_file(path("record.svf"));
  EXPECT_NE(record.find("TRST ON;\nTRST OFF;\n"), std::string::npos) << record;
}

void SvfPlay::trst_by_tms() {
  const std::string passes_update =
      "TRST ON: this adapter has no TRST line, and TMS high from DRPAUSE to RESET passes DRUPDATE";
  play_files({{"trst.svf", kTrstFromPause}, {"idle.svf", "SIR 8 TDI (08);\nTRST ON;\nRUNTEST 10 TCK;\nTRST ON;\n"}},
             {
                 {{},
                  {"trst.svf"},
                  "",
                  {{"tap cpu0", "Pause-DR, IR 0x08"}, {"get cpu0.creg_address", "0x0000000000"}},
                  1,
                  "jtag-svf: trst.svf:4: " + passes_update + "; --tms-trst allows it\n"},
                 {{},
                  {"--tms-trst", "trst.svf", "trst.svf"},
                  "",
                  {{"tap cpu0", "Test-Logic-Reset, IR 0x02"}, {"get cpu0.creg_address", "0x0000001234"}},
                  0,
                  "jtag-svf: trst.svf:4: " + passes_update + " (--tms-trst)\n"},
                 {{}, {"idle.svf"}, "", {{"tap cpu0", "Test-Logic-Reset, IR 0x02"}}},
             });
}

// The SVF standard's rules that a file's outcome can hang on.  STATE from a
// pause state to itself goes round through Update (an address left in
// Pause-DR is taken; an instruction left in Pause-IR is in force).  RUNTEST
// keeps its run state and its end state for the RUNTESTs after it: a run
// state named without an ENDSTATE is the end state too, and a plain RUNTEST
// ends where the last one said.
TEST_F(SvfPlay, StateAndRuntestFollowTheStandard) {
  play_files({{"dr.svf", "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (1234);\nSTATE DRPAUSE;\n"},
              {"ir.svf", "ENDIR IRPAUSE;\nSIR 8 TDI (08);\nSTATE IRPAUSE;\n"},
              {"end.svf", "RUNTEST DRPAUSE 10 TCK ENDSTATE IDLE;\nRUNTEST 100 TCK;\n"},
              {"run.svf", "RUNTEST IRPAUSE 5 TCK;\nRUNTEST 5 TCK;\n"}},
             {
                 {{}, {"dr.svf"}, "", {{"tap cpu0", "Pause-DR, IR 0x08"}, {"get cpu0.creg_address", "0x0000001234"}}},
                 {{}, {"ir.svf"}, "", {{"tap cpu0", "Pause-IR, IR 0x08"}}},
                 {{}, {"end.svf"}, "", {{"tap cpu0", "Run-Test/Idle, IR 0x02"}}},
                 {{}, {"run.svf"}, "", {{"tap cpu0", "Pause-IR, IR 0x02"}}},
             });
}

// Over a wire, checked scans run ahead of their checks (a bounded window),
// so statements after a failing check may already have gone; the mismatch
// is still named at its own line.  --strict sends nothing after a checked
// scan until it has been compared, on every backend.
TEST_F(SvfPlay, ChecksAreNamedAtTheirLineAndStrictWaitsForThem) {
  const std::string mismatch = "jtag-svf: late.svf:1: TDO mismatch: expected 0xff, got 0x01 (mask 0xff)\n";
  play_files({{"late.svf", "SIR 8 TDI (02) TDO (ff);\nSIR 8 TDI (08);\nSIR 8 TDI (09) TDO (01);\n"}},
             {
                 {{}, {"late.svf"}, "", {}, 1, mismatch},
                 {{}, {"--strict", "late.svf"}, "", {{"tap cpu0", "Run-Test/Idle, IR 0x02"}}, 1, mismatch},
             });
}

TEST_F(SvfPlay, EachErrorIsOneLine) {
  // After a reset processor 0 holds IDCODE 0x0bc0e06b.
  const std::string idcode = "STATE RESET;\nSDR 32 TDI (0) ";
  // 4,096 bits through the IDCODE register: the IDCODE, then the zeros fed
  // in; the file expects a one at bit 2,000 as well.
  std::string long_tdo(1024, '0');
  long_tdo.replace(1016, 8, "0bc0e06b");
  long_tdo[1023 - 2000 / 4] = '1';
  play_files(
      {
          {"syntax.svf", "SDR 8 TDI 00;\n"},
          {"pio.svf", "STATE RESET;\n! parallel pins\nPIO (HLX);\n"},
          {"path.svf", "STATE RESET;\nSTATE IDLE DRSELECT\n  DRSHIFT DRPAUSE;\n"},
          {"excess.svf", "SDR 6 TDI (7f);\n"},
          {"open.svf", "STATE RESET;\nSDR 8 TDI (00)\n"},
          {"masked.svf", idcode + "TDO (0bc0e06a) MASK (fffffffe);\nSTATE RESET; SDR 32 TDO (0bc0e06a);\n"},
          {"mismatch.svf", idcode + "TDO (1bc0e06b) MASK (fffffffe);\n"},
          {"length.svf", idcode + "TDO (0bc0e06b);\nSDR 16 TDO (e06b);\n"},
          {"sck.svf", "RUNTEST 5 SCK;\n"},
          {"ends.svf", "ENDDR DRPAUSE;\n"},
          {"scan.svf", "sdr 32 tdi (0) tdo (0BC0E06B);\n"},
          {"long.svf", "STATE RESET;\nSDR 4096 TDI (0)\n  TDO (" + long_tdo + ");\n"},
      },
      {
          {{}, {"syntax.svf"}, "", {}, 1, "jtag-svf: syntax.svf:1: SDR: TDI needs its value in parentheses\n"},
          {{},
           {"pio.svf"},
           "",
           {},
           1,
           "jtag-svf: pio.svf:3: PIO is not supported: the platform drives no parallel test pins\n"},
          {{}, {"path.svf"}, "", {}, 1, "jtag-svf: path.svf:2: STATE: DRSHIFT is not one TCK from DRSELECT\n"},
          {{}, {"excess.svf"}, "", {}, 1, "jtag-svf: excess.svf:1: TDI has bits set beyond its length of 6\n"},
          {{}, {"open.svf"}, "", {}, 1, "jtag-svf: open.svf:2: the file ends before the ';' of SDR\n"},
          {{}, {"nothere.svf"}, "", {}, 1, "jtag-svf: cannot open nothere.svf: No such file or directory\n"},
          // The bit MASK leaves out differs and is not checked; the second
          // scan keeps TDI and MASK from the first of its length.
          {{},
           {"masked.svf"},
           "",
           {{"tap cpu0", "Run-Test/Idle, IR 0x02"}},
           0,
           "",
           Lines{"jtag-svf masked.svf:1 STATE", "jtag-svf masked.svf:2 SDR 32", "jtag-svf masked.svf:3 STATE",
                 "jtag-svf masked.svf:3 SDR 32"}},
          {{},
           {"mismatch.svf"},
           "",
           {},
           1,
           "jtag-svf: mismatch.svf:2: TDO mismatch: expected 0x1bc0e06a, got 0x0bc0e06a (mask 0xfffffffe)\n"},
          // A long scan shows the 64 bits around its first difference.
          {{},
           {"long.svf"},
           "",
           {},
           1,
           "jtag-svf: long.svf:2: TDO mismatch in bits 1984..2047 of 4096: expected 0x0000000000010000, got "
           "0x0000000000000000 (mask 0xffffffffffffffff)\n"},
          {{},
           {"length.svf"},
           "",
           {},
           1,
           "jtag-svf: length.svf:3: SDR 16 needs TDI: no SDR before it had that length\n"},
          {{},
           {"sck.svf"},
           "",
           {},
           1,
           "jtag-svf: sck.svf:1: RUNTEST: SCK counts the system clock, which the platform does not drive; give TCK or "
           "SEC\n"},
          // Two files are one session: the first one's ENDDR holds in the second.
          {{}, {"-q", "ends.svf", "scan.svf"}, "", {{"tap cpu0", "Pause-DR, IR 0x02"}}},
          {{}, {"-x", "scan.svf"}, "", {}, 2, "jtag-svf: unknown option '-x'\n" + kUsage},
          {{}, {}, "", {}, 2, "jtag-svf: no FILE given\n" + kUsage},
      });
}

// Progress only on a terminal: script(1) gives jtag-svf one.  After each
// statement the part of the file read, then the line is blanked.
TEST_F(SvfPlay, ProgressOnATerminalUnlessQuiet) {
  e2e::write_file(path("p.svf"), "STATE RESET;\nSTATE IDLE;\n");
  const std::string progress = "jtag-svf: p.svf 48%\rjtag-svf: p.svf 96%\r" + std::string(19, ' ') + "\r";
  for (const auto &[option, shown] : {std::pair{"", progress}, {"-q ", std::string()}}) {
    const e2e::Result r = exec("/usr/bin/script", "script",
                               {"-qec", e2e::bin("jtag-svf").string() + " " + option + "p.svf", "/dev/null"});
    EXPECT_EQ(r.status, 0) << option;
    EXPECT_EQ(r.out, shown) << option;
  }
}

}  // namespace

// What the SVF recorder writes, played back on a fresh board, leaves the
// board exactly as the session did: sessions that stop in pause states,
// run clocks there and end RUNTESTs elsewhere, commands and played files
// alike.  The played record passes its own TDO checks.
TEST_F(SvfReplay, RecordOfPauseStatesAndRuntestEndsReplaysToTheSameBoard) {
  e2e::write_file(path("pauses.svf"),
                  "SIR 8 TDI (08);\nENDDR DRPAUSE;\nSDR 40 TDI (0000000010);\nSTATE DRPAUSE;\n"
                  "RUNTEST DRPAUSE 7 TCK ENDSTATE IRPAUSE;\nSIR 8 TDI (09);\n"
                  "ENDDR IDLE;\nSDR 64 TDI (00000000feedf00d);\nENDIR IRPAUSE;\nSIR 8 TDI (0c);\n"
                  "RUNTEST IDLE 11 TCK ENDSTATE DRPAUSE;\nRUNTEST 3 TCK;\nSIR 8 TDI (0a);\nSTATE IRPAUSE;\n");
  const std::vector<Lines> session = {{"jtag-svf", "pauses.svf"}, {"JTAG_TMS", "1"}, {"JTAG_Tck", "3"},
                                      {"JTAG_TMS", "0"},          {"JTAG_TMS", "1"}, {"JTAG_LoadIR", "0a"},
                                      {"JTAG_ReadCreg", "10"},    {"JTAG_TMS", "0"}};
  env_["JTAG_SVF"] = path("record.svf").string();
  for (const Lines &c : session) ASSERT_EQ(run(c[0], Lines(c.begin() + 1, c.end())).status, 0) << c[0];
  env_.erase("JTAG_SVF");
  const std::string after_session = sim({"show"});
  ASSERT_NE(after_session.find("feedf00d"), std::string::npos) << after_session;

  sim({"reset"});
  const e2e::Result replay = run("jtag-svf", {"record.svf"});
  EXPECT_EQ(replay.status, 0) << replay.err << e2e::read_file(path("record.svf"));
  EXPECT_EQ(replay.err, "");
  EXPECT_EQ(sim({"show"}), after_session) << e2e::read_file(path("record.svf"));
}
