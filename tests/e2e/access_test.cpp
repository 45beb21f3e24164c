// Control-register and L2 memory access: the command lines, the exact TAP
// operations, the files, and round trips through the simulated processors.
#include <cstdio>

#include "board_view.h"

namespace {

using namespace e2e;

// bin2hex of the 65-bit word whose bits 64..57 are `top8` and 56..1 the
// address (the access word), or whose bits 64..1 are the value (data word).
std::string word65(uint64_t top8, uint64_t field, unsigned field_bits) {
  const uint64_t low = (field_bits == 56 ? (top8 << 57) : 0) | (field << 1);
  const unsigned bit64 = field_bits == 56 ? unsigned(top8 >> 7) : unsigned(field >> 63);
  char text[24];
  std::snprintf(text, sizeof text, "%x%016llx", bit64, static_cast<unsigned long long>(low));
  return text;
}

Lines creg_read(const std::string &address) {
  return ir_op("08") + dr_op(address, 40) + ir_op("0d") + clocks_op(11) + ir_op("0a") + dr_op("0", 64, 1);
}
Lines creg_write(const std::string &address, const std::string &value) {
  return ir_op("08") + dr_op(address, 40) + ir_op("09") + dr_op(value, 64) + ir_op("0c") + clocks_op(11);
}
Lines l2_read(uint64_t address) {
  return ir_op("58") + dr_op(word65(0x81, address, 56), 65) + ir_op("5b") + clocks_op(65) + dr_op("0", 64, 3);
}
Lines l2_write(uint64_t address, uint64_t value) {
  return ir_op("58") + dr_op(word65(0x82, address, 56), 65) + ir_op("59") + dr_op(word65(0, value, 64), 65) +
         ir_op("5a") + clocks_op(129);
}

std::string hex16(uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}
// What the board shows for a written register or word.
std::string shown(const std::string &kind, const std::string &address, uint64_t value) {
  return "    " + kind + " " + address + " = 0x" + hex16(value) + "\n";
}

class Access : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    write_file(path("in"), "11 22 33 44");
    write_file(path("blank"), "\n a\t\tb \n\n c\n");
    write_file(path("short"), "1 2");
    write_file(path("wide"), "1 11112222333344445 3");
    write_file(path("long"), "1 2 0000000000000000000000000000000012");
    write_file(path("blanks"), "1" + std::string(4097, ' ') + "2");
    write_file(path("spaced"), "1" + std::string(4096, '\n') + "2");
  }
  // Runs a command that must succeed and returns its standard output.
  std::string ok(const std::string &command, const Lines &args) {
    const Result r = run(command, args);
    EXPECT_EQ(r.status, 0) << command << " " << ::testing::PrintToString(args) << ": " << r.out << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  }
};

// ---------------------------------------------------------------- CREG ----

TEST_F(Access, CregArgumentErrorsAndHelp) {
  const std::string help = "JTAG_ReadCreg <addr> [-d=<level>] [-h] [-m=<bytemask>]\n\n";
  const std::string no_address = "JTAG_ReadCreg: ERROR, Address not specified !\n";
  const std::string short_usage = no_address + "JTAG_ReadCreg <address> [-d=<level>] [-h]\n\n";
  check("JTAG_ReadCreg", {
                             {{}, 1, no_address + "JTAG_ReadCreg <address> [-d=<level>] [-h] [-m=<bytemask>]\n\n", {}},
                             {{"-d"}, 1, short_usage, {}},
                             {{"-d=2", "-m=0f", "-x"}, 1, short_usage, {}},
                             {{"10", "-h"}, 0, help, {}},
                             {{"-help"}, 0, help, {}},
                             {{"-h", "10"}, 0, help, {}},
                         });
  const std::string usage = "JTAG_WriteCreg <addr> <data> [-d=<level>] [-h]\n\n";
  const std::string too_few = "JTAG_WriteCreg: ERROR, Address/Data not specified !\n" + usage;
  const std::string no_data = "JTAG_WriteCreg: ERROR, data not specified !\n" + usage;
  check("JTAG_WriteCreg", {
                              {{}, 1, too_few, {}},
                              {{"10"}, 1, too_few, {}},
                              {{"-h"}, 1, too_few, {}},
                              {{"-d", "10"}, 1, no_data, {}},
                              {{"-d", "-d=2"}, 1, "JTAG_WriteCreg: ERROR, Address not specified !\n" + usage, {}},
                              // A later pair cut short has no data: reported, not written with the earlier data.
                              {{"10", "20", "30"}, 1, no_data, {}},
                              {{"-h", "10"}, 0, usage, {}},
                              {{"-m=0f", "-help", "10", "20"}, 0, usage, {}},
                          });
}

