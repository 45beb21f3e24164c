// The scan dumps: the option rules they share, the exact platform operations
// of each, the files, and round trips through the board's scan chains.
#include "board_view.h"

namespace {

using namespace e2e;

Lines processor_setup(const std::string &chain) {
  return ir_op("88") + ir_op("81") + dr_op(chain, 6) + ir_op("80") + Lines{"JTAG_Select_DR"};
}
Lines vornex_setup() {
  return ir_op("3D", 6) + ir_op("0A", 6) + dr_op("01e0", 16) + ir_op("3E", 6) + Lines{"JTAG_Select_DR"};
}

class ScanDump : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    write_file(path("in.txt"), "12345\n");
  }
  // Runs a dump that must succeed; the file it wrote (its first .hex word).
  std::string dump(const std::string &command, const Lines &args) {
    EXPECT_EQ(run(command, args).status, 0) << command << " " << ::testing::PrintToString(args);
    for (const std::string &a : args)
      if (a.size() > 4 && a.substr(a.size() - 4) == ".hex") return file(a);
    return "";
  }
};

// Every error of the family, for each of its four commands: the message, the
// usage that goes with it, the status, no platform operation at all, and no
// output file, except where the input file is missing: it is opened after
// the output file, which is left empty with mode 0777.
TEST_F(ScanDump, ArgumentErrorsOfEveryDump) {
  for (const std::string name : {"JTAG_ScanDump", "JTAG_ScanDR_Path", "JTAG_CapDR_To_Exit1DR", "JTAG_VnxScanDump"}) {
    const bool vnx = name == "JTAG_VnxScanDump";
    const Lines g = vnx ? Lines{"20", "out.hex"} : Lines{"0c", "20", "out.hex"};  // a complete group
    const Lines head(g.begin(), g.end() - 2);  // the chain selector, where there is one
    const std::string usage = name + (vnx ? " <length> <outfile>" : " <chainsel> <length> <outfile>");
    const std::string long_usage = usage + " -a -f=<infile> [-r] [-d=<level>] [-h]\n\n";
    const std::string short_usage = usage + " -f=<infile> [-r] [-d=<level>] [-h]\n\n";
    const std::string too_few =
        name + (vnx ? ": ERROR, Length" : ": ERROR, ChainSel/Length") + "/File not specified !\n";
    const std::string missing =
        name + (vnx ? ": ERROR, Length" : ": ERROR, Chainsel/Length") + "/File not specified !\n" + short_usage;
    const std::string mutual = name + ": ERROR :-r[ecycle] and -f=<infile> are mutually exclusive\n\n";
    const std::string no_name = name + ": ERROR Input File Name not specified\n" + short_usage;
    std::filesystem::remove(path("out.hex"));
    check(name,
          {
              {{"-h"}, 1, too_few + long_usage, {}},  // the count comes before -h
              {Lines(g.begin(), g.end() - 1), 1, too_few + long_usage, {}},
              {g + Lines{"-h"}, 0, short_usage, {}},
              {Lines{"-h"} + g, 0, short_usage, {}},
              {Lines{"-help"} + g, 0, short_usage, {}},
              {g + Lines{"-f=in.txt", "-h"}, 0, short_usage, {}},
              {Lines{"-f=in.txt", "-r"} + g, 1, mutual, {}},
              {Lines{"-r", "-f=in.txt"} + g, 1, mutual, {}},
              {g + Lines{"-recycle", "-fin.txt"}, 1, no_name, {}},  // the bare -f is caught first
              {g + Lines{"-f="}, 1, no_name, {}},
              {Lines(g.size(), "-d"), 1, missing, {}},
              {Lines{"-d"} + Lines(g.begin(), g.end() - 1), 1, missing, {}},  // group cut short
              {head + Lines{"0", "out.hex"}, 1, missing, {}},
              {head + Lines{"x20", "out.hex"}, 1, missing, {}},
              {head + Lines{"-5", "out.hex"}, 1, missing, {}},
              {head + Lines{"20", "no/out.hex"}, 1, name + ": ERROR, Could not open file no/out.hex for writing\n", {}},
          });
    EXPECT_FALSE(exists("out.hex")) << name;
    check(name, {{g + Lines{"-f=absent.txt"}, 1, name + ": ERROR, Could not open file absent.txt for reading\n", {}}});
    EXPECT_EQ(file("out.hex"), "") << name;
    EXPECT_EQ(file_mode(path("out.hex")), mode_t(0777)) << name;
  }
}

