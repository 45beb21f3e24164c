// Control-register and L2 memory access: the command lines, the exact TAP
// operations, the files, and round trips through the simulated processors.
#include <chrono>
#include <cstdio>

#include "support/e2e.h"

namespace {

using e2e::BoardTest;
using Lines = std::vector<std::string>;

// ---- texts ----
const std::string kReadCregHelp = "JTAG_ReadCreg <addr> [-d=<level>] [-h] [-m=<bytemask>]\n\n";
const std::string kReadCregLong = "JTAG_ReadCreg <address> [-d=<level>] [-h] [-m=<bytemask>]\n\n";
const std::string kReadCregShort = "JTAG_ReadCreg <address> [-d=<level>] [-h]\n\n";
const std::string kReadCregNoAddress = "JTAG_ReadCreg: ERROR, Address not specified !\n";
const std::string kWriteCregUsage = "JTAG_WriteCreg <addr> <data> [-d=<level>] [-h]\n\n";

const std::string kReadMemUsage = "JTAG_ReadMem <address> <length> [-f=<file>] [-d=<level>] [-h]\n\n";
const std::string kReadMemMissing = "JTAG_ReadMem: ERROR, Address/Length not specified !\n";
const std::string kWriteMemFirst = "JTAG_WriteMem <address> <length> -x=<data|-f=<file> [-d=<level>] [-h]\n\n";
const std::string kWriteMemHelp = "JTAG_WriteMem <address> <length> [-f=<file>] [-d=<level>] [-h]\n\n";
const std::string kWriteMemFile = "JTAG_WriteMem <address> <length> -x=data|-f=<file> [-d=<level>] [-h]\n\n";
const std::string kWriteMemFull = "JTAG_WriteMem <address> <length> -x=<data>|-f=<file> [-d=<level>] [-h]\n\n";
const std::string kWriteMemMissing = "JTAG_WriteMem: ERROR, Address/Length/data|file not specified !\n";

// ---- expected operations ----
std::string shift(const std::string &pattern, int bits, int wait = 0) {
  return "JTAG_Shift \"" + pattern + "\" " + std::to_string(bits) + " 0 " + std::to_string(wait) + " '0' accel=0";
}
Lines instruction(const std::string &code) { return {"JTAG_Select_IR", shift(code, 8)}; }
Lines data(const std::string &pattern, int bits, int wait = 0) { return {"JTAG_Select_DR", shift(pattern, bits, wait)}; }
Lines clocks(int n) { return Lines(size_t(n), "cycle_tclk"); }
Lines operator+(Lines a, const Lines &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// bin2hex of the 65-bit word whose bits 64..57 are `top` and 56..1 `field`
// (the access word), or whose bits 64..1 are `field` (the data word).
std::string word65(uint64_t top8, uint64_t field, unsigned field_bits) {
  // value = top8 << 57 | field << 1, as 17 hex digits
  const uint64_t low = (field_bits == 56 ? (top8 << 57) : 0) | (field << 1);
  const unsigned bit64 = field_bits == 56 ? unsigned(top8 >> 7) : unsigned(field >> 63);
  char text[24];
  std::snprintf(text, sizeof text, "%x%016llx", bit64, static_cast<unsigned long long>(low));
  return text;
}
std::string read_access(uint64_t address) { return word65(0x81, address, 56); }
std::string write_access(uint64_t address) { return word65(0x82, address, 56); }
std::string data_word(uint64_t value) { return word65(0, value, 64); }

Lines creg_read(const std::string &address) {
  return instruction("08") + data(address, 40) + instruction("0d") + clocks(11) + instruction("0a") + data("0", 64, 1);
}
Lines creg_write(const std::string &address, const std::string &value) {
  return instruction("08") + data(address, 40) + instruction("09") + data(value, 64) + instruction("0c") + clocks(11);
}
Lines l2_read(uint64_t address) {
  return instruction("58") + data(read_access(address), 65) + instruction("5b") + clocks(65) + data("0", 64, 3);
}
Lines l2_write(uint64_t address, uint64_t value) {
  return instruction("58") + data(write_access(address), 65) + instruction("59") + data(data_word(value), 65) +
         instruction("5a") + clocks(129);
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

struct Case {
  std::vector<std::string> args;
  int status;
  std::string out;
  std::string err = "";  // the refusals of a run that cannot be done whole
};

class Access : public BoardTest {
 protected:
  bool board_shows(const std::string &text) { return sim({"show"}).find(text) != std::string::npos; }

  // Every case on a fresh trace: the exact output, error and status, and no
  // TAP activity at all.
  void expect_no_tap_activity(const std::string &command, const std::vector<Case> &cases) {
    for (const Case &c : cases) {
      clear_trace();
      const auto start = std::chrono::steady_clock::now();
      const auto r = run(command, c.args);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      const std::string label = command + " " + ::testing::PrintToString(c.args);
      EXPECT_LT(took.count(), 10.0) << label << ": a refusal must come at once";
      EXPECT_EQ(r.status, c.status) << label;
      EXPECT_EQ(r.out, c.out) << label;
      EXPECT_EQ(r.err, c.err) << label;
      EXPECT_EQ(trace(), Lines{}) << label;
    }
  }

  // Runs a command that must succeed and returns its standard output.
  std::string ok(const std::string &command, const std::vector<std::string> &args) {
    const auto r = run(command, args);
    EXPECT_EQ(r.status, 0) << command << " " << ::testing::PrintToString(args) << ": " << r.out << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
  }
};

// ---------------------------------------------------------------- CREG ----

TEST_F(Access, ReadCregArgumentErrorsAndHelp) {
  expect_no_tap_activity("JTAG_ReadCreg", {
      {{}, 1, kReadCregNoAddress + kReadCregLong},
      {{"-d"}, 1, kReadCregNoAddress + kReadCregShort},
      {{"-d=2", "-m=0f", "-x"}, 1, kReadCregNoAddress + kReadCregShort},
      {{"10", "-h"}, 0, kReadCregHelp},
      {{"-help"}, 0, kReadCregHelp},
      {{"-h", "10"}, 0, kReadCregHelp},
  });
}

TEST_F(Access, WriteCregArgumentErrorsAndHelp) {
  const std::string too_few = "JTAG_WriteCreg: ERROR, Address/Data not specified !\n";
  const std::string no_address = "JTAG_WriteCreg: ERROR, Address not specified !\n";
  const std::string no_data = "JTAG_WriteCreg: ERROR, data not specified !\n";
  expect_no_tap_activity("JTAG_WriteCreg", {
      {{}, 1, too_few + kWriteCregUsage},
      {{"10"}, 1, too_few + kWriteCregUsage},
      {{"-h"}, 1, too_few + kWriteCregUsage},
      {{"-d", "10"}, 1, no_data + kWriteCregUsage},
      {{"-d", "-d=2"}, 1, no_address + kWriteCregUsage},
      // A later pair cut short by the end of the line has no data: it is
      // reported, not written with the earlier pair's data.
      {{"10", "20", "30"}, 1, no_data + kWriteCregUsage},
      {{"-h", "10"}, 0, kWriteCregUsage},
      {{"-m=0f", "-help", "10", "20"}, 0, kWriteCregUsage},
  });
}

TEST_F(Access, CregOperationsAreExact) {
  struct OpCase {
    std::string command;
    std::vector<std::string> args;
    std::string out;
    Lines trace;
  };
  const OpCase cases[] = {
      {"JTAG_ReadCreg", {"10"}, "c000000000000010\n", creg_read("10")},
      {"JTAG_ReadCreg", {"10", "-m=0f"}, "c000000000000010\n", creg_read("10")},
      {"JTAG_ReadCreg", {"10", "-m", "-x", "-"}, "c000000000000010\n", creg_read("10")},
      {"JTAG_ReadCreg", {"10", "20"}, "c000000000000020\n", creg_read("20")},
      {"JTAG_ReadCreg", {"-d", "10"}, "JTAG_ReadCreg: Reading CREG 10\nJTAG_ReadCreg: Data for CREG (Addr=10) is :c000000000000010\n", creg_read("10")},
      {"JTAG_WriteCreg", {"10", "1234abcd"}, "", creg_write("10", "1234abcd")},
      {"JTAG_WriteCreg", {"10", "-d"}, "", creg_write("10", "-d")},  // the data is "-d"; debug stays off
      {"JTAG_WriteCreg", {"-d=1", "10", "5", "-m=0f"}, "JTAG_WriteCreg: Writing CREG 10 with 5\n", creg_write("10", "5")},
      {"JTAG_WriteCreg", {"10", "20", "30", "40"}, "", creg_write("30", "40")},
  };
  for (const OpCase &c : cases) {
    clear_trace();
    const std::string label = c.command + " " + ::testing::PrintToString(c.args);
    EXPECT_EQ(ok(c.command, c.args), c.out) << label;
    EXPECT_EQ(trace(), c.trace) << label;
  }
}

TEST_F(Access, CregRoundTripsThroughTheBoard) {
  EXPECT_EQ(ok("JTAG_WriteCreg", {"10", "1234abcd"}), "");
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "000000001234abcd\n");
  EXPECT_TRUE(board_shows(shown("creg", "0x10", 0x1234abcd)));
  // A neighbour keeps its power-up pattern; a full 64-bit value survives.
  EXPECT_EQ(ok("JTAG_ReadCreg", {"11"}), "c000000000000011\n");
  ok("JTAG_WriteCreg", {"ff00000001", "fedcba9876543210"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"ff00000001"}), "fedcba9876543210\n");
  // What the board holds, seeded behind the tool's back, is what it reads.
  sim({"set", "cpu0.creg.0x20=0x55"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"20"}), "0000000000000055\n");
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "000000001234abcd\n");
}

