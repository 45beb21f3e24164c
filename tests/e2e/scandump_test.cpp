// The scan dumps: the option rules they share, the exact platform operations
// of each, the files, and round trips through the board's scan chains.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "board_view.h"

namespace {

using e2e::FreshBoardTest;
using Lines = std::vector<std::string>;

Lines operator+(Lines a, const Lines &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string shift(const std::string &pattern, int bits, int recycle = 0, int accel = 0) {
  return "JTAG_Shift \"" + pattern + "\" " + std::to_string(bits) + " " + std::to_string(recycle) + " 0 '0' accel=" +
         std::to_string(accel);
}
std::string internal(const std::string &pattern, int bits, int recycle, int mode, int accel = 0) {
  return "JTAG_Shift_internal \"" + pattern + "\" " + std::to_string(bits) + " " + std::to_string(recycle) +
         " 0 '0' " + std::to_string(mode) + " accel=" + std::to_string(accel);
}
Lines ir(const std::string &code, int bits) { return {"JTAG_Select_IR", shift(code, bits)}; }
Lines dr(const std::string &value, int bits) { return {"JTAG_Select_DR", shift(value, bits)}; }

Lines processor_setup(const std::string &chain) {
  return ir("88", 8) + ir("81", 8) + dr(chain, 6) + ir("80", 8) + Lines{"JTAG_Select_DR"};
}
Lines vornex_setup() { return ir("3D", 6) + ir("0A", 6) + dr("01e0", 16) + ir("3E", 6) + Lines{"JTAG_Select_DR"}; }

// One command of the family, with what its messages and words look like.
struct Dump {
  std::string name;
  Lines group;  // a complete positional group writing out.hex
  std::string too_few;
  std::string missing;
  std::string long_usage;
  std::string short_usage;
};

Dump processor_style(const std::string &name) {
  return {name,
          {"0c", "20", "out.hex"},
          name + ": ERROR, ChainSel/Length/File not specified !\n",
          name + ": ERROR, Chainsel/Length/File not specified !\n",
          name + " <chainsel> <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n\n",
          name + " <chainsel> <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n\n"};
}

const std::vector<Dump> &family() {
  static const std::vector<Dump> dumps = {
      processor_style("JTAG_ScanDump"),
      processor_style("JTAG_ScanDR_Path"),
      processor_style("JTAG_CapDR_To_Exit1DR"),
      {"JTAG_VnxScanDump",
       {"20", "out.hex"},
       "JTAG_VnxScanDump: ERROR, Length/File not specified !\n",
       "JTAG_VnxScanDump: ERROR, Length/File not specified !\n",
       "JTAG_VnxScanDump <length> <outfile> -a -f=<infile> [-r] [-d=<level>] [-h]\n\n",
       "JTAG_VnxScanDump <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n\n"},
  };
  return dumps;
}

class ScanDump : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    e2e::write_file(path("in.txt"), "12345\n");
  }
  std::string chain(const std::string &key) {
    std::string hex = sim({"chain", key});
    if (!hex.empty()) hex.pop_back();  // the line end
    return hex;
  }
  std::string file(const std::string &name) { return e2e::read_file(path(name)); }
  bool exists(const std::string &name) { return std::filesystem::exists(path(name)); }
};

