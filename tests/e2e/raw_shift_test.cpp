// JTAG_Shift and JTAG_IRPath: every shift setting reaches the platform, the
// texts are exact, the files follow the dump rules, the bits go through the chain.
#include <sys/stat.h>

#include "board_view.h"

namespace {

using namespace e2e;

class RawShift : public FreshBoardTest {};

// On a fresh board the data register is processor 0's IDCODE, 0x0bc0e06b.  A pattern file gives
// (length + 3) / 4 characters of its first line, its line end kept when the line is shorter.
TEST_F(RawShift, ShiftCommandLines) {
  write_file(path("in.txt"), "abcdef\nffff\n");
  write_file(path("short.txt"), "ab\n123\n");
  const std::string usage =
      "JTAG_Shift: ERROR, Pattern/Length not specified !\nJTAG_Shift <pattern|-f=input file> <Length>\n\tOptional: "
      "-r[ecycle] : set TDI=TDO\n\t         -p[ad]=[0|1]: pad character (default 0)\n\t         -w[ait]     : enable "
      "wait for sentinel bit\n\t         -d[=<num>] (debug [=level])\n\t         -h (help)\n\n\t         -a "
      "(accelerate using FPGA accelerator)\n\n\t         -o=<output file>\n\n";
  const std::string debug = "JTAG_Shift: Shifting = abcde (17 shifts) \nJTAG_Shift: Data Out is : 0e06b\n0e06b\n";
  const auto dr = [](const std::string &p, int bits, int r = 0, int w = 0, const std::string &pad = "0", int a = 0) {
    return Lines{"JTAG_Select_DR", shift_op(p, bits, r, w, pad, a)};
  };
  check("JTAG_Shift",
        {{{"-d", "-f=in.txt", "17"}, 0, debug, dr("abcde", 17)},
         {{"a3", "32", "-f=short.txt", "16"}, 0, "e06b\n", dr("ab\\n", 16)},  // after -f= a word is a length
         {{"a3", "8", "-p=1", "-p", "-w", "-r", "-a", "-q"}, 0, "6b\n", dr("a3", 8, 1, 1, "1", 1)},
         {{"a3", "-3"}, 0, "\n", dr("a3", -3)},  // nothing is shifted
         {{"-h", "a3"}, 0, usage, {}},
         {{"-h"}, 1, usage, {}},  // the count of words comes before -h
         {{"-r", "-f=in.txt", "8"}, 1, usage, {}}});
}

// -o= truncates the file and gives it mode 0777 whatever it had and the umask; it is opened before
// the input file, so a missing one leaves it empty.
TEST_F(RawShift, ShiftOutputFile) {
  write_file(path("out.txt"), "old contents");
  ::chmod(path("out.txt").c_str(), 0640);
  const std::string saving =
      "JTAG_Shift: Shifting a3 (8 shifts)\nJTAG_Shift: Data Out is : 6b\nJTAG_SHIFT: Saving "
      "shift data(len=8) to file out.txt\n";
  const std::string absent = "JTAG_Shift: ERROR, Could not open file absent.txt for reading\n";
  play("JTAG_Shift", {{{}, {"-d", "a3", "8", "-o=out.txt"}, saving, {{"file out.txt", "6b"}, {"mode out.txt", "777"}}},
                      {{}, {"-o=out.txt", "-f=absent.txt", "8"}, absent, {{"file out.txt", ""}}, 1}});
}

// IRPath shifts the instruction register (which captures ...01) and leaves it loaded in
// Run-Test/Idle; JTAG_Shift's own options mean nothing to it.
TEST_F(RawShift, IRPathCommandLines) {
  const std::string usage =
      "JTAG_IRPath: ERROR, length not specified !\nJTAG_IRPath <pattern> <length>\n\tOptional: -r[ecycle] : set "
      "TDI=TDO\n\t         -w[ait]    : enable wait for sentinel bit\n\t         -d[=<num>] (debug [=level])\n\t  "
      "       -h (help)\n\n";
  const std::string debug = "JTAG_IRPath: Shifting 3d (8 shifts)\nJTAG_IRPath: Data Out is :01\n";
  const Lines ops = {"JTAG_Select_IR", shift_op("3d", 8, 0, 1, "1")};
  play("JTAG_IRPath",
       {{{}, {"-d", "3d", "8", "-p=1", "-w", "-a"}, debug, {{"tap cpu0", "Run-Test/Idle, IR 0x3d"}}, 0, "", ops},
        {{}, {"-d", "3"}, usage, {}, 1, "", Lines{}}});
}

// Through a 16-bit chain: a recycle of n + 1 bits shows it after the pattern's first bit and leaves
// it as it was; n bits move it on by the bit fed in; a short pattern is padded at its top with the
// pad character ('1' gives ones).
TEST_F(RawShift, BitsThroughAChain) {
  const auto shift = [](const Lines &args, const std::string &out, const std::string &left) {
    return Scenario{{"cpu0.chain.05.length=16", "cpu0.chain.05=0x1234", "cpu0.chain_select=0x05", "cpu0.scan_access=1",
                     "cpu0.ir=0x80", "cpu0.tap=Run-Test/Idle"},
                    args,
                    out,
                    {{"chain cpu0.chain.05", left}}};
  };
  play("JTAG_Shift", {shift({"0", "17", "-r"}, "01234\n", "1234"), shift({"0", "16", "-r", "-a"}, "1234\n", "2468"),
                      shift({"3", "16", "-p=1"}, "1234\n", "fff3")});
}

}  // namespace