TEST_F(Access, EachProcessorHasItsOwnControlRegisters) {
  JTAGBOX_SIM_ONLY();
  const std::pair<const char *, const char *> cpus[] = {{"0x01", "0"}, {"0x03", "1"}, {"0x04", "2"}, {"0x05", "3"}};
  for (const auto &[mode, n] : cpus) {
    sim({"set", std::string("scan_mode=") + mode});
    EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), std::string("c") + n + "00000000000010\n") << mode;
    ok("JTAG_WriteCreg", {"10", std::string("abc") + n});
  }
  for (const auto &[mode, n] : cpus) {
    sim({"set", std::string("scan_mode=") + mode});
    EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), std::string("000000000000abc") + n + "\n") << mode;
  }
}

TEST_F(Access, AWriteStrobeByHandNeedsAllElevenTcksEvenAcrossProcesses) {
  ok("JTAG_ReadCreg", {"10"});  // leaves 0x10 in the address latch
  ok("JTAG_LoadIR", {"09"});
  ok("JTAG_LoadDR", {"ab"});  // 8 bits into the 64-bit write data (captured 0): 0xab << 56
  ok("JTAG_LoadIR", {"0c"});
  ok("JTAG_Tck", {"10"});
  EXPECT_TRUE(board_shows("control registers: 0 written")) << sim({"show"});
  ok("JTAG_Tck", {"1"});
  EXPECT_TRUE(board_shows(shown("creg", "0x10", 0xab00000000000000))) << sim({"show"});
  EXPECT_EQ(ok("JTAG_ReadCreg", {"10"}), "ab00000000000000\n");
}

