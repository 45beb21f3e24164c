// jtag-scan: maps and dumps refused with their one line, decode, diff and
// set on files alone (ScanFiles, no board), then the loop on the board:
// dump, set, shift back in, dump, decode (ScanLoop), and measure.
#include <sys/stat.h>
#include <unistd.h>

#include "board_view.h"

namespace {

using namespace e2e;

// A 16-bit chain: a at bits 0..3, b at 4..11, bits 12..15 unmapped.
constexpr const char *kMap = "# test\nchain t 16\na 0 4\nb 4 8  # eight\n\nchain u 6\nx 1 5\n";

class ScanFiles : public FreshBoardTest {
 protected:
  Result scan(const Lines &args) { return run("jtag-scan", args); }
  std::string said(const Result &r) { return std::to_string(r.status) + "|" + r.out + "|" + r.err; }
};

// Every bad map, bad dump and bad value: exactly one line, status 2, nothing on standard output.
TEST_F(ScanFiles, EachFaultIsOneLineAndStatusTwo) {
  struct Case {
    std::string map, dump;
    Lines args;
    std::string err;
  };
  const std::vector<Case> cases = {
      {"chain t 16\na 0 4\nb 3 2\n", "", {}, "m.map:3: latch b overlaps latch a at bit 3"},
      {"chain t 16\nb 3 2\na 0 4\n", "", {}, "m.map:3: latch a overlaps latch b at bit 3"},
      {"chain t 16\na 12 5\n", "", {}, "m.map:2: latch a (bits 12 to 16) reaches past the end of chain t (16 bits)"},
      {"chain t 16\na 16 1\n", "", {}, "m.map:2: offset 16 is out of range (0 to 15)"},
      {"chain t 16\na 0 1\n# x\na 2 1\n", "", {}, "m.map:4: latch a is defined twice in chain t (first on line 2)"},
      {"chain t 4294967296\n", "", {}, "m.map:1: chain length 4294967296 is out of range (1 to 4294967295)"},
      {"chain t 0\n", "", {}, "m.map:1: chain length 0 is out of range (1 to 4294967295)"},
      {"chain t 99999999999999999999999\n",
       "",
       {},
       "m.map:1: chain length 99999999999999999999999 is out of range (1 to 4294967295)"},
      {"chain t 16\na 0 0\n", "", {}, "m.map:2: width 0 is out of range (1 to 16)"},
      {"chain t 16\na 0 1x\n", "", {}, "m.map:2: width '1x' is not a decimal number"},
      {"a 0 1\n", "", {}, "m.map:1: a latch before the first chain line"},
      {"chain t 16\na 0\n", "", {}, "m.map:2: a latch is NAME OFFSET WIDTH, not 2 words"},
      {"chain t\n", "", {}, "m.map:1: a chain line is 'chain NAME LENGTH'"},
      {"chain t/1 4\n", "", {}, "m.map:1: chain name 't/1' is not a name (letters, digits, '.', '_', '-')"},
      {"chain t 16\na[0] 0 1\n", "", {}, "m.map:2: latch name 'a[0]' is not a name (letters, digits, '.', '_', '-')"},
      {"chain t 4\nchain t 4\n", "", {}, "m.map:2: chain t is defined twice"},
      {kMap, "", {"decode", "m.map", "v", "d.hex"}, "m.map: no chain v"},
      {kMap, "123", {}, "d.hex: 3 hex digits, expected 4 for a chain of 16 bits"},
      {"chain big 4294967295\n",
       "0\n",
       {"decode", "m.map", "big", "d.hex"},
       "d.hex: 1 hex digits, expected 1073741824 for a chain of 4294967295 bits"},
      {kMap, "12345", {}, "d.hex: 5 hex digits, expected 4 for a chain of 16 bits"},
      {kMap, "12g4", {}, "d.hex: offset 2: 'g' is not a hex digit"},
      {kMap, "1234\n\n", {}, "d.hex: offset 5: text after the line end"},
      {kMap, "", {"decode", "m.map", "u", "d.hex"}, "d.hex: 0 hex digits, expected 2 for a chain of 6 bits"},
      {kMap, "40", {"decode", "m.map", "u", "d.hex"}, "d.hex: bit 6 is set, above the chain's 6 bits"},
      {kMap, "1234", {"decode", "m.map", "t", "d.hex", "--only", "a,c"}, "chain t has no latch c"},
      {kMap, "1234", {"set", "m.map", "t", "d.hex", "c=1", "--out", "o.hex"}, "chain t has no latch c"},
      {kMap,
       "1234",
       {"set", "m.map", "t", "d.hex", "a=0x10", "--out", "o.hex"},
       "a=0x10: the value does not fit latch a (4 bits)"},
      {kMap,
       "1234",
       {"set", "m.map", "t", "d.hex", "a=16", "--out", "o.hex"},
       "a=16: the value does not fit latch a (4 bits)"},
      {kMap, "1234", {"set", "m.map", "t", "d.hex", "a=0xz", "--out", "o.hex"}, "a=0xz: 'z' is not a hex number"},
      {kMap,
       "1234",
       {"set", "m.map", "t", "d.hex", "a=-1", "--out", "o.hex"},
       "a=-1: the value is neither 0x hex nor decimal"},
      {kMap, "1234", {"set", "m.map", "t", "d.hex", "a", "--out", "o.hex"}, "a: not NAME=VALUE"},
      {kMap, "1234", {"decode", "m.map", "t", "nothere.hex"}, "cannot open nothere.hex: No such file or directory"},
      {kMap, "1234", {"decode", "m.map", "t", "."}, "cannot read .: Is a directory"},
  };
  for (const Case &c : cases) {
    write_file(path("m.map"), c.map);
    write_file(path("d.hex"), c.dump);
    const Lines args = c.args.empty() ? Lines{"decode", "m.map", "t", "d.hex"} : c.args;
    EXPECT_EQ(said(scan(args)), "2||jtag-scan: " + c.err + "\n") << c.map << " " << c.dump;
    EXPECT_FALSE(exists("o.hex")) << c.err;
  }
}

// Bit 0 is the dump's least significant bit: 0x1234 holds a = 4, b = 0x23.
TEST_F(ScanFiles, DecodeDiffAndSet) {
  write_file(path("m.map"), kMap);
  write_file(path("a.hex"), "1234");
  write_file(path("b.hex"), "9274\n");  // b 0x23 -> 0x27, bit 15 set
  write_file(path("c.hex"), "1234\n");
  write_file(path("r.map"), "chain t 16\nb 4 8\na 0 4\n");  // not by offset
  const std::vector<std::pair<Lines, std::string>> cases = {
      {{"decode", "m.map", "t", "a.hex"}, "0|a = 0x4\nb = 0x23\n|"},
      {{"decode", "m.map", "t", "a.hex", "--only", "b*"}, "0|b = 0x23\n|"},
      {{"decode", "m.map", "t", "a.hex", "--json"}, "0|{\n  \"a\": \"0x4\",\n  \"b\": \"0x23\"\n}\n|"},
      {{"decode", "m.map", "u", "a.hex"}, "2||jtag-scan: a.hex: 4 hex digits, expected 2 for a chain of 6 bits\n"},
      {{"diff", "m.map", "t", "a.hex", "c.hex"}, "0|unmapped bits: none differs\n|"},
      {{"diff", "m.map", "t", "a.hex", "b.hex"}, "1|b 0x23 -> 0x27\nunmapped bits: 1 differs, the first at bit 15\n|"},
      {{"diff", "r.map", "t", "b.hex", "a.hex"}, "1|b 0x27 -> 0x23\nunmapped bits: 1 differs, the first at bit 15\n|"},
      {{"diff", "m.map", "t", "a.hex", "b.hex", "--json"},
       "1|{\n  \"latches\": {\n    \"b\": [\"0x23\", \"0x27\"]\n  },\n  \"unmapped_bits_differing\": 1,\n"
       "  \"first_unmapped_bit_differing\": 15\n}\n|"},
      {{"diff", "m.map", "t", "a.hex"},
       "2||jtag-scan: usage: jtag-scan diff MAP CHAIN A B [--json]\nTry 'jtag-scan --help'.\n"},
      {{"decode", "m.map", "t", "a.hex", "--out", "x"},
       "2||jtag-scan: decode takes no option --out\nTry 'jtag-scan --help'.\n"},
      {{"--version"}, "0|jtag-scan (jtagbox) " JTAGBOX_VERSION "\n|"},
      {{"set", "m.map", "t", "a.hex", "a=9", "b=0xff", "--out", "s.hex"}, "0||"},
      {{"set", "m.map", "t", "a.hex", "a=1", "--out", "s.hex"}, "2||jtag-scan: s.hex exists; --force replaces it\n"},
  };
  for (const auto &[args, expected] : cases) EXPECT_EQ(said(scan(args)), expected) << testing::PrintToString(args);
  EXPECT_EQ(file("s.hex"), "1ff9");
  EXPECT_EQ(file_mode(path("s.hex")), 0600u);  // 0666 less the tests' umask (077)
  // --force replaces a link at the name, never the file it points to.
  ASSERT_EQ(::symlink("a.hex", path("l.hex").c_str()), 0);
  EXPECT_EQ(said(scan({"set", "m.map", "t", "c.hex", "a=0", "--out", "l.hex"})),
            "2||jtag-scan: l.hex exists; --force replaces it\n");
  EXPECT_EQ(said(scan({"set", "m.map", "t", "c.hex", "a=0", "--out", "l.hex", "--force"})), "0||");
  EXPECT_EQ(file("a.hex") + " " + file("l.hex") + " " + std::to_string(std::filesystem::is_symlink(path("l.hex"))),
            "1234 1230 0");
  const Result full = run_to("/dev/full", "jtag-scan", {"decode", "m.map", "t", "a.hex"});
  EXPECT_EQ(std::to_string(full.status) + full.err,
            "2jtag-scan: cannot write standard output: No space left on device\n");
  // Only a file or a link is replaced: a FIFO (or a device) stays; a folder that is not there is one line.
  ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
  EXPECT_EQ(said(scan({"set", "m.map", "t", "a.hex", "a=1", "--out", "fifo", "--force"})),
            "2||jtag-scan: fifo is not a regular file; --force replaces only files\n");
  EXPECT_TRUE(std::filesystem::is_fifo(path("fifo")));
  EXPECT_EQ(said(scan({"set", "m.map", "t", "a.hex", "a=1", "--out", "no/o.hex"})),
            "2||jtag-scan: cannot create no/o.hex: No such file or directory\n");
  EXPECT_EQ(said(scan({"set", "m.map", "t", "a.hex", "a=1", "--out", "no/o.hex", "--force"})),
            "2||jtag-scan: cannot create no/o.hex: No such file or directory\n");
}

class ScanLoop : public FreshBoardTest {
 protected:
  Result scan(const Lines &args) { return run("jtag-scan", args); }
};

// The order itself, on a short dump of a chain set from outside: bits 0..3 out first are the last digit.
TEST_F(ScanLoop, BitOrderAgainstTheBoard) {
  sim({"set", "cpu0.chain.0c.length=40", "cpu0.chain.0c=0x12345abcde"});
  write_file(path("m.map"), "chain four 4\nlow 0 3\ntop 3 1\nchain c 40\nlo 0 8\nhi 32 8\nmid 9 20\n");
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "4", "f.hex", "-r"}).status, 0);
  EXPECT_EQ(file("f.hex"), "e");
  EXPECT_EQ(scan({"decode", "m.map", "four", "f.hex"}).out, "low = 0x6\ntop = 0x1\n");
  sim({"set", "cpu0.chain.0c=0x12345abcde"});  // the short recycled dump moved it
  ASSERT_EQ(run("JTAG_ScanDump", {"0c", "40", "w.hex", "-r"}).status, 0);
  EXPECT_EQ(scan({"decode", "m.map", "c", "w.hex"}).out, "lo = 0xde\nhi = 0x12\nmid = 0xa2d5e\n");
}