// The platform operations of each dump, in order and with their arguments.
TEST_F(ScanDump, OperationsOfEachDump) {
  const std::string start = " (20) to file out.hex \n";
  const auto dump = [](const std::string &chain, const std::string &op) {
    return processor_setup(chain) + Lines{op, "JTAG_Select_IR"};
  };
  check("JTAG_ScanDump", {
                             {{"0c", "20", "out.hex"}, 0, "", dump("0c", shift_op("0", 20))},
                             {{"-a", "0c", "20", "out.hex"}, 0, "", dump("0c", shift_op("0", 20, 0, 0, "0", 1))},
                             {{"3f", "20", "out.hex", "-r"}, 0, "", dump("3f", shift_op("0", 21, 1))},
                             {{"0c", "20", "out.hex", "-f=in.txt"}, 0, "", dump("0c", shift_op("12345", 20))},
                             {{"1", "20", "a.hex", "0c", "12abc", "out.hex"},
                              0,
                              "",
                              dump("0c", shift_op("0", 12))},  // the second group wins
                             {{"0c", "16", "out.hex", "3f", "x", "b.hex"},
                              0,
                              "",
                              dump("3f", shift_op("0", 16))},  // no number: the first length
                             {{"-d", "0c", "20", "out.hex", "-f=in.txt"},
                              0,
                              "JTAG_ScanDump: Starting Scandump of chainsel=0c" + start +
                                  "Inchain = 12345 \nSetting up for Scan Dump\nStarting  Scan Dump (20)\n",
                              dump("0c", shift_op("12345", 20))},
                             {{"0c", "20", "out.hex", "-d", "-r", "-d=0"}, 0, "", dump("0c", shift_op("0", 21, 1))},
                         });
  check("JTAG_ScanDR_Path",
        {
            {{"0c", "20", "out.hex"}, 0, "", {"JTAG_SetTms 0", internal_op("0", 20, 0, 1)}},
            {{"3f", "20", "out.hex", "-r"}, 0, "", {"JTAG_SetTms 0", internal_op("0", 21, 1, 1)}},
            {{"-d", "0c", "20", "out.hex"},
             0,
             "JTAG_ScanDR_Path: Starting Scandump of chainsel=0c" + start + "Starting  Scan Dump (20)\n",
             {"JTAG_SetTms 0", internal_op("0", 20, 0, 1)}},
        });
  check("JTAG_CapDR_To_Exit1DR", {
                                     {{"0c", "20", "out.hex"}, 0, "", {internal_op("0", 20, 0, 2)}},
                                     {{"0c", "20", "out.hex", "-a", "-r"}, 0, "", {internal_op("0", 21, 1, 2, 1)}},
                                     {{"0c", "20", "out.hex", "-d", "-f=in.txt"},
                                      0,
                                      "JTAG_CapDR_To_Exit1DR: Starting Scandump of chainsel=0c" + start +
                                          "Inchain = 12345 \nStarting  Scan Dump (20)\n",
                                      {internal_op("12345", 20, 0, 2)}},
                                 });
  check("JTAG_VnxScanDump",
        {
            {{"20", "out.hex"}, 0, "", vornex_setup() + Lines{shift_op("0", 20)}},
            {{"20", "out.hex", "-a", "-r"}, 0, "", vornex_setup() + Lines{shift_op("0", 21, 1, 0, "0", 1)}},
            {{"-d", "20", "out.hex"},
             0,
             "JTAG_VnxScanDump: Starting Scandump (20) to file out.hex \nSetting up for Vornex Scan Dump\n"
             "Starting  Scan Dump (20)\n",
             vornex_setup() + Lines{shift_op("0", 20)}},
        });
}

// -a on JTAG_ScanDR_Path switches the board's scan-dump accelerator on
// before TMS is driven and off after the shift; either failure is reported
// on standard error and leaves the output file empty.
TEST_F(ScanDump, ScanDRPathAccelerator) {
  JTAGBOX_SIM_ONLY();
  const Lines ok = {"jtag_pelustr_fpga_accelerate 1", "JTAG_SetTms 0", internal_op("0", 20, 0, 1),
                    "jtag_pelustr_fpga_accelerate 0"};
  const Lines seed = {"cpu0.tap=Select-DR-Scan", "cpu0.scan_access=1",      "cpu0.ir=0x80",
                      "cpu0.chain_select=0x0c",  "cpu0.chain.0c.length=20", "cpu0.chain.0c=0xabcde"};
  const Lines args = {"-a", "0c", "20", "out.hex"};
  const auto dumped = [](const std::string &text) {
    return std::vector<std::pair<std::string, std::string>>{{"file out.hex", text}, {"mode out.hex", "777"}};
  };
  play("JTAG_ScanDR_Path", {{seed, args, "", dumped("abcde"), 0, "", ok},
                            {seed + Lines{"accel_on_fail=1"}, args, "", dumped(""), 1,
                             "can't activate the scan dump accelerator\n", Lines{"jtag_pelustr_fpga_accelerate 1"}},
                            {seed + Lines{"accel_off_fail=1"}, args, "", dumped(""), 1,
                             "can't de-activate the scan dump accelerator\n", ok}});
}