// ------------------------------------------------------------------ L2 ----

TEST_F(Access, ReadMemArgumentErrorsAndHelp) {
  const std::string bad_address = "JTAG_ReadMem: ERROR, Address not valid!\n";
  const std::string no_name = "JTAG_ReadMe): ERROR File Name not specified\n";
  expect_no_tap_activity("JTAG_ReadMem", {
      {{}, 1, kReadMemMissing + kReadMemUsage},
      {{"100"}, 1, kReadMemMissing + kReadMemUsage},
      {{"-h"}, 1, kReadMemMissing + kReadMemUsage},
      {{"100", "0"}, 1, kReadMemMissing + kReadMemUsage},
      {{"100", "abc"}, 1, kReadMemMissing + kReadMemUsage},
      {{"1000", "-d"}, 1, kReadMemMissing + kReadMemUsage},
      {{"-d", "-f=out"}, 1, kReadMemMissing + kReadMemUsage},
      {{"100", "2", "-f"}, 1, no_name + kReadMemUsage},
      {{"100", "2", "-f="}, 1, no_name + kReadMemUsage},
      {{"100", "2", "-file"}, 1, no_name + kReadMemUsage},
      {{"10000000000000000", "1"}, 1, bad_address + kReadMemUsage},       // 17 digits
      {{"fffffffffffffffff", "1"}, 1, bad_address + kReadMemUsage},
      {{"100", "2", "-h"}, 0, kReadMemUsage},
      {{"-h", "100", "2"}, 0, kReadMemUsage},
      {{"100", "1", "-f=no/such/dir/out"}, 1, "JTAG_ReadMem: ERROR, Could not open file no/such/dir/out for writing\n"},
      // Beyond the 56-bit field, at the start or within the run.
      {{"100000000000000", "1"}, 1, "", "JTAG_ReadMem: ERROR, L2 address 0x100000000000000 is beyond the 56-bit address field; nothing read\n"},
      {{"fffffffffffff8", "2"}, 1, "", "JTAG_ReadMem: ERROR, L2 address 0x100000000000000 is beyond the 56-bit address field; nothing read\n"},
      {{"ffffffffffffffff", "1", "-f=out"}, 1, "", "JTAG_ReadMem: ERROR, L2 address 0xffffffffffffffff is beyond the 56-bit address field; nothing read\n"},
  });
  EXPECT_FALSE(std::filesystem::exists(path("out"))) << "a refused run must not create its file";
}