TEST_F(Access, CregOperationsAreExact) {
  const std::string read10 = "c000000000000010\n";
  check("JTAG_ReadCreg", {
                             {{"10"}, 0, read10, creg_read("10")},
                             {{"10", "-m=0f"}, 0, read10, creg_read("10")},
                             {{"10", "-m", "-x", "-"}, 0, read10, creg_read("10")},
                             {{"10", "20"}, 0, "c000000000000020\n", creg_read("20")},
                             {{"-d", "10"},
                              0,
                              "JTAG_ReadCreg: Reading CREG 10\nJTAG_ReadCreg: Data for CREG (Addr=10) is :" + read10,
                              creg_read("10")},
                         });
  check("JTAG_WriteCreg",
        {
            {{"10", "1234abcd"}, 0, "", creg_write("10", "1234abcd")},
            {{"10", "-d"}, 0, "", creg_write("10", "-d")},  // the data is "-d"; debug stays off
            {{"-d=1", "10", "5", "-m=0f"}, 0, "JTAG_WriteCreg: Writing CREG 10 with 5\n", creg_write("10", "5")},
            {{"10", "20", "30", "40"}, 0, "", creg_write("30", "40")},
        });
}

TEST_F(Access, CregRoundTripsThroughTheBoard) {
  EXPECT_EQ(ok("JTAG_WriteCreg", {"10", "1234abcd"}), "");
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "000000001234abcd\n");
  EXPECT_TRUE(board_shows(shown("creg", "0x10", 0x1234abcd)));
  EXPECT_EQ(ok("JTAG_ReadCreg", {"11"}), "c000000000000011\n");  // a neighbour keeps its power-up pattern
  ok("JTAG_WriteCreg", {"ff00000001", "fedcba9876543210"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"ff00000001"}), "fedcba9876543210\n");
  // What the board holds, seeded behind the tool's back, is what it reads.
  sim({"set", "cpu0.creg.0x20=0x55", "cpu0.creg.0xffffffffff=0x43", "cpu0.l2.0xfffffffffffff8=0x42"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"20"}), "0000000000000055\n");
  EXPECT_EQ(ok("JTAG_ReadCreg", {"ffffffffff"}), "0000000000000043\n");
  EXPECT_EQ(ok("JTAG_ReadMem", {"fffffffffffff8", "1"}), "0000000000000042\n");
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "000000001234abcd\n");
}

// Each processor has its own control registers and L2, with its own
// power-up pattern.
TEST_F(Access, EachProcessorHasItsOwnRegistersAndMemory) {
  const char *cpus[] = {"0x01", "0x03", "0x04", "0x05"};
  for (int pass = 0; pass < 2; ++pass)
    for (int n = 0; n < 4; ++n) {
      sim({"set", std::string("scan_mode=") + cpus[n]});
      const std::string i = std::to_string(n);
      if (pass == 0) {
        EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "c" + i + "00000000000010\n") << n;
        EXPECT_EQ(ok("JTAG_ReadMem", {"100", "1"}), "a" + i + "00000000000100\n") << n;
        ok("JTAG_WriteCreg", {"10", "abc" + i});
        ok("JTAG_WriteMem", {"100", "1", "-x=1" + i});
      } else {
        EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "000000000000abc" + i + "\n") << n;
        EXPECT_EQ(ok("JTAG_ReadMem", {"100", "1"}), "00000000000000" + std::to_string(10 + n) + "\n") << n;
      }
    }
}

// The write strobe needs all eleven TCKs, even when they come from two
// processes.
TEST_F(Access, AWriteStrobeByHandNeedsAllElevenTcksEvenAcrossProcesses) {
  ok("JTAG_ReadCreg", {"10"});  // leaves 0x10 in the address latch
  ok("JTAG_LoadIR", {"09"});
  ok("JTAG_LoadDR", {"ab"});  // 8 bits into the 64-bit write data (captured 0): 0xab << 56
  ok("JTAG_LoadIR", {"0c"});
  ok("JTAG_Tck", {"10"});
  EXPECT_EQ(get("cpu0.creg.0x10"), "0xc000000000000010") << "not written yet";
  ok("JTAG_Tck", {"1"});
  EXPECT_EQ(get("cpu0.creg.0x10"), "0xab00000000000000");
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "ab00000000000000\n");
}

