// The programs beside the commands (--version, --help, an output that
// cannot be written), and jtag-detect's TAPs of each chain.
#include <regex>

#include "board_view.h"

namespace {

using namespace e2e;

class Tools : public BoardTest {};

// Standard output to a full disk, or to a pipe nobody reads, is one line
// and status 1; the multi-call program under its own name does nothing.
TEST_F(Tools, VersionHelpAndAnOutputThatCannotBeWritten) {
  const std::string closed_pipe =  // runs argv[1:] with standard output into a pipe whose reader is gone
      "import os, subprocess, sys\nr, w = os.pipe()\nos.close(r)\n"
      "sys.exit(subprocess.run(sys.argv[1:], stdout=w).returncode)";
  for (const std::string usage : {"jtag-sim COMMAND", "jtag-svf [-q] [--ahead N] [--tms-trst] FILE...",
                                  "jtag-detect [-v] [--json] [--expect LIST|@FILE | --expect-board] [--integrity [N]] "
                                  "[--find-tck [RATE]]",
                                  "jtagbox-bench [--bin DIR] [--quick] [NAME...]"}) {
    const std::string name = usage.substr(0, usage.find(' '));
    const Result version = exec(bin(name), name, {"--version"}), help = exec(bin(name), name, {"-h"});
    EXPECT_EQ(std::to_string(version.status) + version.out + version.err,
              "0" + name + " (jtagbox) " JTAGBOX_VERSION "\n");
    EXPECT_EQ(std::to_string(help.status) + help.out.substr(0, help.out.find('\n') + 1) + help.err,
              "0usage: " + usage + "\n");
    const Result full = run_to("/dev/full", name, {"--help"});
    EXPECT_EQ(std::to_string(full.status) + full.err,
              "1" + name + ": cannot write standard output: No space left on device\n");
    const Result gone = exec("/usr/bin/python3", "python3", {"-c", closed_pipe, bin(name).string(), "--version"});
    EXPECT_EQ(std::to_string(gone.status) + gone.err, "1" + name + ": cannot write standard output: Broken pipe\n");
  }
  const Result own = exec(bin("jtagbox"), "jtagbox", {"--version"});
  EXPECT_EQ(std::to_string(own.status) + own.out + own.err, "0");
}

class Detect : public FreshBoardTest {
 protected:
  // jtag-detect ARGS on a fresh board in full scan with `fault` (none: "").
  Result detect(const std::string &fault, const Lines &args = {}) {
    fresh();
    sim({"set", "scan_mode=0"});
    if (!fault.empty()) sim({"fault", fault});
    return exec(bin("jtag-detect"), "jtag-detect", args);
  }
};

// A TDO stuck high reads the same as a scan mode that routes no device;
// only a backend with the board's services can tell the two apart.
const std::string kStuckAtOne =
    "jtag-detect: TDO stuck at 1: no device drives TDO (check the cable, the target's power and its TDO pull-up; or "
    "TAP 0 is held in reset)\n";
const std::string kNoDeviceRouted =
    "jtag-detect: TDO stuck at 1: scan mode 0x06 routes no device to TDO (select one with JTAG_CPUSelect or "
    "JTAG_VNXSelect)\n";

// Each TAP from TDO on with its IDCODE and IR length, the chain left in
// Test-Logic-Reset; a chain where no device answers is one line.
TEST_F(Detect, ListsTheChainOfEachScanMode) {
  const std::string probe =
      over_probe() ? std::string("FTDI probe 0403:6010 ") + kProbeSerial + " channel A (FT2232H): TCK 1000 kHz\n" : "";
  for (const auto &[mode, said] :
       {std::pair<std::string, std::string>{
            "0x02", probe + "TAP 0: IDCODE 0x3bc0e06b, IR length 8\nTAP 1: IDCODE 0x2bc0e06b, IR length 8\n"
                            "TAP 2: IDCODE 0x1bc0e06b, IR length 8\nTAP 3: IDCODE 0x0bc0e06b, IR length 8\n"
                            "4 TAPs (4 with IDCODE, 0 BYPASS only), IR 32 bits in all\n"},
        {"0x87",
         probe + "TAP 0: IDCODE 0x24a56093, IR length 6\n1 TAP (1 with IDCODE, 0 BYPASS only), IR 6 bits in all\n"},
        {"0x06", backend() == "sim" ? kNoDeviceRouted : kStuckAtOne}}) {
    fresh();
    sim({"set", "scan_mode=" + mode, "cpu0.tap=Run-Test/Idle", "vnx2.tap=Run-Test/Idle"});
    const Result r = exec(bin("jtag-detect"), "jtag-detect", {});
    EXPECT_EQ(std::to_string(r.status) + r.out + r.err, (mode == "0x06" ? "1" : "0") + said);
    EXPECT_EQ(tap(mode == "0x87" ? "vnx2" : "cpu0"),
              mode == "0x06" ? "Run-Test/Idle, IR 0x02" : "Test-Logic-Reset, IR 0x02")
        << mode;
  }
  EXPECT_EQ(exec(bin("jtag-detect"), "jtag-detect", {"x"}).status, 2);
}

std::string open_after(const std::string &tap, const std::string &answer) {
  return "jtag-detect: chain open after TAP " + tap + ": " + answer + ", nothing comes through from TDI (TAP " +
         tap.substr(0, 1) + "'s TDI is open, or the next TAP toward TDI is held in reset)\n";
}

// Each wiring fault of the full-scan chain (TAP 0 is vnx3, TAP 7 cpu0) as
// jtag-detect names its likely cause, with status 1; where two faults look
// alike on the wire, both give the same line, which names both causes.
TEST_F(Detect, NamesTheLikelyCauseOfEachBrokenChain) {
  const std::string probe =
      over_probe() ? std::string("FTDI probe 0403:6010 ") + kProbeSerial + " channel A (FT2232H): TCK 1000 kHz\n" : "";
  const std::string full =
      "TAP 0: IDCODE 0x34a56093, IR length 6\nTAP 1: IDCODE 0x24a56093, IR length 6\n"
      "TAP 2: IDCODE 0x14a56093, IR length 6\nTAP 3: IDCODE 0x04a56093, IR length 6\n"
      "TAP 4: IDCODE 0x3bc0e06b, IR length 8\nTAP 5: IDCODE 0x2bc0e06b, IR length 8\n"
      "TAP 6: IDCODE 0x1bc0e06b, IR length 8\nTAP 7: IDCODE 0x0bc0e06b, IR length 8\n"
      "8 TAPs (8 with IDCODE, 0 BYPASS only), IR 56 bits in all\n";
  const struct {
    std::string fault;
    std::string out, err;
  } cases[] = {
      {"", probe + full, ""},
      {"tdo-stuck=1", "", kStuckAtOne},
      {"held-in-reset=vnx3", "", kStuckAtOne},
      {"tdo-stuck=0", "",
       "jtag-detect: TDO stuck at 0: something holds TDO low (check the cable for a short to ground, and the "
       "target's power)\n"},
      {"chain-open=vnx3", probe, open_after("0 (IDCODE 0x34a56093)", "TAP 0 answers")},
      {"chain-open=vnx0", probe, open_after("3 (IDCODE 0x04a56093)", "TAPs 0 to 3 answer")},
      {"held-in-reset=cpu3", probe, open_after("3 (IDCODE 0x04a56093)", "TAPs 0 to 3 answer")},
      {"chain-open=cpu0", probe, open_after("7 (IDCODE 0x0bc0e06b)", "TAPs 0 to 7 answer")},
      {"ir-capture=cpu2", probe + full,
       "jtag-detect: TAP 5 (IDCODE 0x2bc0e06b) IR capture 0b11111100 does not end in 01\n"},
      {"tdo-errors=0.01", "",
       "jtag-detect: TDO errors: two reads of the chain differ in N of 4096 bits (check the wiring and its ground, "
       "or lower TCK; --integrity measures the rate)\n"},
  };
  for (const auto &c : cases) {
    const Result r = detect(c.fault);
    // How many bits differ is the generator's; that some do is the fault's.
    const std::string err = std::regex_replace(r.err, std::regex("differ in [1-9][0-9]* of"), "differ in N of");
    EXPECT_EQ(std::to_string(r.status) + r.out + err, (c.fault.empty() ? "0" : "1") + c.out + c.err) << c.fault;
  }
}

// The lines of `text` that start with `prefix`, without it.
std::string lines_starting(const std::string &text, const std::string &prefix) {
  std::string out;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    if (text.compare(at, prefix.size(), prefix) == 0)
      out += text.substr(at + prefix.size(), end - at - prefix.size()) + "\n";
    at = end + 1;
  }
  return out;
}

