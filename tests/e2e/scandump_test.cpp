// The raw shifts and the scan dumps: options, operations, files, and the board's scan chains.
#include "board_view.h"

namespace {

using namespace e2e;

class RawShift : public FreshBoardTest {};

// On a fresh board the data register is processor 0's IDCODE, 0x0bc0e06b.  A pattern file gives
// (length + 3) / 4 characters of its first line, its line end kept when the line is shorter.
TEST_F(RawShift, ShiftAndIRPathCommandLines) {
  write_file(path("in.txt"), "abcdef\nffff\n");
  write_file(path("short.txt"), "ab\n123\n");
  const std::string usage =
      "JTAG_Shift: ERROR, Pattern/Length not specified !\nJTAG_Shift <pattern|-f=input file> <Length>\n\tOptional: "
      "-r[ecycle] : set TDI=TDO\n\t         -p[ad]=[0|1]: pad character (default 0)\n\t         -w[ait]     : enable "
      "wait for sentinel bit\n\t         -d[=<num>] (debug [=level])\n\t         -h (help)\n\n\t         -a "
      "(accelerate using FPGA accelerator)\n\n\t         -o=<output file>\n\n";
  const std::string debug = "JTAG_Shift: Shifting = abcde (17 shifts) \nJTAG_Shift: Data Out is : 0e06b\n0e06b\n";
  const Lines every = {"JTAG_Select_DR", shift_op("a3", 8, 1, 1, "1", 1)};  // each setting as given
  check("JTAG_Shift",
        {{{"-d", "-f=in.txt", "17"}, 0, debug, dr_op("abcde", 17)},
         {{"a3", "32", "-f=short.txt", "16"}, 0, "e06b\n", dr_op("ab\\n", 16)},  // after -f= a word is a length
         {{"a3", "8", "-p=1", "-p", "-w", "-r", "-a", "-q"}, 0, "6b\n", every},
         {{"a3", "-3"}, 0, "\n", dr_op("a3", -3)},  // nothing is shifted
         {{"-h", "a3"}, 0, usage, {}},
         {{"-r", "-f=in.txt", "8"}, 1, usage, {}}});
  // -o= truncates the file and gives it mode 0777 whatever it had and the umask; it is opened
  // before the input file, so a missing one leaves it empty.
  write_file(path("out.txt"), "old contents");
  std::filesystem::permissions(path("out.txt"), std::filesystem::perms(0640));
  const std::string absent = "JTAG_Shift: ERROR, Could not open file absent.txt for reading\n";
  play("JTAG_Shift", {{{}, {"a3", "8", "-o=out.txt"}, "", {{"file out.txt", "6b"}, {"mode out.txt", "777"}}},
                      {{}, {"-o=out.txt", "-f=absent.txt", "8"}, absent, {{"file out.txt", ""}}, 1}});
  // Through a 16-bit chain: a recycle of n + 1 bits shows it after the pattern's first bit and
  // leaves it; n bits move it on by the bit fed in; a short pattern is padded with '1' as asked.
  const Lines seed = {"cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05",
                      "cpu0.scan_access=1",      "cpu0.ir=0x80",         "cpu0.tap=Run-Test/Idle"};
  const auto shift = [&](const Lines &args, const std::string &out, const std::string &left) {
    return Scenario{seed, args, out, {{"chain cpu0.chain.05", left}}};
  };
  play("JTAG_Shift", {shift({"0", "17", "-r"}, "01234\n", "1234"), shift({"0", "16", "-r", "-a"}, "1234\n", "2468"),
                      shift({"3", "16", "-p=1"}, "1234\n", "fff3")});
  // IRPath shifts the instruction register (which captures ...01) and leaves it loaded in
  // Run-Test/Idle; JTAG_Shift's own options mean nothing to it.
  const std::string ir_debug = "JTAG_IRPath: Shifting 3d (8 shifts)\nJTAG_IRPath: Data Out is :01\n";
  const Lines ops = {"JTAG_Select_IR", shift_op("3d", 8, 0, 1, "1")};
  play("JTAG_IRPath",
       {{{}, {"-d", "3d", "8", "-p=1", "-w", "-a"}, ir_debug, {{"tap cpu0", "Run-Test/Idle, IR 0x3d"}}, 0, "", ops}});
}

class ScanDump : public FreshBoardTest {
 protected:
  std::string dump(const std::string &command, const Lines &args) {  // a dump that must succeed: its file
    EXPECT_EQ(run(command, args).status, 0) << command << " " << ::testing::PrintToString(args);
    for (const std::string &a : args)
      if (a.ends_with(".hex")) return file(a);  // the first .hex named is the output
    return "";
  }
};

// Every dump's operations in order (-r shifts one bit more), its usage on -h, and a missing input
// file: opened after the output file, which is left empty with mode 0777.
TEST_F(ScanDump, CommandLinesAndOperationsOfEveryDump) {
  write_file(path("in.txt"), "12345\n");
  const auto chain = [](const std::string &selector, const std::string &shift) {
    return ir_op("88") + ir_op("81") + dr_op(selector, 6) + ir_op("80") +
           Lines{"JTAG_Select_DR", shift, "JTAG_Select_IR"};
  };
  const Lines vnx = ir_op("3D", 6) + ir_op("0A", 6) + dr_op("01e0", 16) + ir_op("3E", 6) + Lines{"JTAG_Select_DR"};
  const std::tuple<std::string, Lines, Lines> dumps[] = {
      {"JTAG_ScanDump", {"3f", "20", "out.hex", "-r", "-a"}, chain("3f", shift_op("0", 21, 1, 0, "0", 1))},
      {"JTAG_ScanDR_Path", {"3f", "20", "out.hex", "-r"}, {"JTAG_SetTms 0", internal_op("0", 21, 1, 1)}},
      {"JTAG_CapDR_To_Exit1DR", {"3f", "20", "out.hex", "-f=in.txt", "-a"}, {internal_op("12345", 20, 0, 2, 1)}},
      {"JTAG_VnxScanDump", {"20", "out.hex", "-r"}, vnx + Lines{shift_op("0", 21, 1)}}};
  for (const auto &[c, args, ops] : dumps) {
    const Lines g(args.begin(), args.begin() + (c == "JTAG_VnxScanDump" ? 2 : 3));
    const std::string usage =
        c + (g.size() == 2 ? "" : " <chainsel>") + " <length> <outfile> -f=<infile> [-r] [-d=<level>] [-h]\n\n";
    const std::string absent = c + ": ERROR, Could not open file absent.txt for reading\n";
    play(c,
         {{{}, args, "", {}, 0, "", ops},
          {{}, g + Lines{"-h"}, usage, {}, 0, "", Lines{}},
          {{}, g + Lines{"-f=absent.txt"}, absent, {{"file out.hex", ""}, {"mode out.hex", "777"}}, 1, "", Lines{}}});
  }
  const std::string debug =
      "JTAG_ScanDump: Starting Scandump of chainsel=0c (20) to file out.hex \nInchain = 12345 \n"
      "Setting up for Scan Dump\nStarting  Scan Dump (20)\n";
  const Lines last = {"1", "9", "a.hex", "-d", "0c", "20", "out.hex", "-f=in.txt"};  // the last group wins
  check("JTAG_ScanDump", {{last, 0, debug, chain("0c", shift_op("12345", 20))}});
  // JTAG_MacroDump: a four-word group, the register in force, then its TCK pulses.
  const std::string bad =
      "JTAG_MacroDump: ERROR, Length/File/Clocks not specified !\n"
      "JTAG_MacroDump <length> <outfile> <clocks> <infile> [-d=<level>] [-h]\n\n";
  const Lines macro = Lines{"JTAG_Select_DR", shift_op("12345", 20, 0, 0, "0", 1)} + clocks_op(2);
  check("JTAG_MacroDump", {{{"20", "out.hex", "2", "in.txt", "-a", "-r"}, 0, "", macro},
                           {{"20", "out.hex", "-1", "in.txt"}, 1, bad, {}}});
}

// The chain is the flip-flops: -r leaves them, a pattern loaded shows next time, zeros shifted in
// stay, and the board keeps each chain between runs.  Without
// instruction 0x88 no chain is reachable (0x80 acts as BYPASS); the dumps that select no chain
// shift what the last instruction selected, from where the TAP was left.
TEST_F(ScanDump, ChainsThroughTheDumps) {
  sim({"set", "cpu0.chain.0c.length=40"});
  sim({"set", "cpu0.chain.0c=0x12345abcde"});
  write_file(path("p.txt"), "fedcba9876\n");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "r.hex", "-r", "-a"}), "12345abcde");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "z.hex", "-f=p.txt"}), "12345abcde");
  EXPECT_EQ(dump("JTAG_ScanDump", {"0c", "40", "p.hex"}), "fedcba9876");
  EXPECT_EQ(chain("cpu0.chain.0c"), "0000000000");
  write_file(path("p.txt"), "abcd\n");
  write_file(path("in.hex"), "beef\n");
  sim({"set", "cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05", "cpu0.ir=0x80",
       "cpu0.scan_access=0", "cpu0.tap=Select-DR-Scan"});
  EXPECT_EQ(dump("JTAG_ScanDR_Path", {"05", "16", "b.hex", "-f=p.txt"}), "579a");  // 0xabcd << 1, 16 bits
  sim({"set", "cpu0.scan_access=1", "cpu0.tap=Capture-DR"});
  EXPECT_EQ(dump("JTAG_CapDR_To_Exit1DR", {"05", "16", "cap.hex", "-f=p.txt"}), "1234");
  EXPECT_EQ(tap("cpu0") + " " + chain("cpu0.chain.05"), "Exit1-DR, IR 0x80 abcd");
  sim({"set", "cpu0.tap=Run-Test/Idle"});  // JTAG_MacroDump: from Run-Test/Idle and back
  EXPECT_EQ(dump("JTAG_MacroDump", {"16", "out.hex", "4", "in.hex"}), "abcd");
  EXPECT_EQ(tap("cpu0") + " " + chain("cpu0.chain.05"), "Run-Test/Idle, IR 0x80 beef");
}