TEST_F(Access, WriteMemArgumentErrorsAndHelp) {
  e2e::write_file(path("in"), "1 2 3 4");
  const std::string bad_address = "JTAG_WriteMem: address not valid!\n";
  const std::string no_name = "JTAG_WriteMem): ERROR File Name not specified\n";
  const std::string data_spec = "JTAG_WriteMem): ERROR Data spec\n";
  const std::string too_many_bits = " has more than 64 bits (16 hex digits); nothing written\n";
  expect_no_tap_activity("JTAG_WriteMem", {
      {{"100", "4"}, 1, kWriteMemMissing + kWriteMemFirst},
      {{"-h", "4"}, 1, kWriteMemMissing + kWriteMemFirst},
      {{"100", "4", "-f"}, 1, no_name + kWriteMemFile},
      {{"100", "4", "-f="}, 1, no_name + kWriteMemFile},
      {{"100", "4", "-x"}, 1, data_spec + kWriteMemFull},
      {{"100", "4", "-xab"}, 1, data_spec + kWriteMemFull},
      {{"100", "4", "-h"}, 0, kWriteMemHelp},
      {{"100", "4", "-d"}, 1, kWriteMemMissing + kWriteMemFull},
      {{"100", "0", "-x=ab"}, 1, kWriteMemMissing + kWriteMemFull},
      {{"100", "abc", "-x=ab"}, 1, kWriteMemMissing + kWriteMemFull},
      {{"100", "2", "-x="}, 1, kWriteMemMissing + kWriteMemFull},
      {{"100", "2", "-x=xab"}, 1, kWriteMemMissing + kWriteMemFull},
      {{"100", "2", "-f=in", "-x="}, 1, kWriteMemMissing + kWriteMemFull},
      {{"-x=ab", "-d", "-d"}, 1, kWriteMemMissing + kWriteMemFull},
      {{"10000000000000000", "1", "-x=ab"}, 1, bad_address + kWriteMemFull},
      {{"100", "4", "-x=ab", "-f=missing"}, 1, "JTAG_WriteMem: ERROR, Could not open file missing for reading\n"},
      {{"100", "4", "-f=missing"}, 1, "JTAG_WriteMem: ERROR, Could not open file missing for reading\n"},
      // Data that could not be written uncut, and addresses past the field.
      {{"100", "1", "-x=11112222333344445"}, 1, "", "JTAG_WriteMem: ERROR, Data 11112222333344445" + too_many_bits},
      {{"100", "1", "-x=0000000000000000000000000000000012"}, 1, "",
       "JTAG_WriteMem: ERROR, Data 0000000000000000000000000000000012 is longer than 31 characters; nothing written\n"},
      {{"100000000000000", "1", "-x=1"}, 1, "", "JTAG_WriteMem: ERROR, L2 address 0x100000000000000 is beyond the 56-bit address field; nothing written\n"},
      {{"fffffffffffff8", "2", "-f=in"}, 1, "", "JTAG_WriteMem: ERROR, L2 address 0x100000000000000 is beyond the 56-bit address field; nothing written\n"},
  });
  EXPECT_TRUE(board_shows("L2 memory: 0 words written")) << sim({"show"});
}

