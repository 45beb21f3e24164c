// The board's database: damage is one line and never repaired in silence,
// `jtag-sim reset` removes only what a board made, a busy board is waited for.
#include <iterator>
#include <sstream>
#include <thread>

#include "board_view.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

const std::string kIdcode = "IDCODE = 0bc0e06b\n", kMend = "; 'jtag-sim reset' powers the board up fresh\n";

Lines words(const std::string &text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// A run's status, then all it printed: one string to compare.
std::string said(const Result &r) { return std::to_string(r.status) + " " + r.out + r.err; }

class BoardStore : public FreshBoardTest {
 protected:
  std::string db() const { return path("board/board.db").string(); }
  // `command` ("NAME ARG...") run in the test's directory.
  Result run_line(const std::string &command, const std::map<std::string, std::string> &env = {}) {
    const Lines w = words(command);
    return exec(bin(w[0]), w[0], Lines(w.begin() + 1, w.end()), env);
  }
  // `script` run by sh in the board's directory (sqlite3 and the rest at hand).
  Result sh(const std::string &script) { return exec("/bin/sh", "sh", {"-c", "cd board || exit; " + script}); }
  // The board's directory (each entry's name, kind, link, size and time) and ../victim.
  std::string snapshot() { return said(sh("find . -printf '%p %y %l %s %T@\\n' | sort && cat ../victim")); }
};

// Each damage, met by a program that reads it (the file's by both writers),
// is one line and status 1, and leaves every file as it was.
TEST_F(BoardStore, DamageIsOneLineAndChangesNothing) {
  JTAGBOX_SIM_ONLY();  // over the wire it is the server that reads the board
  const std::string stray =
      " is not a regular file (a symbolic link, a FIFO or a directory): the board does not use it; nothing ";
  const std::string bad = "the simulated board in " + db() + " cannot be read (";
  const struct {
    std::string damage, command, line;  // no command: JTAG_Reset and `jtag-sim set` both
  } cases[] = {
      {"echo garbage > board.db", "", db() + " is not a simulated board's database" + kMend},
      {"sqlite3 board.db 'PRAGMA user_version = 4'", "", db() + " is a board of version 4, not 3" + kMend},
      {"sqlite3 board.db \"INSERT INTO fault VALUES ('tdo-stuck', '7')\"", "",
       bad + "bad value '7' for 'tdo-stuck' (0 or 1))" + kMend},
      {"rm board.db && mkfifo board.db", "", db() + stray + "changed\n"},
      {"ln -s ../victim board.db-journal", "", db() + "-journal" + stray + "changed\n"},
      {"sqlite3 board.db 'DELETE FROM board'", "jtag-svf p.svf", bad + "missing key 'accel_off_fail')" + kMend},
      {"sqlite3 board.db \"UPDATE tap_device SET latches = 'scan_access=0x7' || char(10) || 'scan_config=0' WHERE name "
       "= 'vnx1'\"",
       "jtag-detect", bad + "bad value '0x7' for 'vnx1.scan_access' (0 to 0x1))" + kMend},
      {"sqlite3 board.db \"UPDATE tap_device SET state = 'Shift-DR' || char(27) || '[31m' WHERE name = 'cpu1'\"",
       "jtag-sim get scan_mode", bad + "bad TAP state 'Shift-DR\\x1b[31m' for 'cpu1.tap')" + kMend},
      {"sqlite3 board.db \"INSERT OR REPLACE INTO scan_chain VALUES ('cpu0.chain.0c', 2000, x'00')\"",
       "JTAG_ScanDump 0c 2000 o.hex",
       "the scan chain cpu0.chain.0c in " + db() + " holds 1 bytes for 2000 bits" + kMend},
      {"rm board.db && echo 'jtag-sim board state 1' > board.state && echo mine > notes", "",
       "the simulated board in " + path("board").string() +
           " is in the old text format (board.state); 'jtag-sim reset' powers it up fresh in the new one\n"},
  };
  write_file(path("victim"), "mine\n");
  write_file(path("p.svf"), "STATE RESET;\n");
  for (const auto &c : cases) {
    fs::remove_all(path("board"));
    sim({"set", "cpu0.l2.0x100=0x1234"});
    ASSERT_EQ(said(sh(c.damage)), "0 ") << c.damage;
    const std::string before = snapshot();
    for (const std::string &command :
         c.command.empty() ? Lines{"JTAG_Reset", "jtag-sim set tms=0"} : Lines{c.command}) {
      EXPECT_EQ(said(run_line(command)), (command.rfind("jtag-sim", 0) == 0 ? "1 jtag-sim: " : "1 jtagbox: ") + c.line);
      EXPECT_EQ(snapshot(), before) << c.damage << " " << command;
    }
  }
  // reset refuses a planted link, mends the old format (keeping others'
  // files), and refuses a directory without a board.
  sh("ln -s ../victim board.db-wal");
  EXPECT_EQ(said(run_line("jtag-sim reset")), "1 jtag-sim: " + db() + "-wal" + stray + "removed\n");
  sh("rm board.db-wal");
  EXPECT_EQ(said(run_line("jtag-sim reset")), "0 ");
  EXPECT_EQ(said(sh("ls && cat notes")), "0 board.db\nnotes\nmine\n");
  EXPECT_EQ(said(run_line("jtag-sim reset", {{"JTAG_PLATFORM", "sim:" + path("").string()}})),
            "1 jtag-sim: " + path("").string() + " holds files that are not a simulated board's; nothing removed\n");
}

// A board of an older layout (version 1: no SRST columns and no faults)
// reads as one without them, and the first run that writes it adds both.
TEST_F(BoardStore, AnOlderBoardGainsWhatItLacksWhenWritten) {
  JTAGBOX_SIM_ONLY();
  sim({"set", "cpu0.l2.0x100=0x1234"});
  sh("sqlite3 board.db 'DROP TABLE fault; ALTER TABLE board DROP COLUMN srst; "
     "ALTER TABLE board DROP COLUMN srst_assertions; PRAGMA user_version = 1'");
  EXPECT_EQ(said(run_line("jtag-sim get cpu0.l2.0x100")), "0 0x0000000000001234\n");
  EXPECT_EQ(said(sh("sqlite3 board.db 'PRAGMA user_version'")), "0 1\n");
  EXPECT_EQ(said(run_line("jtag-sim fault tdo-stuck=0")), "0 ");
  EXPECT_EQ(said(sh("sqlite3 board.db 'PRAGMA user_version; SELECT srst, srst_assertions FROM board; "
                    "SELECT * FROM fault'")),
            "0 3\n0|0\ntdo-stuck|0\n");
  EXPECT_EQ(said(run_line("jtag-sim get cpu0.l2.0x100")), "0 0x0000000000001234\n");
}

// `get` prints values as `set` takes them (sim:dir=DIR being sim:DIR);
// looking writes nothing, not even the file's time; an unknown key is one line.
TEST_F(BoardStore, GetRoundTripsAndLookingWritesNothing) {
  const Lines values = words(
      "scan_mode=0x47 fpga.0xcb1000=0xfe cpu1.tap=Run-Test/Idle cpu0.ir=0x3d cpu1.l2.0x100=0x00000000feedface "
      "cpu0.creg.0xffffffffff=0x0000000000000001 cpu0.chain.0c.length=40 cpu0.chain.0c=0x12345abcde");
  std::string get = "jtag-sim get", expected = "0 ";
  for (const std::string &v : values)
    get += " " + v.substr(0, v.find('=')), expected += v.substr(v.find('=') + 1) + "\n";
  sim(Lines{"set"} + values);
  const std::string before = snapshot();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));  // a rewrite would show in the file's time
  EXPECT_EQ(said(run_line(get, {{"JTAG_PLATFORM", "sim:dir=" + path("board").string()}})), expected);
  for (const char *c : {"jtag-sim show", "jtag-sim chain cpu2.chain.3f", "jtag-sim set cpu0.l2.0x101=1"}) run_line(c);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(said(exec(bin("jtag-sim"), "jtag-sim", {"get", "tms", "cpu0.\033]0;x\007"})),
            "1 jtag-sim: no key 'cpu0.\\x1b]0;x\\x07' (see 'jtag-sim --help')\n");
}

