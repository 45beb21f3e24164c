// The board's database: damage is one line and status 1 and never repaired
// in silence, `jtag-sim reset` mends any board of ours and removes nothing
// else, a killed command keeps the run before, a busy board is waited for.
#include <iterator>
#include <random>
#include <sstream>
#include <thread>

#include "board_view.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

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

// Each damage, met by the program that reads it (damage to the file by both
// writers), is one exact line and status 1 and leaves every file as it was.
TEST_F(BoardStore, DamageIsOneLineAndChangesNothing) {
  JTAGBOX_SIM_ONLY();  // over the wire it is the server that reads the board
  const std::string stray =
      " is not a regular file (a symbolic link, a FIFO or a directory): the board does not use it; nothing ";
  const std::string bad = "the simulated board in " + db() + " cannot be read (";
  const struct {
    std::string damage, command, line;  // no command: JTAG_Reset and `jtag-sim set` both
  } cases[] = {
      {"echo garbage > board.db", "", db() + " is not a simulated board's database" + kMend},
      {"sqlite3 board.db 'PRAGMA user_version = 3'", "", db() + " is a board of version 3, not 2" + kMend},
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
  // `jtag-sim reset` refuses a planted link, mends the old format (keeping a
  // file of someone else's), and refuses a directory that holds no board.
  sh("ln -s ../victim board.db-wal");
  EXPECT_EQ(said(run_line("jtag-sim reset")), "1 jtag-sim: " + db() + "-wal" + stray + "removed\n");
  sh("rm board.db-wal");
  EXPECT_EQ(said(run_line("jtag-sim reset")), "0 ");
  EXPECT_EQ(said(sh("ls && cat notes")), "0 board.db\nnotes\nmine\n");
  EXPECT_EQ(said(run_line("jtag-sim reset", {{"JTAG_PLATFORM", "sim:" + path("").string()}})),
            "1 jtag-sim: " + path("").string() + " holds files that are not a simulated board's; nothing removed\n");
}

// Random cuts and bit flips (JTAGBOX_FUZZ_ROUNDS boards, 60; the seed in
// JTAGBOX_FUZZ_SEED repeats a failure): each program ends with 0 and nothing
// said or 1 and one line, and `jtag-sim reset` mends each board.
TEST_F(BoardStore, AnyDamageIsAtMostOneLineAndResetMendsIt) {
  JTAGBOX_SIM_ONLY();  // the programs must be the ones reading the file
  const char *rounds = std::getenv("JTAGBOX_FUZZ_ROUNDS"), *seed = std::getenv("JTAGBOX_FUZZ_SEED");
  const unsigned first = seed != nullptr ? unsigned(std::atol(seed)) : std::random_device{}();
  std::mt19937 random(first);
  sim({"set", "cpu0.l2.0x100=0x1234", "cpu0.chain.0c.length=300"});
  const std::string good = read_file(db());
  write_file(path("p.svf"), "STATE RESET; SIR 8 TDI (fe); SDR 32 TDI (0) TDO (0bc0e06b);\n");
  for (int round = 0; round < (rounds != nullptr ? std::atoi(rounds) : 60); ++round) {
    std::string bytes = good, what = "seed " + std::to_string(first) + " round " + std::to_string(round) + ":";
    for (unsigned flips = 1 + random() % 4; flips > 0; --flips) {
      const size_t at = random() % bytes.size();
      what += (flips == 4 ? " cut at " : " flip at ") + std::to_string(at);
      flips == 4 ? bytes.resize(at) : void(bytes[at] = char(bytes[at] ^ (1 << random() % 8)));
    }
    write_file(db(), bytes);
    for (const char *command :
         {"JTAG_Reset", "JTAG_ReadMem 100 2", "jtag-svf -q p.svf", "JTAG_ScanDump 0c 3 o", "jtag-sim show"}) {
      const Result r = run_line(command);
      const auto lines = std::count(r.err.begin(), r.err.end(), '\n');
      EXPECT_EQ(std::to_string(r.status) + std::to_string(lines) + (r.err.empty() || r.err.back() == '\n' ? "" : "?"),
                r.status == 0 ? "00" : "11")
          << what << " " << command << ": " << said(r);
    }
    EXPECT_EQ(said(run_line("jtag-sim reset")), "0 ") << what;
    EXPECT_EQ(said(run("JTAG_Reset")), "0 " + kIdcode) << what;
  }
}

// `get` prints values as `set` takes them (sim:dir=DIR being sim:DIR);
// looking (get, show, chain, a refused set) writes nothing, not even the
// file's time; an unknown key is its line alone.
TEST_F(BoardStore, GetRoundTripsAndLookingWritesNothing) {
  const Lines values = words(
      "scan_mode=0x47 fpga.0xcb1000=0xfe cpu1.tap=Run-Test/Idle cpu0.ir=0x3d cpu1.l2.0x100=0x00000000feedface "
      "cpu0.creg.0xffffffffff=0x0000000000000001 cpu0.chain.0c.length=40 cpu0.chain.0c=0x12345abcde");
  std::string get = "jtag-sim get", expected = "0 ";
  for (const std::string &v : values)
    get += " " + v.substr(0, v.find('=')), expected += v.substr(v.find('=') + 1) + "\n";
  sim(Lines{"set"} + values);
  const std::string before = snapshot();
  std::this_thread::sleep_for(20ms);  // a rewrite would show in the file's time
  EXPECT_EQ(said(run_line(get, {{"JTAG_PLATFORM", "sim:dir=" + path("board").string()}})), expected);
  for (const char *looking : {"jtag-sim show", "jtag-sim chain cpu2.chain.3f", "jtag-sim set cpu0.l2.0x101=1"})
    run_line(looking);
  EXPECT_EQ(snapshot(), before);
  EXPECT_EQ(said(exec(bin("jtag-sim"), "jtag-sim", {"get", "tms", "cpu0.\033]0;x\007"})),
            "1 jtag-sim: no key 'cpu0.\\x1b]0;x\\x07' (see 'jtag-sim --help')\n");
}

// A command that waits more than a second for a board another process
// (here sqlite3) holds says so once, with that process; then it runs.
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

// A relative XDG_STATE_HOME is ignored for $HOME/.local/state; a relative
// HOME is refused.
TEST_F(BoardStore, RelativeXdgStateHomeIsIgnored) {
  JTAGBOX_SIM_ONLY();  // the commands' default board
  for (const std::string &home : {path("home").string(), std::string("home")})
    EXPECT_EQ(
        said(run_line("JTAG_Reset", {{"JTAG_PLATFORM", ""}, {"XDG_STATE_HOME", "xdg"}, {"HOME", home}})),
        home[0] == '/'
            ? "0 " + kIdcode
            : "1 jtagbox: neither XDG_STATE_HOME nor HOME is an absolute path: no place for the simulated board\n");
  EXPECT_TRUE(fs::exists(path("home/.local/state/jtag-sim/board.db")));
}

// A chain too long for the memory there is: one line, status 1.  (Left out
// of a sanitized build: ASan's shadow memory cannot live under ulimit -v.)
TEST_F(BoardStore, ChainBeyondMemoryIsOneLine) {
  JTAGBOX_SIM_ONLY();  // the server would be the one out of memory
  sim({"set", "cpu0.chain.0c.length=4294967295"});
  EXPECT_EQ(
      said(exec("/bin/sh", "sh", {"-c", "ulimit -v 400000; exec \"$0\" 0c 8 o.hex", bin("JTAG_ScanDump").string()})),
      "1 jtagbox: out of memory\n");
}

// The server drops a client whose bytes meet a bad row, with that line, and
// serves the next client after a reset.
class ServedDamage : public ServedBoardTest {};

TEST_F(ServedDamage, ServerDropsTheClientAndKeepsServing) {
  const std::string db = path("board/board.db").string();
  sim({"reset"});
  ASSERT_EQ(exec("/usr/bin/sqlite3", "sqlite3", {db, "UPDATE tap_device SET latches = 'x' WHERE name = 'vnx2'"}).status,
            0);
  serve();
  EXPECT_EQ(said(over_wire("JTAG_Reset", {})),
            "1 jtagbox: remote_bitbang server 127.0.0.1:" + std::to_string(port_) + ": closed the connection\n");
  sim({"reset"});
  EXPECT_EQ(said(over_wire("JTAG_Reset", {})), "0 " + kIdcode);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "jtag-sim serve: the simulated board in " + db + " cannot be read (line 1 is not key=value)" +
                             kMend.substr(0, kMend.size() - 1) + "; client dropped\n");
}

}  // namespace