// ------------------------------------------------------------------ L2 ----

TEST_F(Access, ReadMemArgumentErrorsAndHelp) {
  const std::string usage = "JTAG_ReadMem <address> <length> [-f=<file>] [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_ReadMem: ERROR, Address/Length not specified !\n" + usage;
  const std::string bad_address = "JTAG_ReadMem: ERROR, Address not valid!\n" + usage;
  const std::string no_name = "JTAG_ReadMe): ERROR File Name not specified\n" + usage;
  const std::string beyond = "JTAG_ReadMem: ERROR, L2 address 0x";
  const std::string nothing = " is beyond the 56-bit address field; nothing read\n";
  check("JTAG_ReadMem", {
                            {{}, 1, missing, {}},
                            {{"100"}, 1, missing, {}},
                            {{"-h"}, 1, missing, {}},
                            {{"100", "0"}, 1, missing, {}},
                            {{"100", "abc"}, 1, missing, {}},
                            {{"1000", "-d"}, 1, missing, {}},
                            {{"-d", "-f=out"}, 1, missing, {}},
                            {{"100", "2", "-f"}, 1, no_name, {}},
                            {{"100", "2", "-f="}, 1, no_name, {}},
                            {{"100", "2", "-file"}, 1, no_name, {}},
                            {{"10000000000000000", "1"}, 1, bad_address, {}},  // 17 digits
                            {{"fffffffffffffffff", "1"}, 1, bad_address, {}},
                            {{"100", "2", "-h"}, 0, usage, {}},
                            {{"-h", "100", "2"}, 0, usage, {}},
                            {{"100", "1", "-f=no/such/dir/out"},
                             1,
                             "JTAG_ReadMem: ERROR, Could not open file no/such/dir/out for writing\n",
                             {}},
                            // Beyond the 56-bit field, at the start or within the run.
                            {{"100000000000000", "1"}, 1, "", {}, beyond + "100000000000000" + nothing},
                            {{"fffffffffffff8", "2"}, 1, "", {}, beyond + "100000000000000" + nothing},
                            {{"ffffffffffffffff", "1", "-f=out"}, 1, "", {}, beyond + "ffffffffffffffff" + nothing},
                        });
  EXPECT_FALSE(exists("out")) << "a refused run must not create its file";
}