// Every error of the family, for each of its four commands: the message, the
// usage that goes with it, the status, no platform operation at all, and the
// output file only where the rules open it.
TEST_F(ScanDump, ArgumentErrorsOfEveryDump) {
  for (const Dump &d : family()) {
    const Lines &g = d.group;
    const bool vnx = g.size() == 2;
    const std::string mutual = d.name + ": ERROR :-r[ecycle] and -f=<infile> are mutually exclusive\n\n";
    const std::string no_name = d.name + ": ERROR Input File Name not specified\n" + d.short_usage;
    struct Case {
      Lines args;
      int status;
      std::string out;
      bool output_created;
    };
    const std::vector<Case> cases = {
        {{"-h"}, 1, d.too_few + d.long_usage, false},  // the count comes before -h
        {Lines(g.begin(), g.end() - 1), 1, d.too_few + d.long_usage, false},
        {Lines(g.size(), "-d"), 1, d.missing + d.short_usage, false},
        {g + Lines{"-h"}, 0, d.short_usage, false},
        {Lines{"-h"} + g, 0, d.short_usage, false},
        {Lines{"-help"} + g, 0, d.short_usage, false},
        {Lines{"-f=in.txt", "-r"} + g, 1, mutual, false},
        {Lines{"-r", "-f=in.txt"} + g, 1, mutual, false},
        {g + Lines{"-recycle", "-fin.txt"}, 1, no_name, false},  // the bare -f is caught first
        {g + Lines{"-f="}, 1, no_name, false},
        {g + Lines{"-f=in.txt", "-h"}, 0, d.short_usage, false},
        {Lines{"-d"} + Lines(g.begin(), g.end() - 1), 1, d.missing + d.short_usage, false},  // group cut short
        {vnx ? Lines{"0", "out.hex"} : Lines{"0c", "0", "out.hex"}, 1, d.missing + d.short_usage, false},
        {vnx ? Lines{"x20", "out.hex"} : Lines{"0c", "x20", "out.hex"}, 1, d.missing + d.short_usage, false},
        {vnx ? Lines{"-5", "out.hex"} : Lines{"0c", "-5", "out.hex"}, 1, d.missing + d.short_usage, false},
        {vnx ? Lines{"20", "no/out.hex"} : Lines{"0c", "20", "no/out.hex"}, 1,
         d.name + ": ERROR, Could not open file no/out.hex for writing\n", false},
        {g + Lines{"-f=absent.txt"}, 1, d.name + ": ERROR, Could not open file absent.txt for reading\n", true},
    };
    for (const Case &c : cases) {
      fresh();
      std::filesystem::remove(path("out.hex"));
      const e2e::Result r = run(d.name, c.args);
      const std::string label = d.name + " " + ::testing::PrintToString(c.args);
      EXPECT_EQ(r.status, c.status) << label;
      EXPECT_EQ(r.out, c.out) << label;
      EXPECT_EQ(r.err, "") << label;
      EXPECT_EQ(trace(), Lines{}) << label;
      ASSERT_EQ(exists("out.hex"), c.output_created) << label;
      if (c.output_created) {
        EXPECT_EQ(file("out.hex"), "") << label;
        EXPECT_EQ(e2e::file_mode(path("out.hex")), mode_t(0777)) << label;
      }
    }
  }
}

// The platform operations of each dump, in order and with their arguments.
TEST_F(ScanDump, OperationsOfEachDump) {
  const std::string start = " (20) to file out.hex \n";
  check("JTAG_ScanDump",
        {
            {{"0c", "20", "out.hex"}, 0, "", processor_setup("0c") + Lines{shift("0", 20), "JTAG_Select_IR"}},
            {{"-a", "0c", "20", "out.hex"}, 0, "",
             processor_setup("0c") + Lines{shift("0", 20, 0, 1), "JTAG_Select_IR"}},
            {{"3f", "20", "out.hex", "-r"}, 0, "", processor_setup("3f") + Lines{shift("0", 21, 1), "JTAG_Select_IR"}},
            {{"0c", "20", "out.hex", "-f=in.txt"}, 0, "",
             processor_setup("0c") + Lines{shift("12345", 20), "JTAG_Select_IR"}},
            {{"1", "20", "a.hex", "0c", "12abc", "out.hex"}, 0, "",  // the second group wins
             processor_setup("0c") + Lines{shift("0", 12), "JTAG_Select_IR"}},
            {{"0c", "16", "out.hex", "3f", "x", "b.hex"}, 0, "",  // a length that is no number keeps the first
             processor_setup("3f") + Lines{shift("0", 16), "JTAG_Select_IR"}},
            {{"-d", "0c", "20", "out.hex", "-f=in.txt"},
             0,
             "JTAG_ScanDump: Starting Scandump of chainsel=0c" + start +
                 "Inchain = 12345 \nSetting up for Scan Dump\nStarting  Scan Dump (20)\n",
             processor_setup("0c") + Lines{shift("12345", 20), "JTAG_Select_IR"}},
            {{"0c", "20", "out.hex", "-d", "-r", "-d=0"}, 0, "",
             processor_setup("0c") + Lines{shift("0", 21, 1), "JTAG_Select_IR"}},
        });
  check("JTAG_ScanDR_Path",
        {
            {{"0c", "20", "out.hex"}, 0, "", {"JTAG_SetTms 0", internal("0", 20, 0, 1)}},
            {{"3f", "20", "out.hex", "-r"}, 0, "", {"JTAG_SetTms 0", internal("0", 21, 1, 1)}},
            {{"-d", "0c", "20", "out.hex"},
             0,
             "JTAG_ScanDR_Path: Starting Scandump of chainsel=0c" + start + "Starting  Scan Dump (20)\n",
             {"JTAG_SetTms 0", internal("0", 20, 0, 1)}},
        });
  check("JTAG_CapDR_To_Exit1DR",
        {
            {{"0c", "20", "out.hex"}, 0, "", {internal("0", 20, 0, 2)}},
            {{"0c", "20", "out.hex", "-a", "-r"}, 0, "", {internal("0", 21, 1, 2, 1)}},
            {{"0c", "20", "out.hex", "-d", "-f=in.txt"},
             0,
             "JTAG_CapDR_To_Exit1DR: Starting Scandump of chainsel=0c" + start +
                 "Inchain = 12345 \nStarting  Scan Dump (20)\n",
             {internal("12345", 20, 0, 2)}},
        });
  check("JTAG_VnxScanDump",
        {
            {{"20", "out.hex"}, 0, "", vornex_setup() + Lines{shift("0", 20)}},
            {{"20", "out.hex", "-a", "-r"}, 0, "", vornex_setup() + Lines{shift("0", 21, 1, 1)}},
            {{"-d", "20", "out.hex"},
             0,
             "JTAG_VnxScanDump: Starting Scandump (20) to file out.hex \nSetting up for Vornex Scan Dump\n"
             "Starting  Scan Dump (20)\n",
             vornex_setup() + Lines{shift("0", 20)}},
        });
}