// --expect-board on the healthy chain and on each altered one; -v's fields;
// --json's object; the integrity test on a clean and a noisy chain.
TEST_F(Detect, ExpectedChainIntegrityAndFields) {
  const struct {
    std::string fault;
    Lines args;
    int status;
    std::string seen;  // the lines of interest, of standard output then error
  } cases[] = {
      {"", {"--expect-board"}, 0, "8 TAPs (8 with IDCODE, 0 BYPASS only), IR 56 bits in all\n"},
      {"absent=vnx0", {"--expect-board"}, 1, "jtag-detect: 7 TAPs, 8 expected: TAP 3 (IDCODE 0x04a56093) is missing\n"},
      {"",
       {"--expect",
        "0x34a56093:6 0x24a56093/0x0fffffff:6, 0x04a56093:6,0x04a56093:6 0x3bc0e06b:8 0x2bc0e06b:8 "
        "bypass:8 0x0bc0e06b:8"},
       1,
       "jtag-detect: TAP 2: IDCODE 0x14a56093, expected 0x04a56093\n"
       "jtag-detect: TAP 6: IDCODE 0x1bc0e06b, expected BYPASS\n"},
      {"",
       {"--expect", "0x34a56093:6,0x34a56093:7"},
       1,
       "jtag-detect: 8 TAPs, 2 expected\njtag-detect: TAP 1: IDCODE 0x24a56093, expected 0x34a56093\n"
       "jtag-detect: TAP 1: IR length 6, expected 7\n"},
      {"",
       {"-v"},
       0,
       "in all\nTAP 0: version 0x3, part 0x4a56, manufacturer JEP106 bank 1 code 0x49\n"
       "TAP 1: version 0x2, part 0x4a56, manufacturer JEP106 bank 1 code 0x49\n"},
      {"", {"--integrity", "100000"}, 0, "integrity: 100000 bits through BYPASS, 0 errors\n"},
      {"ir-capture=vnx1",
       {"--json", "--integrity", "1000"},
       1,
       "{\"tap\": 7, \"idcode\": \"0x0bc0e06b\", \"ir_length\": 8}], \"ir_total\": 56, \"integrity\": {\"bits\": 1000, "
       "\"errors\": 0, \"first\": []}, \"fastest_tck_hz\": null, \"findings\": [\"TAP 2 (IDCODE 0x14a56093) IR "
       "capture 0b111100 does not end in 01\"], \"status\": 1}\n"},
  };
  for (const auto &c : cases) {
    const Result r = detect(c.fault, c.args);
    // A finding is all of standard error; a report, part of standard output.
    const bool found = c.status == 1 && c.args[0] != "--json";
    EXPECT_EQ(r.status, c.status) << c.args[0] << " " << c.fault << r.err;
    if (found)
      EXPECT_EQ(r.err, c.seen) << c.args[0] << " " << c.fault;
    else
      EXPECT_NE(r.out.find(c.seen), std::string::npos) << c.args[0] << " " << c.fault << "\n" << r.out;
  }
}