// The command line and the data file: refused before the first access,
// with one line that says why.
TEST_F(Access, WriteMemArgumentErrorsAndHelp) {
  const std::string full = "JTAG_WriteMem <address> <length> -x=<data>|-f=<file> [-d=<level>] [-h]\n\n";
  const std::string missing = "JTAG_WriteMem: ERROR, Address/Length/data|file not specified !\n";
  const std::string no_name =
      "JTAG_WriteMem): ERROR File Name not specified\n"
      "JTAG_WriteMem <address> <length> -x=data|-f=<file> [-d=<level>] [-h]\n\n";
  const std::string first = missing + "JTAG_WriteMem <address> <length> -x=<data|-f=<file> [-d=<level>] [-h]\n\n";
  const std::string data_spec = "JTAG_WriteMem): ERROR Data spec\n" + full;
  const std::string error = "JTAG_WriteMem: ERROR, ";
  const std::string nothing = "; nothing written\n";
  const std::string beyond = "L2 address 0x100000000000000 is beyond the 56-bit address field" + nothing;
  check(
      "JTAG_WriteMem",
      {
          {{"100", "4"}, 1, first, {}},
          {{"-h", "4"}, 1, first, {}},
          {{"100", "4", "-f"}, 1, no_name, {}},
          {{"100", "4", "-f="}, 1, no_name, {}},
          {{"100", "4", "-x"}, 1, data_spec, {}},
          {{"100", "4", "-xab"}, 1, data_spec, {}},
          {{"100", "4", "-h"}, 0, "JTAG_WriteMem <address> <length> [-f=<file>] [-d=<level>] [-h]\n\n", {}},
          {{"100", "4", "-d"}, 1, missing + full, {}},
          {{"100", "0", "-x=ab"}, 1, missing + full, {}},
          {{"100", "abc", "-x=ab"}, 1, missing + full, {}},
          {{"100", "2", "-x="}, 1, missing + full, {}},
          {{"100", "2", "-x=xab"}, 1, missing + full, {}},
          {{"100", "2", "-f=in", "-x="}, 1, missing + full, {}},
          {{"-x=ab", "-d", "-d"}, 1, missing + full, {}},
          {{"10000000000000000", "1", "-x=ab"}, 1, "JTAG_WriteMem: address not valid!\n" + full, {}},
          {{"100", "4", "-x=ab", "-f=missing"}, 1, error + "Could not open file missing for reading\n", {}},
          {{"100", "4", "-f=missing"}, 1, error + "Could not open file missing for reading\n", {}},
          {{"100", "1", "-x=11112222333344445"},
           1,
           "",
           {},
           error + "Data 11112222333344445 has more than 64 bits (16 hex digits)" + nothing},
          {{"100", "1", "-x=0000000000000000000000000000000012"},
           1,
           "",
           {},
           error + "Data 0000000000000000000000000000000012 is longer than 31 characters" + nothing},
          {{"100000000000000", "1", "-x=1"}, 1, "", {}, error + beyond},
          {{"fffffffffffff8", "2", "-f=in"}, 1, "", {}, error + beyond},
          {{"100", "3", "-f=short"}, 1, "", {}, error + "file short holds 2 words, fewer than the length 3" + nothing},
          {{"100", "3", "-f=wide"},
           1,
           "",
           {},
           error + "word 2 of file wide has more than 64 bits (16 hex digits)" + nothing},
          {{"100", "3", "-f=long"}, 1, "", {}, error + "word 3 of file long is longer than 31 characters" + nothing},
          // Reading stops as soon as the file can hold no word the run could use.
          {{"100", "1", "-f=/dev/zero"},
           1,
           "",
           {},
           error + "word 1 of file /dev/zero is longer than 31 characters" + nothing},
          {{"100", "2", "-f=blanks"},
           1,
           "",
           {},
           error + "file blanks has more than 4096 characters of white space before word 2" + nothing},
      });
}

TEST_F(Access, AccessWordsAndCyclesAreExact) {
  // Spelled out once: the read and write access words at address 0, and a data word.
  EXPECT_EQ(word65(0x81, 0, 56) + word65(0x82, 0, 56) + word65(0, 0xab, 64),
            "10200000000000000"
            "10400000000000000"
            "00000000000000156");
  const std::string two = "a000000000000100\na000000000000108\n";
  write_file(path("out"), "old contents");
  check("JTAG_ReadMem",
        {
            {{"0", "1"}, 0, "a000000000000000\n", l2_read(0)},
            {{"100", "2"}, 0, two, l2_read(0x100) + l2_read(0x108)},
            {{"101", "2"}, 0, two, l2_read(0x101) + l2_read(0x109)},
            {{"fffffffffffff8", "1"}, 0, "a0fffffffffffff8\n", l2_read(0xfffffffffffff8)},
            // "0x" skipped, leading zeros past 64 bits, the first non-hex character ends it.
            {{"0x00000000000000000000010z7", "1"}, 0, "a000000000000010\n", l2_read(0x10)},
            {{"1001", "2", "-d"},
             0,
             "JTAG_ReadMem: Reading L2 @ 0x1001 (2)\n"
             "JTAG_ReadMem: Reading L2 @ 0x1001\nJTAG_ReadMem: Data for L2 Mem (Addr=1001) is :a000000000001000\n"
             "JTAG_ReadMem: Reading L2 @ 0x1009\nJTAG_ReadMem: Data for L2 Mem (Addr=1009) is :a000000000001008\n",
             l2_read(0x1001) + l2_read(0x1009)},
            {{"100", "-3", "-f=out"}, 0, "", {}},  // nothing read, the file emptied
        });
  EXPECT_EQ(file("out"), "");
  EXPECT_EQ(file_mode(path("out")), 0777u);
  check("JTAG_WriteMem", {
                             {{"0", "1", "-x=ab"}, 0, "", l2_write(0, 0xab)},
                             {{"100", "4", "-x=ab"}, 0, "", l2_write(0x100, 0xab)},
                             {{"100", "-2", "-x=ab"}, 0, "", l2_write(0x100, 0xab)},
                             {{"200", "3", "-x=1", "-x="}, 0, "", l2_write(0x200, 1)},
                             {{"200", "1", "-x=ffffffffffffffff"}, 0, "", l2_write(0x200, ~uint64_t{0})},
                             {{"200", "2", "-f=blank"}, 0, "", l2_write(0x200, 0xa) + l2_write(0x208, 0xb)},
                             {{"0100", "4", "-x=ab", "-d"},
                              0,
                              "JTAG_WriteMem: Writing L2 @ 0x0100 (1)\nJTAG_WriteMem: Writing L2 ab @ 0x100\n",
                              l2_write(0x100, 0xab)},
                         });
}