// The pattern file: at most (length + 3) / 4 characters of the first line,
// the line end kept when the line is shorter, nothing of the second line.
TEST_F(ScanDump, PatternFileFirstLineOnly) {
  struct Case {
    std::string text;
    int length;
    std::string pattern;  // as the trace writes it
  };
  const std::vector<Case> cases = {
      {"abcdef\n123\n", 16, "abcd"}, {"abcdef\n", 17, "abcde"}, {"ab\n123\n", 16, "ab\\n"},
      {"", 16, ""},                  {"\n", 8, "\\n"},         {"abcdef", 1, "a"},
  };
  for (const Case &c : cases) {
    fresh();
    e2e::write_file(path("p.txt"), c.text);
    const e2e::Result r = run("JTAG_CapDR_To_Exit1DR", {"0c", std::to_string(c.length), "out.hex", "-f=p.txt"});
    EXPECT_EQ(r.status, 0) << c.text;
    EXPECT_EQ(trace(), Lines{internal(c.pattern, c.length, 0, 2)}) << c.text;
  }
}

// -a on JTAG_ScanDR_Path switches the board's scan-dump accelerator on
// before TMS is driven and off after the shift; either failure is reported
// on standard error and leaves the output file empty.
TEST_F(ScanDump, ScanDRPathAccelerator) {
  JTAGBOX_SIM_ONLY();
  const Lines ok = {"jtag_pelustr_fpga_accelerate 1", "JTAG_SetTms 0", internal("0", 20, 0, 1),
                    "jtag_pelustr_fpga_accelerate 0"};
  struct Case {
    std::string fault;
    int status;
    std::string err;
    Lines trace;
    bool written;
  };
  const std::vector<Case> cases = {
      {"", 0, "", ok, true},
      {"accel_on_fail=1", 1, "can't activate the scan dump accelerator\n", {"jtag_pelustr_fpga_accelerate 1"}, false},
      {"accel_off_fail=1", 1, "can't de-activate the scan dump accelerator\n", ok, false},
  };
  for (const Case &c : cases) {
    fresh();
    sim({"set", "cpu0.tap=Select-DR-Scan", "cpu0.scan_access=1", "cpu0.ir=0x80"});
    if (!c.fault.empty()) sim({"set", c.fault});
    const e2e::Result r = run("JTAG_ScanDR_Path", {"-a", "0c", "20", "out.hex"});
    EXPECT_EQ(r.status, c.status) << c.fault;
    EXPECT_EQ(r.out, "") << c.fault;
    EXPECT_EQ(r.err, c.err) << c.fault;
    EXPECT_EQ(trace(), c.trace) << c.fault;
    EXPECT_EQ(e2e::file_mode(path("out.hex")), mode_t(0777)) << c.fault;
    EXPECT_EQ(file("out.hex").empty(), !c.written) << c.fault;
  }
  // Without -a the accelerator is never called.
  fresh();
  EXPECT_EQ(run("JTAG_ScanDR_Path", {"0c", "20", "out.hex"}).status, 0);
  EXPECT_EQ(trace(), (Lines{"JTAG_SetTms 0", internal("0", 20, 0, 1)}));
}