// The chain is the flip-flops: a dump shows them, -r leaves them as they
// were, zeros shifted in stay behind, and a pattern loaded shows next time.
// A chain is kept in the board once shifted; a new length powers it up
// afresh.
TEST_F(ScanDump, ProcessorChainRoundTrips) {
  sim({"set", "cpu0.chain.0c.length=40"});
  const std::string board_before = file("board/board.db");
  const std::string power_up = chain("cpu0.chain.0c");
  EXPECT_EQ(file("board/board.db"), board_before) << "looking is not storing";
  sim({"set", "cpu0.chain.0c=0x12345abcde"});
  ASSERT_EQ(chain("cpu0.chain.0c"), "12345abcde");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "r1.hex", "-r"}), "12345abcde");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "r2.hex", "-r", "-a"}), "12345abcde");
  EXPECT_EQ(chain("cpu0.chain.0c"), "12345abcde");
  write_file(path("p.txt"), "fedcba9876\n");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "z.hex", "-f=p.txt"}), "12345abcde");
  EXPECT_EQ(chain("cpu0.chain.0c"), "fedcba9876");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "p.hex"}), "fedcba9876");
  EXPECT_EQ(chain("cpu0.chain.0c"), "0000000000");  // zeros shifted in stay

  sim({"set", "cpu0.chain.0c.length=48"});
  sim({"set", "cpu0.chain.0c.length=40"});
  EXPECT_EQ(chain("cpu0.chain.0c"), power_up);
}

// A shift longer than the chain shows the chain and then the bits shifted
// in; a shorter one shows its first bits and moves the rest along.
TEST_F(ScanDump, DumpLongerAndShorterThanTheChain) {
  write_file(path("p.txt"), "abcdef\n");
  const auto dump_of = [](const std::string &length, const std::string &dumped, const std::string &left) {
    return Scenario{{"cpu0.chain.05.length=16", "cpu0.chain.05=0x1234"},
                    {"05", length, "out.hex", "-f=p.txt"},
                    "",
                    {{"file out.hex", dumped}, {"chain cpu0.chain.05", left}}};
  };
  play("JTAG_ScanDump", {dump_of("24", "ef1234", "abcd"),  // 16 chain bits out, then the first 8 pattern bits
                         dump_of("16", "1234", "abcd"),    // (16 + 3) / 4 characters of the pattern: abcd
                         dump_of("8", "34", "ab12")});
}

// Each chain has its own contents and length; the dump reaches the one the
// chain selector names, on the processor the scan mode selects.
TEST_F(ScanDump, ChainsDifferAndTheSelectorChooses) {
  const std::string c = dump("JTAG_ScanDump", {"0c", "1444", "c.hex", "-r"});
  const std::string d = dump("JTAG_ScanDump", {"0d", "1481", "d.hex", "-r"});
  EXPECT_EQ(c, chain("cpu0.chain.0c"));
  EXPECT_EQ(d, chain("cpu0.chain.0d"));
  EXPECT_EQ(c.size(), 361u);
  EXPECT_EQ(d.size(), 371u);
  EXPECT_NE(c.substr(0, 32), d.substr(0, 32));
  EXPECT_EQ(sim({"get", "cpu0.scan_access", "cpu0.chain_select"}), "0x1\n0x0d\n");
  sim({"set", "scan_mode=0x04"});
  const std::string c2 = dump("JTAG_ScanDump", {"0c", "1454", "c2.hex", "-r"});
  EXPECT_EQ(c2, chain("cpu2.chain.0c"));
  EXPECT_NE(c2.substr(0, 32), c.substr(0, 32));
}