// dump -> set -> JTAG_ScanDump -f= -> dump -> decode and diff, on a processor chain and a Vornex chain.
TEST_F(ScanLoop, SetValuesComeBackFromTheBoard) {
  const std::string maps = (bin("jtag-scan").parent_path().parent_path() / "share/jtagbox/scan-maps/").string();
  struct Loop {
    Lines route;
    std::string map, chain, command;
    Lines selector;
    std::string length;
    Lines sets;
    std::string flip;  // a one-bit latch, set to the other value
    std::string decoded, differ;
  };
  const std::vector<Loop> loops = {
      {{"scan_mode=0x04"},
       "sim-processors.map",
       "cpu2.chain.0c",
       "JTAG_ScanDump",
       {"0c"},
       "1454",
       {"pc=0x100", "gpr15=0xffffffffffffffff"},
       "halted",
       "pc = 0x0000000000000100\ngpr15 = 0xffffffffffffffff\n",
       "pc gpr15 halted"},
      {{"scan_mode=0x47", "fpga.0xcb1000=1"},
       "sim-vornex.map",
       "vnx1.chain",
       "JTAG_VnxScanDump",
       {},
       "3250",
       {"lane7.errors=0xbeef", "status=7"},
       "parity",
       "status = 0x0007\nlane7.errors = 0xbeef\n",
       "status lane7.errors parity"},
  };
  for (const Loop &l : loops) {
    fresh();
    sim(Lines{"set"} + l.route);
    ASSERT_EQ(run(l.command, l.selector + Lines{l.length, "a.hex", "-r"}).status, 0);
    const std::string bit = scan({"decode", maps + l.map, l.chain, "a.hex", "--only", l.flip}).out;
    const std::string flipped = l.flip + (bit == l.flip + " = 0x1\n" ? "=0" : "=1");
    const Lines set = {"set", maps + l.map, l.chain, "a.hex", flipped};
    ASSERT_EQ(scan(set + l.sets + Lines{"--out", "p.hex", "--force"}).status, 0);
    ASSERT_EQ(run(l.command, l.selector + Lines{l.length, "old.hex", "-f=p.hex"}).status, 0);
    ASSERT_EQ(run(l.command, l.selector + Lines{l.length, "b.hex", "-r"}).status, 0);
    EXPECT_EQ(file("old.hex"), file("a.hex"));
    EXPECT_EQ(file("b.hex"), file("p.hex"));
    std::string names, only;
    for (const std::string &s : l.sets) only += (only.empty() ? "" : ",") + s.substr(0, s.find('='));
    EXPECT_EQ(scan({"decode", maps + l.map, l.chain, "b.hex", "--only", only}).out, l.decoded);
    // Every latch either set or as it was, the unmapped bits unchanged.
    const Result d = scan({"diff", maps + l.map, l.chain, "a.hex", "b.hex"});
    EXPECT_EQ(d.status, 1);
    for (const std::string &line : split_lines(d.out))
      if (line.rfind("unmapped", 0) != 0) names += (names.empty() ? "" : " ") + line.substr(0, line.find(' '));
    EXPECT_EQ(names, l.differ) << d.out;
    EXPECT_EQ(split_lines(d.out).back(), "unmapped bits: none differs");
  }
}