// The chain is the flip-flops: a dump shows them, -r leaves them as they
// were, zeros shifted in stay behind, and a pattern loaded shows next time.
TEST_F(ScanDump, ProcessorChainRoundTrips) {
  sim({"set", "cpu0.chain.0c.length=40", "cpu0.chain.0c=0x12345abcde"});
  ASSERT_EQ(chain("cpu0.chain.0c"), "12345abcde");

  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "40", "r1.hex", "-r"}).status, 0);
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "40", "r2.hex", "-r", "-a"}).status, 0);
  EXPECT_EQ(file("r1.hex"), "12345abcde");
  EXPECT_EQ(file("r2.hex"), "12345abcde");
  EXPECT_EQ(chain("cpu0.chain.0c"), "12345abcde");

  e2e::write_file(path("p.txt"), "fedcba9876\n");
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "40", "z.hex", "-f=p.txt"}).status, 0);
  EXPECT_EQ(file("z.hex"), "12345abcde");
  EXPECT_EQ(chain("cpu0.chain.0c"), "fedcba9876");
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "40", "p.hex"}).status, 0);
  EXPECT_EQ(file("p.hex"), "fedcba9876");
  EXPECT_EQ(chain("cpu0.chain.0c"), "0000000000");  // zeros shifted in stay
}

// A shift longer than the chain shows the chain and then the bits shifted
// in; a shorter one shows its first bits and moves the rest along.
TEST_F(ScanDump, DumpLongerAndShorterThanTheChain) {
  e2e::write_file(path("p.txt"), "abcdef\n");
  struct Case {
    std::string length;
    std::string dump;
    std::string left;
  };
  const std::vector<Case> cases = {
      {"24", "ef1234", "abcd"},  // 16 chain bits out, then the first 8 pattern bits
      {"16", "1234", "abcd"},  // (16 + 3) / 4 characters of the pattern: abcd
      {"8", "34", "ab12"},
  };
  for (const Case &c : cases) {
    fresh();
    sim({"set", "cpu0.chain.05.length=16", "cpu0.chain.05=0x1234"});
    ASSERT_EQ(run("JTAG_ScanDump", {"05", c.length, "out.hex", "-f=p.txt"}).status, 0) << c.length;
    EXPECT_EQ(file("out.hex"), c.dump) << c.length;
    EXPECT_EQ(chain("cpu0.chain.05"), c.left) << c.length;
  }
}

// Each chain has its own contents and length; the dump reaches the one the
// chain selector names, on the processor the scan mode selects.
TEST_F(ScanDump, ChainsDifferAndTheSelectorChooses) {
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "1444", "c.hex", "-r"}).status, 0);
  ASSERT_EQ(run("JTAG_ScanDump", {"0d", "1481", "d.hex", "-r"}).status, 0);
  EXPECT_EQ(file("c.hex"), chain("cpu0.chain.0c"));
  EXPECT_EQ(file("d.hex"), chain("cpu0.chain.0d"));
  EXPECT_EQ(file("c.hex").size(), 361u);
  EXPECT_EQ(file("d.hex").size(), 371u);
  EXPECT_NE(file("c.hex").substr(0, 32), file("d.hex").substr(0, 32));
  EXPECT_NE(e2e::line_starting(sim({"show"}), "  scan chains: access on, chain 0x0d selected"), "");
}

TEST_F(ScanDump, OtherProcessorsChains) {
  JTAGBOX_SIM_ONLY();
  ASSERT_EQ(run("JTAG_CPUSelect", {"2"}).status, 0);
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "1454", "c.hex", "-r"}).status, 0);
  EXPECT_EQ(file("c.hex"), chain("cpu2.chain.0c"));
  EXPECT_NE(file("c.hex"), chain("cpu0.chain.0c"));
}

