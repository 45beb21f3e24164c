// Control-register and L2 memory access: the command lines, the exact TAP
// operations, the files, and round trips through the simulated processors.
#include "board_view.h"

namespace {

using namespace e2e;

class Access : public FreshBoardTest {
 protected:
  std::string ok(const std::string &command, const Lines &args) {  // a run that must succeed: its output
    const Result r = run(command, args);
    EXPECT_EQ(r.status, 0) << command << " " << ::testing::PrintToString(args);
    return r.out;
  }
};

// The operations exactly (the last address given counts; an L2 run steps by 8; an access word has
// its direction in bits 64..57, its address in 56..1), and refusals before the first access.
TEST_F(Access, CommandLines) {
  const Lines creg = ir_op("08") + dr_op("10", 40) + ir_op("0d") + clocks_op(11) + ir_op("0a") + dr_op("0", 64, 1);
  const auto l2 = [](const std::string &address) {  // the read access word, the address doubled
    return ir_op("58") + dr_op("10200000000000" + address, 65) + ir_op("5b") + clocks_op(65) + dr_op("0", 64, 3);
  };
  const Lines write = ir_op("58") + dr_op("10400000000000200", 65) + ir_op("59") + dr_op("1fffffffffffffffe", 65) +
                      ir_op("5a") + clocks_op(129);
  const std::string read =
      "JTAG_ReadCreg: Reading CREG 10\nJTAG_ReadCreg: Data for CREG (Addr=10) is :c000000000000010\n";
  const std::string no_data =
      "JTAG_WriteCreg: ERROR, data not specified !\nJTAG_WriteCreg <addr> <data> [-d=<level>] [-h]\n\n";
  const std::string written =
      "JTAG_WriteMem: Writing L2 @ 0x0100 (1)\nJTAG_WriteMem: Writing L2 ffffffffffffffff @ 0x100\n";
  check("JTAG_ReadCreg", {{{"-d", "11", "10", "-m=0f"}, 0, read, creg}});
  check("JTAG_WriteCreg", {{{"10", "20", "30"}, 1, no_data, {}}});  // the last pair lacks its data
  check("JTAG_ReadMem", {{{"101", "2"}, 0, "a000000000000100\na000000000000108\n", l2("202") + l2("212")}});
  check("JTAG_WriteMem", {{{"-d", "0100", "4", "-x=ffffffffffffffff"}, 0, written, write}});
  write_file(path("blanks"), "1" + std::string(4097, ' ') + "2");
  clear_trace();
  for (const auto &[args, err] : std::vector<std::pair<Lines, std::string>>{
           {{"100000000000000", "1", "-x=1"}, "L2 address 0x100000000000000 is beyond the 56-bit address field"},
           {{"100", "1", "-x=11112222333344445"}, "Data 11112222333344445 has more than 64 bits (16 hex digits)"},
           {{"100", "2", "-f=blanks"}, "file blanks has more than 4096 characters of white space before word 2"}}) {
    const Result r = run("JTAG_WriteMem", args);
    EXPECT_EQ(std::tie(r.status, r.out, r.err),
              std::make_tuple(1, "", "JTAG_WriteMem: ERROR, " + err + "; nothing written\n"));
  }
  EXPECT_EQ(trace(), Lines{});
}

// All 64 bits written are read back; each processor has its own registers and power-up pattern;
// a write strobe needs all eleven TCKs, even given by hand over two runs.
TEST_F(Access, CregRoundTripsThroughTheBoard) {
  ok("JTAG_ReadCreg", {"10"});  // leaves 0x10 in the address latch
  ok("JTAG_LoadIR", {"09"});
  ok("JTAG_LoadDR", {"ab"});  // 8 bits into the 64-bit data (captured 0)
  ok("JTAG_LoadIR", {"0c"});
  ok("JTAG_Tck", {"10"});
  EXPECT_EQ(get("cpu0.creg.0x10"), "0xc000000000000010") << "not written yet";
  ok("JTAG_Tck", {"1"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "ab00000000000000\n");
  ok("JTAG_WriteCreg", {"ff00000001", "fedcba9876543210"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"ff00000001"}) + get("cpu0.creg.0xff00000001"),
            "fedcba9876543210\n0xfedcba9876543210");
  sim({"set", "scan_mode=0x04", "cpu2.creg.0x20=0x55"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}) + ok("JTAG_ReadCreg", {"20"}), "c200000000000010\n0000000000000055\n");
}

// A file gives its first words whatever white space separates them; a read run prints each word
// and saves it as "%s " (mode 0777), and the saved file written back gives the same words.
TEST_F(Access, AReadRunSavesWhatAWriteRunWroteAndCanBeWrittenBack) {
  write_file(path("in"), "\n 123456789abcdef0\t\tffffffffffffffff \n\n 5a 1 2");
  const std::string words = "123456789abcdef0\nffffffffffffffff\n000000000000005a\n";
  ok("JTAG_WriteMem", {"2000", "3", "-f=in"});
  EXPECT_EQ(ok("JTAG_ReadMem", {"2000", "3", "-f=out"}), words);
  EXPECT_EQ(file("out"), "123456789abcdef0 ffffffffffffffff 000000000000005a ");
  EXPECT_EQ(file_mode(path("out")), 0777u);
  ok("JTAG_WriteMem", {"3000", "3", "-f=out"});
  EXPECT_EQ(ok("JTAG_ReadMem", {"3000", "3"}) + get("cpu0.l2.0x3010"), words + "0x000000000000005a");
}

}  // namespace
