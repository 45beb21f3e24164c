// JTAG_Shift and JTAG_IRPath: every shift setting reaches the platform, the
// texts are exact, the files follow the dump rules, and the bits go through
// the register as the platform conventions say.
#include <sys/stat.h>

#include "board_view.h"

namespace {

using namespace e2e;

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

Lines data_shift(const std::string &pattern, int bits, int recycle = 0, int wait = 0, const std::string &pad = "0",
                 int accel = 0) {
  return {"JTAG_Select_DR", shift_op(pattern, bits, recycle, wait, pad, accel)};
}

class RawShift : public FreshBoardTest {
 protected:
  void SetUp() override {
    FreshBoardTest::SetUp();
    write_file(path("in.txt"), "abcdef\nffff\n");
    write_file(path("short.txt"), "ab\n123\n");
    write_file(path("empty.txt"), "");
    write_file(path("nl.txt"), "\n");
  }
};

// On a fresh board the data register is processor 0's IDCODE, 0x0bc0e06b.
// A pattern file gives at most (length + 3) / 4 characters of its first
// line, its line end kept when the line is shorter.
TEST_F(RawShift, ShiftCommandLines) {
  check("JTAG_Shift",
        {
            {{"a3", "8"}, 0, "6b\n", data_shift("a3", 8)},
            {{"a3", "8", "-d"},
             0,
             "JTAG_Shift: Shifting a3 (8 shifts)\nJTAG_Shift: Data Out is : 6b\n6b\n",
             data_shift("a3", 8)},
            {{"a3", "32"}, 0, "0bc0e06b\n", data_shift("a3", 32)},
            {{"-d", "-f=in.txt", "16"},
             0,
             "JTAG_Shift: Shifting = abcd (16 shifts) \nJTAG_Shift: Data Out is : e06b\ne06b\n",
             data_shift("abcd", 16)},
            {{"a3", "8", "-f=in.txt"}, 0, "6b\n", data_shift("ab", 8)},        // the file's pattern wins
            {{"-f=in.txt", "16", "a3"}, 0, "e06b\n", data_shift("abcd", 16)},  // after -f= a word is a length
            {{"-f=in.txt", "16", "8"}, 0, "6b\n", data_shift("ab", 8)},
            {{"-f=in.txt", "17"}, 0, "0e06b\n", data_shift("abcde", 17)},
            {{"-f=in.txt", "1"}, 0, "1\n", data_shift("a", 1)},
            {{"-f=short.txt", "16"}, 0, "e06b\n", data_shift("ab\\n", 16)},
            {{"-f=nl.txt", "8"}, 0, "6b\n", data_shift("\\n", 8)},
            {{"-f=empty.txt", "16"}, 0, "e06b\n", data_shift("", 16)},
            {{"-f=/dev/zero", "16"}, 0, "e06b\n", data_shift("", 16)},  // four bytes read, all NUL
            {{"a3", "8", "-p=1"}, 0, "6b\n", data_shift("a3", 8, 0, 0, "1")},
            {{"a3", "8", "-p='"}, 0, "6b\n", data_shift("a3", 8, 0, 0, "\\'")},
            {{"a3", "8", "-p=1", "-p", "-p=", "-pad=0"}, 0, "6b\n", data_shift("a3", 8, 0, 0, "1")},  // kept
            {{"a3", "8", "-w"}, 0, "6b\n", data_shift("a3", 8, 0, 1)},
            {{"a3", "8", "-r"}, 0, "6b\n", data_shift("a3", 8, 1)},
            {{"a3", "8", "-a"}, 0, "6b\n", data_shift("a3", 8, 0, 0, "0", 1)},
            {{"a3", "-3"}, 0, "\n", data_shift("a3", -3)},  // nothing is shifted
            {{"a3", "8", "-q", "-"}, 0, "6b\n", data_shift("a3", 8)},
            {{"a3"}, 1, kShiftUsage, {}},
            {{"-h"}, 1, kShiftUsage, {}},  // the count comes before -h
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

// -o= truncates the file and gives it mode 0777 whatever its mode and the
// umask; it is opened before the input file, so a missing one leaves it empty.
TEST_F(RawShift, ShiftOutputFile) {
  write_file(path("out.txt"), "old contents");
  ::chmod(path("out.txt").c_str(), 0640);
  play("JTAG_Shift", {
                         {{}, {"a3", "8", "-o=out.txt"}, "", {{"file out.txt", "6b"}, {"mode out.txt", "777"}}},
                         {{},
                          {"-d", "a3", "8", "-o=out.txt"},
                          "JTAG_Shift: Shifting a3 (8 shifts)\nJTAG_Shift: Data Out is : 6b\nJTAG_SHIFT: Saving shift "
                          "data(len=8) to file out.txt\n",
                          {{"file out.txt", "6b"}}},
                         {{},
                          {"-o=out.txt", "-f=absent.txt", "8"},
                          "JTAG_Shift: ERROR, Could not open file absent.txt for reading\n",
                          {{"file out.txt", ""}, {"mode out.txt", "777"}},
                          1},
                     });
}

TEST_F(RawShift, IRPathCommandLines) {
  const std::string usage =
      "JTAG_IRPath <pattern> <length>\n\tOptional: -r[ecycle] : set TDI=TDO\n\t         -w[ait]    : enable wait for "
      "sentinel bit\n\t         -d[=<num>] (debug [=level])\n\t         -h (help)\n\n";
  const std::string error = "JTAG_IRPath: ERROR, ";
  const Lines ir = {"JTAG_Select_IR", shift_op("3", 8)};
  check("JTAG_IRPath",
        {
            {{"3", "8"}, 0, "01\n", ir},  // the IR captures ...01
            {{"-d", "3", "8"}, 0, "JTAG_IRPath: Shifting 3 (8 shifts)\nJTAG_IRPath: Data Out is :01\n", ir},
            {{"3", "8", "-p=1", "-r", "-w"}, 0, "01\n", {"JTAG_Select_IR", shift_op("3", 8, 1, 1, "1")}},
            {{"3", "8", "-a", "-f=x", "-o=y"}, 0, "01\n", ir},  // not this command's options
            {{}, 1, error + "Pattern/Length not specified !\n" + usage, {}},
            {{"-h"}, 1, error + "Pattern/Length not specified !\n" + usage, {}},
            {{"-h", "3"}, 0, usage, {}},
            {{"-d", "3"}, 1, error + "length not specified !\n" + usage, {}},
            {{"3", "x"}, 1, error + "length not specified !\n" + usage, {}},
            {{"-d", "-r"}, 1, error + "pattern not specified !\n" + usage, {}},
        });
  fresh();
  ASSERT_EQ(run("JTAG_IRPath", {"3d", "8"}).status, 0);
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x3d");
}

// Through a 16-bit chain: a recycle of n + 1 bits leaves it as it was and
// shows it after the pattern's first bit, n bits move it on by the bit fed
// in (bit by bit or in bulk); a short pattern is padded at its top with the
// pad character ('1' gives ones, any other zeros).
TEST_F(RawShift, BitsThroughAChain) {
  const auto shift = [](const Lines &args, const std::string &out, const std::string &left) {
    return Scenario{{"cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05", "cpu0.scan_access=1",
                     "cpu0.ir=0x80", "cpu0.tap=Run-Test/Idle"},
                    args,
                    out + "\n",
                    {{"chain cpu0.chain.05", left}}};
  };
  play("JTAG_Shift", {shift({"0", "17", "-r"}, "01234", "1234"), shift({"0", "16", "-r"}, "1234", "2468"),
                      shift({"0", "16", "-r", "-a"}, "1234", "2468"), shift({"3", "16", "-p=1"}, "1234", "fff3"),
                      shift({"3", "16", "-p=q"}, "1234", "0003")});
}

}  // namespace