TEST_F(Access, AccessWordsAndCyclesAreExact) {
  struct OpCase {
    std::string command;
    std::vector<std::string> args;
    std::string out;
    Lines trace;
  };
  const OpCase cases[] = {
      // Address 0: "10000001", 56 zeros, "0" (read); "10000010"... (write).
      {"JTAG_ReadMem", {"0", "1"}, "a000000000000000\n", l2_read(0)},
      {"JTAG_WriteMem", {"0", "1", "-x=ab"}, "", l2_write(0, 0xab)},
      {"JTAG_ReadMem", {"100", "2"}, "a000000000000100\na000000000000108\n", l2_read(0x100) + l2_read(0x108)},
      {"JTAG_ReadMem", {"101", "2"}, "a000000000000100\na000000000000108\n", l2_read(0x101) + l2_read(0x109)},
      {"JTAG_ReadMem", {"fffffffffffff8", "1"}, "a0fffffffffffff8\n", l2_read(0xfffffffffffff8)},
      {"JTAG_ReadMem", {"0x00000000000000000000010", "1"}, "a000000000000010\n", l2_read(0x10)},
      {"JTAG_WriteMem", {"100", "4", "-x=ab"}, "", l2_write(0x100, 0xab)},
      {"JTAG_WriteMem", {"100", "-2", "-x=ab"}, "", l2_write(0x100, 0xab)},
      {"JTAG_WriteMem", {"200", "3", "-x=1", "-x="}, "", l2_write(0x200, 1)},
      {"JTAG_WriteMem", {"200", "1", "-x=ffffffffffffffff"}, "", l2_write(0x200, ~uint64_t{0})},
      {"JTAG_ReadMem", {"1001", "2", "-d"},
       "JTAG_ReadMem: Reading L2 @ 0x1001 (2)\n"
       "JTAG_ReadMem: Reading L2 @ 0x1001\nJTAG_ReadMem: Data for L2 Mem (Addr=1001) is :a000000000001000\n"
       "JTAG_ReadMem: Reading L2 @ 0x1009\nJTAG_ReadMem: Data for L2 Mem (Addr=1009) is :a000000000001008\n",
       l2_read(0x1001) + l2_read(0x1009)},
      {"JTAG_WriteMem", {"0100", "4", "-x=ab", "-d"},
       "JTAG_WriteMem: Writing L2 @ 0x0100 (1)\nJTAG_WriteMem: Writing L2 ab @ 0x100\n", l2_write(0x100, 0xab)},
      {"JTAG_ReadMem", {"100", "-3"}, "", {}},
  };
  for (const OpCase &c : cases) {
    clear_trace();
    const std::string label = c.command + " " + ::testing::PrintToString(c.args);
    EXPECT_EQ(ok(c.command, c.args), c.out) << label;
    EXPECT_EQ(trace(), c.trace) << label;
  }
  // Spelled out once: the read and write access words at address 0.
  EXPECT_EQ(read_access(0), "10200000000000000");
  EXPECT_EQ(write_access(0), "10400000000000000");
  EXPECT_EQ(data_word(0xab), "00000000000000156");
}

