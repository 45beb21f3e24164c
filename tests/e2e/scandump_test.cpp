// The scan dumps: the option rules they share, the exact platform operations
// of each, the files, and round trips through the board's scan chains.
#include "board_view.h"

namespace {

using namespace e2e;

class ScanDump : public FreshBoardTest {
 protected:
  std::string dump(const std::string &command, const Lines &args) {  // a dump that must succeed: its file
    EXPECT_EQ(run(command, args).status, 0) << command << " " << ::testing::PrintToString(args);
    for (const std::string &a : args)
      if (a.ends_with(".hex")) return file(a);  // the first .hex named is the output
    return "";
  }
};

// Each dump's usage on -h, and a missing input file: opened after the output file, which is left
// empty with mode 0777, and nothing reaches the platform.
TEST_F(ScanDump, ArgumentErrorsOfEveryDump) {
  for (const std::string c : {"JTAG_ScanDump", "JTAG_ScanDR_Path", "JTAG_CapDR_To_Exit1DR", "JTAG_VnxScanDump"}) {
    const bool vnx = c == "JTAG_VnxScanDump";
    const Lines g = vnx ? Lines{"20", "out.hex"} : Lines{"0c", "20", "out.hex"};
    const std::string usage =
        c + (vnx ? "" : " <chainsel>") + " <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n\n";
    const std::string absent = c + ": ERROR, Could not open file absent.txt for reading\n";
    const std::vector<std::pair<std::string, std::string>> empty = {{"file out.hex", ""}, {"mode out.hex", "777"}};
    play(c, {{{}, g + Lines{"-h"}, usage, {}, 0, "", Lines{}},
             {{}, g + Lines{"-f=absent.txt"}, absent, empty, 1, "", Lines{}}});
  }
}

// The platform operations of each dump, in order and with their arguments; -r shifts one bit more.
TEST_F(ScanDump, OperationsOfEachDump) {
  write_file(path("in.txt"), "12345\n");
  const auto setup = [](const std::string &chain, const std::string &shift) {
    return ir_op("88") + ir_op("81") + dr_op(chain, 6) + ir_op("80") + Lines{"JTAG_Select_DR", shift, "JTAG_Select_IR"};
  };
  const Lines vnx = ir_op("3D", 6) + ir_op("0A", 6) + dr_op("01e0", 16) + ir_op("3E", 6) + Lines{"JTAG_Select_DR"};
  const std::string debug =
      "JTAG_ScanDump: Starting Scandump of chainsel=0c (20) to file out.hex \nInchain = 12345 \n"
      "Setting up for Scan Dump\nStarting  Scan Dump (20)\n";
  const Lines last = {"1", "9", "a.hex", "-d", "0c", "20", "out.hex", "-f=in.txt"};  // the last group wins
  check("JTAG_ScanDump", {{last, 0, debug, setup("0c", shift_op("12345", 20))},
                          {{"3f", "20", "out.hex", "-r", "-a"}, 0, "", setup("3f", shift_op("0", 21, 1, 0, "0", 1))}});
  check("JTAG_ScanDR_Path", {{{"3f", "20", "out.hex", "-r"}, 0, "", {"JTAG_SetTms 0", internal_op("0", 21, 1, 1)}}});
  check("JTAG_CapDR_To_Exit1DR",
        {{{"0c", "20", "out.hex", "-f=in.txt", "-a"}, 0, "", {internal_op("12345", 20, 0, 2, 1)}}});
  check("JTAG_VnxScanDump", {{{"20", "out.hex", "-r"}, 0, "", vnx + Lines{shift_op("0", 21, 1)}}});
}

// -a on JTAG_ScanDR_Path switches the board's scan-dump accelerator on before TMS is driven and off
// after the shift; either failure is one line on standard error and an empty output file.
TEST_F(ScanDump, ScanDRPathAccelerator) {
  JTAGBOX_SIM_ONLY();
  const std::string on = "jtag_pelustr_fpga_accelerate 1";
  const Lines ok = {on, "JTAG_SetTms 0", internal_op("0", 20, 0, 1), "jtag_pelustr_fpga_accelerate 0"};
  const Lines seed = {"cpu0.tap=Select-DR-Scan", "cpu0.scan_access=1",      "cpu0.ir=0x80",
                      "cpu0.chain_select=0x0c",  "cpu0.chain.0c.length=20", "cpu0.chain.0c=0xabcde"};
  for (const auto &[fault, text, err, ops] : std::vector<std::tuple<std::string, std::string, std::string, Lines>>{
           {"tms=1", "abcde", "", ok},
           {"accel_on_fail=1", "", "can't activate the scan dump accelerator\n", {on}},
           {"accel_off_fail=1", "", "can't de-activate the scan dump accelerator\n", ok}})
    play("JTAG_ScanDR_Path", {{seed + Lines{fault},
                               {"-a", "0c", "20", "out.hex"},
                               "",
                               {{"file out.hex", text}, {"mode out.hex", "777"}},
                               err.empty() ? 0 : 1,
                               err,
                               ops}});
}

// The chain is the flip-flops: -r leaves them, a pattern loaded shows next time, zeros shifted in
// stay, and the board keeps each chain between runs (a new length powers it up afresh).
TEST_F(ScanDump, ProcessorChainRoundTrips) {
  sim({"set", "cpu0.chain.0c.length=40"});
  const std::string power_up = chain("cpu0.chain.0c");
  sim({"set", "cpu0.chain.0c=0x12345abcde"});
  write_file(path("p.txt"), "fedcba9876\n");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "r.hex", "-r", "-a"}), "12345abcde");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "z.hex", "-f=p.txt"}), "12345abcde");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "p.hex"}), "fedcba9876");
  EXPECT_EQ(chain("cpu0.chain.0c"), "0000000000");
  sim({"set", "cpu0.chain.0c.length=48"});
  sim({"set", "cpu0.chain.0c.length=40"});
  EXPECT_EQ(chain("cpu0.chain.0c"), power_up);
  EXPECT_EQ(dump("JTAG_ScanDump", {"0d", "1481", "d.hex", "-r"}), chain("cpu0.chain.0d"));
  EXPECT_EQ(file("d.hex").size(), 371u);
}