// Without instruction 0x88 no chain is reachable: 0x80 acts as BYPASS, one
// 0 and then the bits shifted in.  The dumps that select no chain shift what
// the last instruction selected, from where the TAP was left.
TEST_F(ScanDump, DumpsOfTheDataRegisterInForce) {
  write_file(path("p.txt"), "abcd\n");
  sim({"set", "cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05"});
  ASSERT_EQ(run("JTAG_LoadIR", {"80"}).status, 0);
  ASSERT_EQ(run("JTAG_TMS", {"1"}).status, 0);                                          // Select-DR-Scan
  EXPECT_EQ(dump("JTAG_ScanDR_Path", {"05", "16", "bypass.hex", "-f=p.txt"}), "579a");  // 0xabcd << 1, cut to 16 bits
  sim({"set", "cpu0.scan_access=1"});
  ASSERT_EQ(run("JTAG_TMS", {"1"}).status, 0);
  EXPECT_EQ(dump("JTAG_ScanDR_Path", {"xx", "16", "dr.hex", "-r"}), "1234");
  ASSERT_EQ(run("JTAG_TMS", {"1"}).status, 0);  // Select-DR-Scan
  ASSERT_EQ(run("JTAG_TMS", {"0"}).status, 0);  // Capture-DR
  EXPECT_EQ(dump("JTAG_CapDR_To_Exit1DR", {"05", "16", "cap.hex", "-f=p.txt"}), "1234");
  EXPECT_EQ(tap("cpu0"), "Exit1-DR, IR 0x80");
  EXPECT_EQ(chain("cpu0.chain.05"), "abcd");
  // JTAG_MacroDump shifts the register in force too, then gives its TCKs.
  sim({"set", "cpu0.chain.05=0x1234", "cpu0.tap=Run-Test/Idle"});
  write_file(path("in.hex"), "beef\n");
  EXPECT_EQ(dump("JTAG_MacroDump", {"16", "out.hex", "4", "in.hex"}), "1234");
  EXPECT_EQ(chain("cpu0.chain.05"), "beef");
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x80");
}

// The Vornex chain: its contents move on between captures while the clock
// runs, and hold still once JTAG_VnxClockStop has stopped it.
TEST_F(ScanDump, VornexChainAndItsClock) {
  JTAGBOX_SIM_ONLY();
  ASSERT_EQ(run("JTAG_VNXSelect", {"1"}).status, 0);
  const std::string a = dump("JTAG_VnxScanDump", {"3250", "a.hex", "-r"});
  EXPECT_EQ(a.size(), 813u);
  EXPECT_NE(dump("JTAG_VnxScanDump", {"3250", "b.hex", "-r"}), a);
  ASSERT_EQ(run("JTAG_VnxClockStop").status, 0);
  const std::string c = dump("JTAG_VnxScanDump", {"3250", "c.hex", "-r"});
  EXPECT_EQ(dump("JTAG_VnxScanDump", {"3250", "d.hex", "-r", "-a"}), c);
  EXPECT_EQ(c, chain("vnx1.chain"));
  EXPECT_EQ(sim({"get", "vnx1.scan_access", "vnx1.scan_config"}), "0x1\n0x01e0\n");
  write_file(path("p.txt"), "5a5a\n");
  EXPECT_EQ(dump("JTAG_VnxScanDump", {"3250", "e.hex", "-f=p.txt"}), c);
  EXPECT_EQ(dump("JTAG_VnxScanDump", {"16", "f.hex"}), "5a5a");  // the pattern fills the chain from its TDO end
}

// JTAG_MacroDump: its four-word group, its one message, and the TCK pulses
// after the dump.
TEST_F(ScanDump, MacroDumpArguments) {
  write_file(path("in.hex"), "0123456789abcdef01234567\n");
  const std::string usage = "JTAG_MacroDump <length> <outfile> <clocks> <infile> [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_MacroDump: ERROR, Length/File/Clocks not specified !\n" + usage;
  const std::string pattern = "0123456789abcdef0123456";  // (90 + 3) / 4 characters
  auto dump = [&](int accel, int clocks) {
    return Lines{"JTAG_Select_DR", shift_op(pattern, 90, 0, 0, "0", accel)} + clocks_op(clocks);
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
            {{"90", "no/out.hex", "1", "in.hex"},
             1,
             "JTAG_MacroDump: ERROR, Could not open file no/out.hex for writing\n",
             {}},
            {{"90", "out.hex", "1", "absent.hex"},
             1,
             "JTAG_MacroDump: ERROR, Could not open file absent.hex for reading\n",
             {}},
        });
  EXPECT_EQ(file("out.hex"), "");  // left by the missing input file, empty
  EXPECT_EQ(file_mode(path("out.hex")), mode_t(0777));
}

// A chain of 100,000,000 bits, end to end, exact.  On the wire a recycled
// shift costs a round trip per bit, so there the zeros go in instead, and
// the chain is a tenth as long.
TEST_F(ScanDump, HundredMillionBitChain) {
  const bool wire = over_wire();
  const std::string length = wire ? "10000000" : "100000000";
  const size_t digits = wire ? 2500000 : 25000000;
  sim({"set", "cpu0.chain.01.length=" + length});
  const std::string before = chain("cpu0.chain.01");
  ASSERT_EQ(before.size(), digits);
  EXPECT_TRUE(dump("JTAG_ScanDump", Lines{"01", length, "big.hex", "-a"} + (wire ? Lines{} : Lines{"-r"})) == before);
  EXPECT_TRUE(chain("cpu0.chain.01") == (wire ? std::string(digits, '0') : before));
}

}  // namespace