TEST_F(Access, ANegativeLengthLeavesAnEmptyFileWithModeRwxForAll) {
  e2e::write_file(path("out"), "old contents");
  const auto r = run("JTAG_ReadMem", {"100", "-3", "-f=out"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(e2e::read_file(path("out")), "");
  EXPECT_EQ(e2e::file_mode(path("out")), 0777u);
  EXPECT_EQ(trace(), Lines{});
}

TEST_F(Access, TheSavedFileHoldsEachWordAndABlankAndNoNewline) {
  sim({"set", "cpu0.l2.0x100=0x1122334455667788", "cpu0.l2.0x110=0xab"});
  EXPECT_EQ(ok("JTAG_ReadMem", {"100", "3", "-f=out"}), "1122334455667788\na000000000000108\n00000000000000ab\n");
  EXPECT_EQ(e2e::read_file(path("out")), "1122334455667788 a000000000000108 00000000000000ab ");
  EXPECT_EQ(e2e::file_mode(path("out")), 0777u);
}

TEST_F(Access, XForcesOneWordAndAFileAfterItIsOpenedButNotRead) {
  e2e::write_file(path("in"), "11 22 33 44");
  struct WriteCase {
    std::vector<std::string> args;
    std::vector<std::pair<std::string, uint64_t>> words;  // what the board then holds
  };
  const WriteCase cases[] = {
      {{"100", "4", "-x=ab"}, {{"0x100", 0xab}}},
      {{"100", "4", "-x=ab", "-f=in"}, {{"0x100", 0xab}}},
      {{"100", "4", "-f=missing", "-x=ab"}, {{"0x100", 0xab}}},  // -x clears the file: never opened
      {{"100", "2", "-x=ab", "-x="}, {{"0x100", 0xab}}},
      {{"100", "2", "-x=xab", "-f=in"}, {{"0x100", 0x11}, {"0x108", 0x22}}},  // 'x...' is no data
      {{"100", "4", "-f=in"}, {{"0x100", 0x11}, {"0x108", 0x22}, {"0x110", 0x33}, {"0x118", 0x44}}},
      {{"100", "2", "-f=missing", "-f=in"}, {{"0x100", 0x11}, {"0x108", 0x22}}},
  };
  for (const WriteCase &c : cases) {
    sim({"reset"});
    EXPECT_EQ(ok("JTAG_WriteMem", c.args), "") << ::testing::PrintToString(c.args);
    const std::string board = sim({"show"});
    EXPECT_NE(board.find("L2 memory: " + std::to_string(c.words.size()) + " words written"), std::string::npos)
        << ::testing::PrintToString(c.args) << board;
    for (const auto &[address, value] : c.words)
      EXPECT_NE(board.find(shown("l2", address, value)), std::string::npos) << ::testing::PrintToString(c.args);
  }
}

TEST_F(Access, FileTokensAreTakenInOrderWhateverWhiteSpaceSeparatesThem) {
  e2e::write_file(path("file"), "\n a\t\tb \n\n c\n");
  EXPECT_EQ(ok("JTAG_WriteMem", {"100", "3", "-f=file"}), "");
  EXPECT_TRUE(board_shows(shown("l2", "0x100", 0xa) + shown("l2", "0x108", 0xb) + shown("l2", "0x110", 0xc)));
  clear_trace();
  ok("JTAG_WriteMem", {"200", "2", "-f=file"});  // a longer file: the first words only
  EXPECT_EQ(trace(), l2_write(0x200, 0xa) + l2_write(0x208, 0xb));
}

TEST_F(Access, FileWordsThatCannotBeWrittenRefuseTheRunBeforeTheFirstAccess) {
  e2e::write_file(path("short"), "1 2");
  e2e::write_file(path("wide"), "1 11112222333344445 3");
  e2e::write_file(path("long"), "1 2 0000000000000000000000000000000012");
  e2e::write_file(path("blanks"), "1" + std::string(4097, ' ') + "2");
  e2e::write_file(path("spaced"), "1" + std::string(4096, '\n') + "2");
  const std::vector<Case> cases = {
      {{"100", "3", "-f=short"}, 1, "", "JTAG_WriteMem: ERROR, file short holds 2 words, fewer than the length 3; nothing written\n"},
      {{"100", "3", "-f=wide"}, 1, "", "JTAG_WriteMem: ERROR, word 2 of file wide has more than 64 bits (16 hex digits); nothing written\n"},
      {{"100", "3", "-f=long"}, 1, "", "JTAG_WriteMem: ERROR, word 3 of file long is longer than 31 characters; nothing written\n"},
      // Reading stops as soon as the file can hold no word the run could use.
      {{"100", "1", "-f=/dev/zero"}, 1, "", "JTAG_WriteMem: ERROR, word 1 of file /dev/zero is longer than 31 characters; nothing written\n"},
      {{"100", "2", "-f=blanks"}, 1, "", "JTAG_WriteMem: ERROR, file blanks has more than 4096 characters of white space before word 2; nothing written\n"},
  };
  expect_no_tap_activity("JTAG_WriteMem", cases);
  EXPECT_TRUE(board_shows("L2 memory: 0 words written"));
  // Within the length the same files are fine.
  EXPECT_EQ(ok("JTAG_WriteMem", {"100", "2", "-f=long"}), "");
  EXPECT_EQ(ok("JTAG_WriteMem", {"100", "1", "-f=wide"}), "");
  EXPECT_EQ(ok("JTAG_WriteMem", {"100", "2", "-f=spaced"}), "");
  EXPECT_TRUE(board_shows(shown("l2", "0x108", 2)));
}

TEST_F(Access, AReadRunSavesWhatAWriteRunWroteAndCanBeWrittenBack) {
  const std::vector<uint64_t> values = {0x0123456789abcdef, 0, 0xffffffffffffffff, 0x8000000000000001, 0x5a};
  std::string in;
  for (uint64_t v : values) in += hex16(v).substr(v == 0x5a ? 14 : 0) + "\n";  // short and long spellings
  e2e::write_file(path("in"), in);
  ok("JTAG_WriteMem", {"2000", "5", "-f=in"});
  std::string expected_out, expected_file;
  for (uint64_t v : values) {
    expected_out += hex16(v) + "\n";
    expected_file += hex16(v) + " ";
  }
  EXPECT_EQ(ok("JTAG_ReadMem", {"2000", "5", "-f=out"}), expected_out);
  EXPECT_EQ(e2e::read_file(path("out")), expected_file);
  // The board holds them, seen without the tool's read path.
  for (size_t i = 0; i < values.size(); ++i) {
    char address[16];
    std::snprintf(address, sizeof address, "0x%zx", 0x2000 + 8 * i);
    EXPECT_TRUE(board_shows(shown("l2", address, values[i]))) << address;
  }
  // The saved file written back elsewhere gives the same words again.
  ok("JTAG_WriteMem", {"3000", "5", "-f=out"});
  EXPECT_EQ(ok("JTAG_ReadMem", {"3000", "5", "-f=out2"}), expected_out);
  EXPECT_EQ(e2e::read_file(path("out2")), expected_file);
  // Two consecutive runs read what one run of both lengths reads.
  EXPECT_EQ(ok("JTAG_ReadMem", {"1ff0", "4"}) + ok("JTAG_ReadMem", {"2010", "4"}), ok("JTAG_ReadMem", {"1ff0", "8"}));
}

TEST_F(Access, SeededWordsReadBackAndBadSeedsAreRefused) {
  sim({"set", "cpu0.l2.0xfffffffffffff8=0x42", "cpu0.creg.0xffffffffff=0x43"});
  EXPECT_EQ(ok("JTAG_ReadMem", {"fffffffffffff8", "1"}), "0000000000000042\n");
  EXPECT_EQ(ok("JTAG_ReadCreg", {"ffffffffff"}), "0000000000000043\n");
  for (const char *bad : {"cpu0.l2.0x101=1", "cpu0.l2.0x100000000000000=1", "cpu0.l2.0x100=0x10000000000000000",
                          "cpu0.creg.0x10000000000=1", "cpu0.creg.0x10=banana", "cpu4.l2.0x100=1"}) {
    const auto r = exec(e2e::bin("jtag-sim"), "jtag-sim", {"set", bad});
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_NE(r.err, "") << bad;
  }
}

TEST_F(Access, EachProcessorHasItsOwnL2) {
  JTAGBOX_SIM_ONLY();
  const std::pair<const char *, int> cpus[] = {{"0x01", 0}, {"0x03", 1}, {"0x04", 2}, {"0x05", 3}};
  for (const auto &[mode, n] : cpus) {
    sim({"set", std::string("scan_mode=") + mode});
    EXPECT_EQ(ok("JTAG_ReadMem", {"100", "1"}), "a" + std::to_string(n) + "00000000000100\n") << mode;
    ok("JTAG_WriteMem", {"100", "1", "-x=" + std::to_string(10 + n)});
  }
  for (const auto &[mode, n] : cpus) {
    sim({"set", std::string("scan_mode=") + mode});
    EXPECT_EQ(ok("JTAG_ReadMem", {"100", "1"}), "00000000000000" + std::to_string(10 + n) + "\n") << mode;
  }
}

}  // namespace