// Without instruction 0x88 no chain is reachable (0x80 acts as BYPASS); the dumps that select no
// chain shift what the last instruction selected, from where the TAP was left.
TEST_F(ScanDump, DumpsOfTheDataRegisterInForce) {
  write_file(path("p.txt"), "abcd\n");
  write_file(path("in.hex"), "beef\n");
  sim({"set", "cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05", "cpu0.ir=0x80",
       "cpu0.tap=Select-DR-Scan"});
  EXPECT_EQ(dump("JTAG_ScanDR_Path", {"05", "16", "b.hex", "-f=p.txt"}), "579a");  // 0xabcd << 1, 16 bits
  sim({"set", "cpu0.scan_access=1", "cpu0.tap=Capture-DR"});
  EXPECT_EQ(dump("JTAG_CapDR_To_Exit1DR", {"05", "16", "cap.hex", "-f=p.txt"}), "1234");
  EXPECT_EQ(tap("cpu0") + " " + chain("cpu0.chain.05"), "Exit1-DR, IR 0x80 abcd");
  sim({"set", "cpu0.tap=Run-Test/Idle"});  // JTAG_MacroDump: from Run-Test/Idle and back
  EXPECT_EQ(dump("JTAG_MacroDump", {"16", "out.hex", "4", "in.hex"}), "abcd");
  EXPECT_EQ(tap("cpu0") + " " + chain("cpu0.chain.05"), "Run-Test/Idle, IR 0x80 beef");
}

// The Vornex chain moves on between captures while its clock runs, and holds once stopped.
TEST_F(ScanDump, VornexChainAndItsClock) {
  JTAGBOX_SIM_ONLY();
  ASSERT_EQ(run("JTAG_VNXSelect", {"1"}).status, 0);
  const std::string a = dump("JTAG_VnxScanDump", {"3250", "a.hex", "-r"});
  EXPECT_EQ(a.size(), 813u);
  EXPECT_NE(dump("JTAG_VnxScanDump", {"3250", "b.hex", "-r"}), a);
  ASSERT_EQ(run("JTAG_VnxClockStop").status, 0);
  const std::string c = dump("JTAG_VnxScanDump", {"3250", "c.hex", "-r", "-a"});
  EXPECT_EQ(dump("JTAG_VnxScanDump", {"3250", "d.hex", "-r"}), c);
  EXPECT_EQ(c, chain("vnx1.chain"));
}

// JTAG_MacroDump: its four-word group, its message, and the TCK pulses after the dump.
TEST_F(ScanDump, MacroDumpArguments) {
  write_file(path("in.hex"), "0123456789abcdef01234567\n");
  const std::string p = "0123456789abcdef0123456";  // (90 + 3) / 4 characters
  const std::string debug =
      "JTAG_MacroDump: Starting MacroDump of (90 bits) to file out.hex  followed by 2 TCK\n"
      "Inchain = " +
      p + " \nStarting  Macro Dump (90)\nCycling TCK in RTI ..\n";
  const std::string bad =
      "JTAG_MacroDump: ERROR, Length/File/Clocks not specified !\n"
      "JTAG_MacroDump <length> <outfile> <clocks> <infile> [-d=<level>] [-h]\n\n";
  const Lines ops = Lines{"JTAG_Select_DR", shift_op(p, 90, 0, 0, "0", 1)} + clocks_op(2);
  check("JTAG_MacroDump", {{{"-d", "90", "out.hex", "2", "in.hex", "-a", "-r"}, 0, debug, ops},
                           {{"90", "out.hex", "-1", "in.hex"}, 1, bad, {}}});
}

// A chain of 100,000,000 bits, end to end, exact.  On the wire a recycled shift costs a round trip
// per bit, so there zeros go in instead, and the chain is a tenth as long.
TEST_F(ScanDump, HundredMillionBitChain) {
  const bool wire = over_wire();
  const std::string length = wire ? "10000000" : "100000000";
  sim({"set", "cpu0.chain.01.length=" + length});
  const std::string before = chain("cpu0.chain.01");
  ASSERT_EQ(before.size(), wire ? 2500000u : 25000000u);
  EXPECT_TRUE(dump("JTAG_ScanDump", Lines{"01", length, "big.hex", "-a"} + (wire ? Lines{} : Lines{"-r"})) == before);
  EXPECT_TRUE(chain("cpu0.chain.01") == (wire ? std::string(before.size(), '0') : before));
}

}  // namespace