// Without instruction 0x88 no chain is reachable: 0x80 acts as BYPASS, one
// 0 and then the bits shifted in.  The dumps that select no chain shift what
// the last instruction selected, from where the TAP was left.
TEST_F(ScanDump, DumpsOfTheDataRegisterInForce) {
  e2e::write_file(path("p.txt"), "abcd\n");
  sim({"set", "cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05"});

  ASSERT_EQ(run("JTAG_LoadIR", {"80"}).status, 0);
  ASSERT_EQ(run("JTAG_TMS", {"1"}).status, 0);  // Select-DR-Scan
  ASSERT_EQ(run("JTAG_ScanDR_Path", {"05", "16", "bypass.hex", "-f=p.txt"}).status, 0);
  EXPECT_EQ(file("bypass.hex"), "579a");  // 0xabcd << 1, cut to 16 bits

  sim({"set", "cpu0.scan_access=1"});
  ASSERT_EQ(run("JTAG_TMS", {"1"}).status, 0);
  ASSERT_EQ(run("JTAG_ScanDR_Path", {"xx", "16", "dr.hex", "-r"}).status, 0);
  EXPECT_EQ(file("dr.hex"), "1234");

  ASSERT_EQ(run("JTAG_TMS", {"1"}).status, 0);  // Select-DR-Scan
  ASSERT_EQ(run("JTAG_TMS", {"0"}).status, 0);  // Capture-DR
  ASSERT_EQ(run("JTAG_CapDR_To_Exit1DR", {"05", "16", "cap.hex", "-f=p.txt"}).status, 0);
  EXPECT_EQ(file("cap.hex"), "1234");
  EXPECT_EQ(e2e::tap_of(sim({"show"}), "cpu0"), "Exit1-DR, IR 0x80");
  EXPECT_EQ(chain("cpu0.chain.05"), "abcd");
}

// The Vornex chain: its contents move on between captures while the clock
// runs, and hold still once JTAG_VnxClockStop has stopped it.
TEST_F(ScanDump, VornexChainAndItsClock) {
  JTAGBOX_SIM_ONLY();
  ASSERT_EQ(run("JTAG_VNXSelect", {"1"}).status, 0);
  const std::string length = "3250";
  ASSERT_EQ(run("JTAG_VnxScanDump", {length, "a.hex", "-r"}).status, 0);
  ASSERT_EQ(run("JTAG_VnxScanDump", {length, "b.hex", "-r"}).status, 0);
  EXPECT_EQ(file("a.hex").size(), 813u);
  EXPECT_NE(file("a.hex"), file("b.hex"));

  ASSERT_EQ(run("JTAG_VnxClockStop").status, 0);
  ASSERT_EQ(run("JTAG_VnxScanDump", {length, "c.hex", "-r"}).status, 0);
  ASSERT_EQ(run("JTAG_VnxScanDump", {length, "d.hex", "-r", "-a"}).status, 0);
  EXPECT_EQ(file("c.hex"), file("d.hex"));
  EXPECT_EQ(file("c.hex"), chain("vnx1.chain"));
  EXPECT_NE(e2e::line_starting(sim({"show"}), "  scan chain: access on, configuration 0x01e0, clock stopped"), "");

  e2e::write_file(path("p.txt"), "5a5a\n");
  ASSERT_EQ(run("JTAG_VnxScanDump", {length, "e.hex", "-f=p.txt"}).status, 0);
  ASSERT_EQ(run("JTAG_VnxScanDump", {"16", "f.hex"}).status, 0);
  EXPECT_EQ(file("f.hex"), "5a5a");  // the pattern now fills the chain from its TDO end
  EXPECT_EQ(file("e.hex"), file("c.hex"));
}