// Waiting more than a second for a board another process (sqlite3) holds
// is said once, with that process; then the command runs.
TEST_F(BoardStore, BusyBoardIsSaidAfterASecond) {
  JTAGBOX_SIM_ONLY();  // over the wire the server is the one that waits
  sim({"reset"});
  const Result r =
      sh("(echo .timeout 5000; echo 'BEGIN IMMEDIATE;'; sleep 1.5) | sqlite3 board.db & "
         "until ! sqlite3 board.db 'BEGIN IMMEDIATE' 2>/dev/null; do :; done; echo $!; exec " +
         bin("JTAG_Reset").string());
  const std::string holder = r.out.substr(0, r.out.find('\n'));
  EXPECT_EQ(said(r), "0 " + holder + "\n" + kIdcode + "jtagbox: the simulated board in " + path("board").string() +
                         " is busy (held by process " + holder + "); waiting up to 30 s\n");
}

// A relative XDG_STATE_HOME is ignored for $HOME/.local/state; a relative HOME is refused.
TEST_F(BoardStore, RelativeXdgStateHomeIsIgnored) {
  JTAGBOX_SIM_ONLY();  // the commands' default board
  const auto reset = [&](const std::string &home) {
    return said(run_line("JTAG_Reset", {{"JTAG_PLATFORM", ""}, {"XDG_STATE_HOME", "xdg"}, {"HOME", home}}));
  };
  EXPECT_EQ(reset(path("home").string()), "0 " + kIdcode);
  EXPECT_EQ(reset("home"),
            "1 jtagbox: neither XDG_STATE_HOME nor HOME is an absolute path: no place for the simulated board\n");
  EXPECT_TRUE(fs::exists(path("home/.local/state/jtag-sim/board.db")));
}

// A chain beyond the memory there is: one line (left out of the sanitized
// build: ASan's shadow memory cannot live under ulimit -v).
TEST_F(BoardStore, ChainBeyondMemoryIsOneLine) {
  JTAGBOX_SIM_ONLY();  // the server would be the one out of memory
  sim({"set", "cpu0.chain.0c.length=4294967295"});
  EXPECT_EQ(said(sh("ulimit -v 400000; exec " + bin("JTAG_ScanDump").string() + " 0c 8 ../o.hex")),
            "1 jtagbox: out of memory\n");
}

}  // namespace
