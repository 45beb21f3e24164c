// JTAG_Shift and JTAG_IRPath: every shift setting reaches the platform, the
// texts are exact, the files follow the dump rules, and recycle feeds back
// through the register.
#include <sys/stat.h>

#include <string>
#include <vector>

#include "board_view.h"

namespace {

using e2e::FreshBoardTest;
using Lines = std::vector<std::string>;

const std::string kShiftUsage =
    "JTAG_Shift: ERROR, Pattern/Length not specified !\n"
    "JTAG_Shift <pattern|-f=input file> <Length>\n"
    "\tOptional: -r[ecycle] : set TDI=TDO\n"
    "\t         -p[ad]=[0|1]: pad character (default 0)\n"
    "\t         -w[ait]     : enable wait for sentinel bit\n"
    "\t         -d[=<num>] (debug [=level])\n"
    "\t         -h (help)\n\n"
    "\t         -a (accelerate using FPGA accelerator)\n\n"
    "\t         -o=<output file>\n\n";

const std::string kIRPathUsage =
    "JTAG_IRPath <pattern> <length>\n\tOptional: -r[ecycle] : set TDI=TDO\n\t         -w[ait]    : enable wait for "
    "sentinel bit\n\t         -d[=<num>] (debug [=level])\n\t         -h (help)\n\n";

std::string shift(const std::string &pattern, int bits, int recycle = 0, int wait = 0, char pad = '0', int accel = 0) {
  return "JTAG_Shift \"" + pattern + "\" " + std::to_string(bits) + " " + std::to_string(recycle) + " " +
         std::to_string(wait) + " '" + std::string(1, pad) + "' accel=" + std::to_string(accel);
}
Lines data_shift(const std::string &pattern, int bits, int recycle = 0, int wait = 0, char pad = '0', int accel = 0) {
  return {"JTAG_Select_DR", shift(pattern, bits, recycle, wait, pad, accel)};
}

class RawShift : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    e2e::write_file(path("in.txt"), "abcdef\nffff\n");
  }
  std::string file(const std::string &name) { return e2e::read_file(path(name)); }
};

// On a fresh board the data register is processor 0's IDCODE, 0x0bc0e06b.
TEST_F(RawShift, ShiftCommandLines) {
  check("JTAG_Shift",
        {
            {{"a3", "8"}, 0, "6b\n", data_shift("a3", 8)},
            {{"a3", "8", "-d"}, 0, "JTAG_Shift: Shifting a3 (8 shifts)\nJTAG_Shift: Data Out is : 6b\n6b\n",
             data_shift("a3", 8)},
            {{"a3", "32"}, 0, "0bc0e06b\n", data_shift("a3", 32)},
            {{"-f=in.txt", "16"}, 0, "e06b\n", data_shift("abcd", 16)},
            {{"-d", "-f=in.txt", "16"},
             0,
             "JTAG_Shift: Shifting = abcd (16 shifts) \nJTAG_Shift: Data Out is : e06b\ne06b\n",
             data_shift("abcd", 16)},
            {{"a3", "8", "-f=in.txt"}, 0, "6b\n", data_shift("ab", 8)},  // the file's pattern wins
            {{"-f=in.txt", "16", "a3"}, 0, "e06b\n", data_shift("abcd", 16)},  // after -f= a word is a length
            {{"-f=in.txt", "16", "8"}, 0, "6b\n", data_shift("ab", 8)},
            {{"-f=/dev/zero", "16"}, 0, "e06b\n", data_shift("", 16)},  // four bytes read, all NUL
            {{"a3", "8", "-p=1"}, 0, "6b\n", data_shift("a3", 8, 0, 0, '1')},
            {{"a3", "8", "-p"}, 0, "6b\n", data_shift("a3", 8)},
            {{"a3", "8", "-p=", "-pad=1"}, 0, "6b\n", data_shift("a3", 8)},
            {{"a3", "8", "-w"}, 0, "6b\n", data_shift("a3", 8, 0, 1)},
            {{"a3", "8", "-r"}, 0, "6b\n", data_shift("a3", 8, 1)},
            {{"a3", "8", "-a"}, 0, "6b\n", data_shift("a3", 8, 0, 0, '0', 1)},
            {{"a3", "-3"}, 0, "\n", data_shift("a3", -3)},  // nothing is shifted
            {{"a3", "8", "-q", "-"}, 0, "6b\n", data_shift("a3", 8)},
            {{"a3"}, 1, kShiftUsage, {}},
            {{"-h"}, 1, kShiftUsage, {}},
            {{"-h", "a3"}, 0, kShiftUsage, {}},
            {{"a3", "8", "-h"}, 0, kShiftUsage, {}},
            {{"-d", "a3"}, 1, kShiftUsage, {}},  // the group runs past the end
            {{"a3", "x"}, 1, kShiftUsage, {}},
            {{"a3", "0"}, 1, kShiftUsage, {}},
            {{"-f=in.txt", "-r", "8"}, 1, kShiftUsage, {}},
            {{"-r", "-f=in.txt", "8"}, 1, kShiftUsage, {}},
            {{"a3", "8", "-fin.txt"}, 1, kShiftUsage, {}},
            {{"a3", "8", "-f="}, 1, kShiftUsage, {}},
            {{"a3", "8", "-o"}, 1, kShiftUsage, {}},
            {{"a3", "8", "-o="}, 1, kShiftUsage, {}},
            {{"-f=absent.txt", "8"}, 1, "JTAG_Shift: ERROR, Could not open file absent.txt for reading\n", {}},
            {{"a3", "8", "-o=no/out.txt"}, 1, "JTAG_Shift: ERROR, Could not open file no/out.txt for writing\n", {}},
        });
}

