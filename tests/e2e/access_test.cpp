// Control-register and L2 memory access, end to end through the simulated processors.
#include "board_view.h"

namespace {

using namespace e2e;

class Access : public FreshBoardTest {};

// The operations exactly (the last address given counts; an L2 access word has its direction in
// bits 64..57, its address in 56..1, a data word its value in 64..1); refusals come first.
TEST_F(Access, CommandLines) {
  const Lines creg = ir_op("08") + dr_op("10", 40) + ir_op("0d") + clocks_op(11) + ir_op("0a") + dr_op("0", 64, 1);
  const Lines write = ir_op("58") + dr_op("10400000000000200", 65) + ir_op("59") + dr_op("1fffffffffffffffe", 65) +
                      ir_op("5a") + clocks_op(129);
  const std::string read = "JTAG_ReadCreg: Reading CREG 10\nJTAG_ReadCreg: Data for CREG (Addr=10) is :";
  const std::string written =
      "JTAG_WriteMem: Writing L2 @ 0x0100 (1)\nJTAG_WriteMem: Writing L2 ffffffffffffffff @ 0x100\n";
  check("JTAG_ReadCreg", {{{"-d", "11", "10", "-m=0f"}, 0, read + "c000000000000010\n", creg}});
  check("JTAG_WriteMem", {{{"-d", "0100", "4", "-x=ffffffffffffffff"}, 0, written, write}});
  write_file(path("blanks"), "1" + std::string(4097, ' ') + "2");
  clear_trace();
  for (const auto &[args, err] : std::vector<std::pair<Lines, std::string>>{
           {{"100000000000000", "1", "-x=1"}, "L2 address 0x100000000000000 is beyond the 56-bit address field"},
           {{"100", "1", "-x=11112222333344445"}, "Data 11112222333344445 has more than 64 bits (16 hex digits)"},
           {{"100", "2", "-f=blanks"}, "file blanks has more than 4096 characters of white space before word 2"}}) {
    const Result r = run("JTAG_WriteMem", args);
    EXPECT_EQ(r.err + std::to_string(r.status), "JTAG_WriteMem: ERROR, " + err + "; nothing written\n1");
  }
  const Result r = run("JTAG_WriteCreg", {"10", "20", "30"});  // the last pair lacks its data
  EXPECT_EQ(r.out + std::to_string(r.status),
            "JTAG_WriteCreg: ERROR, data not specified !\nJTAG_WriteCreg <addr> <data> [-d=<level>] [-h]\n\n1");
  EXPECT_EQ(trace(), Lines{});
}

// A write strobe needs all eleven TCKs, even given by hand over two runs; all 64 bits written are
// read back; each processor has its own registers and power-up pattern.
TEST_F(Access, RoundTripsThroughTheBoard) {
  run("JTAG_ReadCreg", {"10"});  // leaves 0x10 in the address latch
  for (const auto &[command, arg] : std::vector<std::pair<std::string, std::string>>{
           {"JTAG_LoadIR", "09"}, {"JTAG_LoadDR", "ab"}, {"JTAG_LoadIR", "0c"}, {"JTAG_Tck", "10"}})
    run(command, {arg});  // 8 bits into the 64-bit write data, captured 0
  EXPECT_EQ(get("cpu0.creg.0x10"), "0xc000000000000010") << "not written yet";
  run("JTAG_Tck", {"1"});
  EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out, "ab00000000000000\n");
  run("JTAG_WriteCreg", {"ff00000001", "fedcba9876543210"});
  EXPECT_EQ(run("JTAG_ReadCreg", {"ff00000001"}).out + get("cpu0.creg.0xff00000001"),
            "fedcba9876543210\n0xfedcba9876543210");
  sim({"set", "scan_mode=0x04", "cpu2.creg.0x20=0x55"});
  EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out + run("JTAG_ReadCreg", {"20"}).out,
            "c200000000000010\n0000000000000055\n");
  // A file gives its first words whatever white space separates them; a read run prints each
  // word and saves it as "%s " (mode 0777), and the saved file written back gives the same words.
  write_file(path("in"), "\n 123456789abcdef0\t\tffffffffffffffff \n\n 5a 1 2");
  const std::string words = "123456789abcdef0\nffffffffffffffff\n000000000000005a\n";
  run("JTAG_WriteMem", {"2000", "3", "-f=in"});
  EXPECT_EQ(run("JTAG_ReadMem", {"2000", "3", "-f=out"}).out, words);
  EXPECT_EQ(file("out"), "123456789abcdef0 ffffffffffffffff 000000000000005a ");
  EXPECT_EQ(file_mode(path("out")), 0777u);
  run("JTAG_WriteMem", {"3000", "3", "-f=out"});
  EXPECT_EQ(run("JTAG_ReadMem", {"3000", "3"}).out + get("cpu2.l2.0x3010"), words + "0x000000000000005a");
}

}  // namespace