// Bit errors at 1 in 1,000 show as that rate within four standard
// deviations of its count.
TEST_F(Detect, IntegrityMeasuresTheErrorRate) {
  const Result r = detect("tdo-errors=0.001,seed=11", {"--integrity", "400000"});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(r.err, m, std::regex("integrity: 400000 bits through BYPASS, ([0-9]+) errors, rate ")))
      << r.err;
  EXPECT_NEAR(std::stod(m[1]), 400.0, 4 * 20.0);
  EXPECT_EQ(r.status, 1);
}

// With errors only above 1 MHz the search ends at the fastest setting that
// is not above it: exactly 1 MHz through jtag-serve over XVC, whose
// periods are whole nanoseconds, and on the emulated FT2232H, whose 30 MHz
// divided by 30 is the first setting below 1034.483 kHz; within its
// precision in-process; and a backend that sets no TCK says so.
TEST_F(Detect, FindTckEndsBelowTheBoardsLimit) {
  const Result r = detect("tdo-errors=0.01,above=1000000", {"--find-tck", "1e-3"});
  const std::string tests = " (each setting tested twice with 20000 bits)\n";
  if (backend() == "xvc" || backend() == "ftdi") {
    EXPECT_EQ(std::to_string(r.status) + lines_starting(r.out, "find-tck: "),
              "0fastest TCK without bit errors: 1000 kHz" + tests);
  } else if (backend() == "sim") {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("find-tck: fastest TCK without bit errors: ([0-9.]+) kHz")))
        << r.out;
    EXPECT_GT(std::stod(m[1]), 999.8);
    EXPECT_LE(std::stod(m[1]), 1000.0);
  } else if (backend() == "xvcpeer") {  // a server that takes any period; the board behind rbb knows none
    EXPECT_EQ(std::to_string(r.status) + lines_starting(r.out, "find-tck: "),
              "0fastest TCK without bit errors: 100000 kHz" + tests);
  } else {
    EXPECT_EQ(std::to_string(r.status) + r.err, "1jtag-detect: find-tck: this backend cannot set its TCK\n");
  }
  // The probe's own clock (1000 kHz unless JTAG_PLATFORM says otherwise) is
  // the board's TCK from the run's first bit; elsewhere nothing set a rate.
  const Result slow = detect("tdo-errors=0.01,above=500000", {"--integrity", "20000"});
  EXPECT_EQ(slow.status, backend() == "ftdi" ? 1 : 0) << slow.err;
}

}  // namespace