// JTAG_MacroDump: its four-word group, its one message, and the TCK pulses
// after the dump.
TEST_F(ScanDump, MacroDumpArguments) {
  e2e::write_file(path("in.hex"), "0123456789abcdef01234567\n");
  const std::string usage = "JTAG_MacroDump <length> <outfile> <clocks> <infile> [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_MacroDump: ERROR, Length/File/Clocks not specified !\n" + usage;
  const std::string pattern = "0123456789abcdef0123456";  // (90 + 3) / 4 characters
  auto dump = [&](int accel, int clocks) {
    return Lines{"JTAG_Select_DR", shift(pattern, 90, 0, accel)} + Lines(size_t(clocks), "cycle_tclk");
  };
  check("JTAG_MacroDump",
        {
            {{"90", "out.hex", "0", "in.hex"}, 0, "", dump(0, 0)},
            {{"90", "out.hex", "3", "in.hex"}, 0, "", dump(0, 3)},
            {{"90", "out.hex", "2", "in.hex", "-a"}, 0, "", dump(1, 2)},
            {{"90", "-a", "2", "in.hex"}, 0, "", dump(0, 2)},  // -a is the output file's name here
            {{"90", "out.hex", "1", "in.hex", "-r", "-f=x"}, 0, "", dump(0, 1)},
            {{"-d", "90", "out.hex", "2", "in.hex"},
             0,
             "JTAG_MacroDump: Starting MacroDump of (90 bits) to file out.hex  followed by 2 TCK\nInchain = " +
                 pattern + " \nStarting  Macro Dump (90)\nCycling TCK in RTI ..\n",
             dump(0, 2)},
            {{"90", "out.hex", "-1", "in.hex"}, 1, missing, {}},
            {{"90", "out.hex", "x", "in.hex"}, 1, missing, {}},
            {{"0", "out.hex", "1", "in.hex"}, 1, missing, {}},
            {{"x", "out.hex", "1", "in.hex"}, 1, missing, {}},
            {{"-h", "90", "out.hex"}, 1, missing, {}},  // three words: the count comes first
            {{"-d", "-d", "-d", "90"}, 1, missing, {}},
            {{"90", "out.hex", "1", "in.hex", "-h"}, 0, usage, {}},
            {{"90", "out.hex", "1", "absent.hex"}, 1, "JTAG_MacroDump: ERROR, Could not open file absent.hex for reading\n",
             {}},
            {{"90", "no/out.hex", "1", "in.hex"}, 1, "JTAG_MacroDump: ERROR, Could not open file no/out.hex for writing\n",
             {}},
        });
  EXPECT_EQ(file("out.hex"), "");  // left by the unreadable input file, empty
  EXPECT_EQ(e2e::file_mode(path("out.hex")), mode_t(0777));
}

TEST_F(ScanDump, MacroDumpShiftsTheRegisterInForce) {
  sim({"set", "cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05", "cpu0.scan_access=1"});
  ASSERT_EQ(run("JTAG_LoadIR", {"80"}).status, 0);
  e2e::write_file(path("in.hex"), "beef\n");
  const e2e::Result r = run("JTAG_MacroDump", {"16", "out.hex", "4", "in.hex"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(file("out.hex"), "1234");
  EXPECT_EQ(chain("cpu0.chain.05"), "beef");
  EXPECT_EQ(e2e::tap_of(sim({"show"}), "cpu0"), "Run-Test/Idle, IR 0x80");
}

// An existing output file is truncated and gets mode 0777 whatever its mode
// and the umask were.
TEST_F(ScanDump, OutputFileTruncatedToMode0777) {
  e2e::write_file(path("out.hex"), std::string(5000, 'x'));
  ::chmod(path("out.hex").c_str(), 0600);
  sim({"set", "cpu0.chain.0c.length=8", "cpu0.chain.0c=0x5a"});
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "8", "out.hex"}).status, 0);
  EXPECT_EQ(file("out.hex"), "5a");
  EXPECT_EQ(e2e::file_mode(path("out.hex")), mode_t(0777));
}

// A chain of 100,000,000 bits, end to end, exact.  On the wire a recycled
// shift costs a round trip per bit, so there the zeros go in instead, and
// the chain is a tenth as long: three bytes a bit through a sanitized
// server would take minutes.
TEST_F(ScanDump, HundredMillionBitChain) {
  const bool wire = e2e::over_wire();
  const std::string length = wire ? "10000000" : "100000000";
  const size_t digits = wire ? 2500000 : 25000000;
  sim({"set", "cpu0.chain.01.length=" + length});
  const std::string before = chain("cpu0.chain.01");
  ASSERT_EQ(before.size(), digits);
  Lines args = {"01", length, "big.hex", "-a"};
  if (!wire) args.push_back("-r");
  ASSERT_EQ(run("JTAG_ScanDump", args).status, 0);
  EXPECT_TRUE(file("big.hex") == before);
  EXPECT_TRUE(chain("cpu0.chain.01") == (wire ? std::string(digits, '0') : before));
}

}  // namespace