// -x= makes the run one word long; a file named after it is opened but not
// read, one named before it is never opened, and 'x...' is no data.  A file
// gives its first words in order, whatever white space separates them.
TEST_F(Access, WhatAWriteRunWrites) {
  using Words = std::vector<std::pair<std::string, uint64_t>>;
  const auto writes = [](const Lines &args, const Words &words) {
    Scenario s{{},
               args,
               "",
               {{"line   L2 memory:", "  L2 memory: " + std::to_string(words.size()) +
                                          " words written; others read 0xa000000000000000 + address"}}};
    for (const auto &[address, value] : words) s.after.push_back({"get cpu0.l2." + address, "0x" + hex16(value)});
    return s;
  };
  play("JTAG_WriteMem",
       {
           writes({"100", "4", "-x=ab"}, {{"0x100", 0xab}}),
           writes({"100", "1", "-x=1g2"}, {{"0x100", 0x1}}),  // the first non-hex character ends the data
           writes({"100", "4", "-x=ab", "-f=in"}, {{"0x100", 0xab}}),
           writes({"100", "4", "-f=missing", "-x=ab"}, {{"0x100", 0xab}}),
           writes({"100", "2", "-x=ab", "-x="}, {{"0x100", 0xab}}),
           writes({"100", "2", "-x=xab", "-f=in"}, {{"0x100", 0x11}, {"0x108", 0x22}}),
           writes({"100", "4", "-f=in"}, {{"0x100", 0x11}, {"0x108", 0x22}, {"0x110", 0x33}, {"0x118", 0x44}}),
           writes({"100", "2", "-f=missing", "-f=in"}, {{"0x100", 0x11}, {"0x108", 0x22}}),
           writes({"100", "3", "-f=blank"}, {{"0x100", 0xa}, {"0x108", 0xb}, {"0x110", 0xc}}),
           writes({"100", "2", "-f=long"}, {{"0x100", 1}, {"0x108", 2}}),  // words past the length are never looked at
           writes({"100", "1", "-f=wide"}, {{"0x100", 1}}),
           writes({"100", "2", "-f=spaced"}, {{"0x100", 1}, {"0x108", 2}}),
       });
}

// A read run prints each word and saves it as "%s " (no newline anywhere,
// mode 0777); the saved file written back elsewhere gives the same words.
TEST_F(Access, AReadRunSavesWhatAWriteRunWroteAndCanBeWrittenBack) {
  const std::vector<uint64_t> values = {0x0123456789abcdef, 0, 0xffffffffffffffff, 0x8000000000000001, 0x5a};
  std::string in, expected_out, expected_file, expected_board;
  for (size_t i = 0; i < values.size(); ++i) {
    in += hex16(values[i]).substr(values[i] == 0x5a ? 14 : 0) + "\n";  // short and long spellings
    expected_out += hex16(values[i]) + "\n";
    expected_file += hex16(values[i]) + " ";
    expected_board += shown("l2", "0x20" + hex16(8 * i).substr(14), values[i]);  // 0x2000 .. 0x2020
  }
  write_file(path("in"), in);
  ok("JTAG_WriteMem", {"2000", "5", "-f=in"});
  EXPECT_EQ(ok("JTAG_ReadMem", {"2000", "5", "-f=out"}), expected_out);
  EXPECT_EQ(file("out"), expected_file);
  EXPECT_EQ(file_mode(path("out")), 0777u);
  EXPECT_TRUE(board_shows(expected_board)) << show();
  ok("JTAG_WriteMem", {"3000", "5", "-f=out"});
  EXPECT_EQ(ok("JTAG_ReadMem", {"3000", "5", "-f=out2"}), expected_out);
  EXPECT_EQ(file("out2"), expected_file);
}

}  // namespace