// measure gives jtag-sim's lengths and leaves the chain as it was; a wire backend measures only
// the device the board routes.
TEST_F(ScanLoop, MeasureFindsTheLengthAndLeavesTheChain) {
  sim({"set", "scan_mode=0x04"});
  const std::string before = chain("cpu2.chain.0c");
  EXPECT_EQ(scan({"measure", "cpu", "2", "chain", "0c", "--max", "4096"}).out, "1454\n");
  EXPECT_EQ(chain("cpu2.chain.0c"), before);
  EXPECT_EQ(get("scan_mode"), "0x4");
  const Result other = scan({"measure", "vnx", "1", "--max", "4096"});
  if (over_wire()) {
    EXPECT_EQ(std::to_string(other.status) + other.out + other.err,
              "2jtag-scan: this backend cannot select the scan mode, and the board routes cpu2, not vnx1\n");
  } else {
    const std::string vnx = chain("vnx1.chain");
    EXPECT_EQ(std::to_string(other.status) + other.out + other.err, "03250\n");
    EXPECT_EQ(chain("vnx1.chain"), vnx);  // the clock was stopped around it
    EXPECT_EQ(get("fpga.0xcb1000") + " " + get("scan_mode"), "0x0 0x4");
  }
  EXPECT_EQ(chain("cpu2.chain.0c"), before);
  EXPECT_EQ(scan({"measure", "cpu", "4", "chain", "0c"}).status, 2);
  // skeleton: every chain of every device where the scan mode can be chosen, else the routed one's.
  const Lines skeleton = split_lines(scan({"skeleton", "--max", "4096"}).out);
  ASSERT_EQ(skeleton.size(), over_wire() ? 65u : 261u);
  EXPECT_EQ(skeleton[1] + "|" + skeleton[13] + "|" + skeleton.back(),
            over_wire() ? "chain cpu2.chain.00 1010|chain cpu2.chain.0c 1454|chain cpu2.chain.3f 3341"
                        : "chain cpu0.chain.00 1000|chain cpu0.chain.0c 1444|chain vnx3.chain 3750");
  EXPECT_EQ(chain("cpu2.chain.0c"), before);
  // A chain longer than the bound: where its bits end is not known, so they are lost.
  const Result small = scan({"measure", "cpu", "2", "chain", "0c", "--max", "1000"});
  EXPECT_EQ(std::to_string(small.status) + small.out + small.err,
            "2jtag-scan: cpu2.chain.0c: nothing came back within 1000 bits\n");
}

}  // namespace