// The Vornex chain moves on between captures while its clock runs, and holds once stopped.  -a on
// JTAG_ScanDR_Path switches the board's accelerator on before TMS is driven and off after the
// shift; either failure is one line on standard error and leaves the output file empty.
TEST_F(ScanDump, VornexClockAndTheAccelerator) {
  JTAGBOX_SIM_ONLY();  // the clock and the accelerator are the in-process board's
  ASSERT_EQ(run("JTAG_VNXSelect", {"1"}).status, 0);
  const std::string a = dump("JTAG_VnxScanDump", {"3250", "a.hex", "-r"});
  EXPECT_EQ(a.size(), 813u);
  EXPECT_NE(dump("JTAG_VnxScanDump", {"3250", "b.hex", "-r"}), a);
  ASSERT_EQ(run("JTAG_VnxClockStop").status, 0);
  const std::string c = dump("JTAG_VnxScanDump", {"3250", "c.hex", "-r", "-a"});
  EXPECT_EQ(dump("JTAG_VnxScanDump", {"3250", "d.hex", "-r"}), c);
  EXPECT_EQ(c, chain("vnx1.chain"));
  const Lines ok = {"jtag_pelustr_fpga_accelerate 1", "JTAG_SetTms 0", internal_op("0", 20, 0, 1),
                    "jtag_pelustr_fpga_accelerate 0"};
  const Lines args = {"-a", "0c", "20", "out.hex"};
  const std::vector<std::pair<std::string, std::string>> empty = {{"file out.hex", ""}, {"mode out.hex", "777"}};
  play("JTAG_ScanDR_Path",
       {{{"accel_on_fail=1"}, args, "", empty, 1, "can't activate the scan dump accelerator\n", Lines{ok[0]}},
        {{"accel_off_fail=1"}, args, "", empty, 1, "can't de-activate the scan dump accelerator\n", ok}});
}

}  // namespace