TEST_F(RawShift, ShiftOutputFile) {
  struct Case {
    Lines args;
    int status;
    std::string out;
    std::string file;
  };
  const std::vector<Case> cases = {
      {{"a3", "8", "-o=out.txt"}, 0, "", "6b"},
      {{"-d", "a3", "8", "-o=out.txt"},
       0,
       "JTAG_Shift: Shifting a3 (8 shifts)\nJTAG_Shift: Data Out is : 6b\nJTAG_SHIFT: Saving shift data(len=8) to file "
       "out.txt\n",
       "6b"},
      {{"-o=out.txt", "-f=absent.txt", "8"}, 1, "JTAG_Shift: ERROR, Could not open file absent.txt for reading\n", ""},
  };
  for (const Case &c : cases) {
    fresh();
    e2e::write_file(path("out.txt"), "old contents");
    ::chmod(path("out.txt").c_str(), 0640);
    const e2e::Result r = run("JTAG_Shift", c.args);
    const std::string label = ::testing::PrintToString(c.args);
    EXPECT_EQ(r.status, c.status) << label;
    EXPECT_EQ(r.out, c.out) << label;
    EXPECT_EQ(file("out.txt"), c.file) << label;
    EXPECT_EQ(e2e::file_mode(path("out.txt")), mode_t(0777)) << label;
  }
}

TEST_F(RawShift, IRPathCommandLines) {
  const Lines ir = {"JTAG_Select_IR", shift("3", 8)};
  check("JTAG_IRPath",
        {
            {{"3", "8"}, 0, "01\n", ir},  // the IR captures ...01
            {{"-d", "3", "8"}, 0, "JTAG_IRPath: Shifting 3 (8 shifts)\nJTAG_IRPath: Data Out is :01\n", ir},
            {{"3", "8", "-p=1", "-r", "-w"}, 0, "01\n", {"JTAG_Select_IR", shift("3", 8, 1, 1, '1')}},
            {{"3", "8", "-a", "-f=x", "-o=y"}, 0, "01\n", ir},  // not this command's options
            {{}, 1, "JTAG_IRPath: ERROR, Pattern/Length not specified !\n" + kIRPathUsage, {}},
            {{"-h"}, 1, "JTAG_IRPath: ERROR, Pattern/Length not specified !\n" + kIRPathUsage, {}},
            {{"-h", "3"}, 0, kIRPathUsage, {}},
            {{"-d", "3"}, 1, "JTAG_IRPath: ERROR, length not specified !\n" + kIRPathUsage, {}},
            {{"3", "x"}, 1, "JTAG_IRPath: ERROR, length not specified !\n" + kIRPathUsage, {}},
            {{"-d", "-r"}, 1, "JTAG_IRPath: ERROR, pattern not specified !\n" + kIRPathUsage, {}},
        });
  fresh();
  ASSERT_EQ(run("JTAG_IRPath", {"3d", "8"}).status, 0);
  EXPECT_EQ(e2e::tap_of(sim({"show"}), "cpu0"), "Run-Test/Idle, IR 0x3d");
}

// Recycle through a 16-bit chain: n + 1 bits leave it as it was and show it
// after the pattern's first bit; n bits move it on by the one bit fed in.
TEST_F(RawShift, RecycleThroughAChain) {
  struct Case {
    std::string length;
    std::string out;
    std::string left;
  };
  const std::vector<Case> cases = {{"17", "01234", "1234"}, {"16", "1234", "2468"}};
  for (const Case &c : cases) {
    fresh();
    sim({"set", "cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05", "cpu0.scan_access=1",
         "cpu0.ir=0x80", "cpu0.tap=Run-Test/Idle"});
    const e2e::Result r = run("JTAG_Shift", {"0", c.length, "-r"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, c.out + "\n") << c.length;
    std::string left = sim({"chain", "cpu0.chain.05"});
    EXPECT_EQ(left, c.left + "\n") << c.length;
  }
}

}  // namespace
