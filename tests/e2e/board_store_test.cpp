// The board's database: damage that is reported and never repaired in
// silence, what `jtag-sim reset` may remove, a killed command, a busy
// board, and `jtag-sim get`.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <map>
#include <thread>

#include "board_view.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr const char *kIdcodeCpu0 = "IDCODE = 0bc0e06b\n";
constexpr const char *kMend = "; 'jtag-sim reset' powers the board up fresh\n";

// Every entry of a directory as it stands: regular files by their bytes,
// links by their target, anything else by its kind.
std::map<std::string, std::string> snapshot(const fs::path &dir) {
  std::map<std::string, std::string> entries;
  std::error_code ec;
  for (const auto &e : fs::recursive_directory_iterator(dir, ec)) {
    const fs::file_status st = e.symlink_status();
    std::string what = "other";
    if (fs::is_symlink(st))
      what = "link to " + fs::read_symlink(e.path()).string();
    else if (fs::is_regular_file(st))
      what = "file " + read_file(e.path());
    else if (fs::is_directory(st))
      what = "directory";
    entries[fs::relative(e.path(), dir).string()] = what;
  }
  return entries;
}

// One byte of board.db's header changed.
void poke_header(const fs::path &db, size_t at, char value) {
  std::string bytes = read_file(db);
  bytes[at] = value;
  write_file(db, bytes);
}

class BoardStore : public FreshBoardTest {
 protected:
  fs::path board() const { return path("board"); }
  Result tool(const Lines &args) { return exec(bin("jtag-sim"), "jtag-sim", args); }

  // Starts `command` with the test's environment; the caller waits for it.
  pid_t start(const std::string &command, const Lines &args) {
    const pid_t pid = fork();
    if (pid == 0) {
      for (const auto &[k, v] : env_) ::setenv(k.c_str(), v.c_str(), 1);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 1);
      ::dup2(null, 2);
      ::chdir(path("").c_str());
      std::vector<char *> argv{const_cast<char *>(command.c_str())};
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(bin(command).c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }
  // Kills the run with SIGKILL once board.db-journal appears (the commit is
  // under way) or `limit` has passed; true when it was killed, not done.
  bool kill_mid_run(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    int status = 0;
    while (Clock::now() < deadline && !fs::exists(board() / "board.db-journal")) {
      if (::waitpid(pid, &status, WNOHANG) == pid) return false;
      std::this_thread::sleep_for(200us);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return WIFSIGNALED(status);
  }
};

// Each damage gives one line naming the file and what to do, status 1, and
// leaves every file of the board directory as it was, for the commands and
// for the board tool alike.  (A board.db without read permission cannot be
// shown when the suite runs as root, as CI does; a dangling link stands for
// every file that cannot be opened.)
TEST_F(BoardStore, DamageIsReportedAndChangesNothing) {
  JTAGBOX_SIM_ONLY();  // over the wire it is the server that reads the board
  const std::string db = (board() / "board.db").string();
  const std::string not_regular =
      " is not a regular file (a symbolic link, a FIFO or a directory): the board does not use it; nothing changed\n";
  struct Case {
    std::string name;
    std::function<void()> damage;
    std::string line;  // after "jtagbox: " or "jtag-sim: "
  };
  const Case cases[] = {
      {"not a database", [&] { write_file(db, "garbage\n"); }, db + " is not a simulated board's database" + kMend},
      {"an SQLite database of someone else's", [&] { poke_header(db, 71, 0); },
       db + " is not a simulated board's database" + kMend},
      {"another version", [&] { poke_header(db, 63, 3); }, db + " is a board of version 3, not 2" + kMend},
      {"a dangling link", [&] { fs::remove(db), fs::create_symlink("nowhere", db); }, db + not_regular},
      {"a FIFO", [&] { fs::remove(db), ::mkfifo(db.c_str(), 0600); }, db + not_regular},
      {"a link planted at the journal",
       [&] { write_file(path("victim"), "mine\n"), fs::create_symlink(path("victim"), db + "-journal"); },
       db + "-journal" + not_regular},
      {"a link planted at the WAL", [&] { fs::create_symlink(path("victim"), db + "-wal"); },
       db + "-wal" + not_regular},
      {"the old text format", [&] { fs::remove(db), write_file(board() / "board.state", "jtag-sim board state 1\n"); },
       "the simulated board in " + board().string() +
           " is in the old text format (board.state); 'jtag-sim reset' powers it up fresh in the new one\n"},
  };
  for (const Case &c : cases) {
    fs::remove_all(board());
    sim({"reset"});
    sim({"set", "cpu0.l2.0x100=0x1234"});
    c.damage();
    const auto before = snapshot(board());
    const auto victim = snapshot(path("")).count("victim") ? read_file(path("victim")) : "";
    for (const auto &[program, args] : {std::pair<std::string, Lines>{"JTAG_Reset", {}},
                                        {"jtag-sim", {"get", "scan_mode"}},
                                        {"jtag-sim", {"set", "tms=0"}},
                                        {"jtag-sim", {"show"}}}) {
      const Result r = program == "JTAG_Reset" ? run(program) : tool(args);
      const std::string who = program == "JTAG_Reset" ? "jtagbox: " : "jtag-sim: ";
      EXPECT_EQ(r.status, 1) << c.name << ": " << program;
      EXPECT_EQ(r.out, "") << c.name << ": " << program;
      EXPECT_EQ(r.err, who + c.line) << c.name << ": " << program;
      EXPECT_EQ(snapshot(board()), before) << c.name << ": " << program;
    }
    if (!victim.empty()) {
      EXPECT_EQ(read_file(path("victim")), victim) << c.name;
    }
  }
  // The old format `jtag-sim reset` mends; a planted link it refuses.
  fs::create_symlink(path("victim"), db + "-wal");
  const Result refused = tool({"reset"});
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "jtag-sim: " + db +
                             "-wal is not a regular file (a symbolic link, a FIFO or a directory): the board does not "
                             "use it; nothing removed\n");
  EXPECT_TRUE(fs::exists(board() / "board.state"));
  fs::remove(board() / "board.db-wal");
  sim({"reset"});
  EXPECT_FALSE(fs::exists(board() / "board.state"));
  EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0);
}

// `jtag-sim reset` removes what a board made, never anything else: a
// directory with other files and no board is refused, other files in a
// board's directory stay, and of the old text format only its own files go.
TEST_F(BoardStore, ResetRemovesOnlyWhatTheBoardMade) {
  fs::create_directories(path("home"));
  write_file(path("home/mine.txt"), "keep\n");
  Result r = exec(bin("jtag-sim"), "jtag-sim", {"reset"}, {{"JTAG_PLATFORM", "sim:" + path("home").string()}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err,
            "jtag-sim: " + path("home").string() + " holds files that are not a simulated board's; nothing removed\n");
  EXPECT_EQ(snapshot(path("home")), (std::map<std::string, std::string>{{"mine.txt", "file keep\n"}}));
  // Someone else's board.db among their files is not the board's to remove.
  write_file(path("home/board.db"), "theirs\n");
  r = exec(bin("jtag-sim"), "jtag-sim", {"reset"}, {{"JTAG_PLATFORM", "sim:" + path("home").string()}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(snapshot(path("home")),
            (std::map<std::string, std::string>{{"board.db", "file theirs\n"}, {"mine.txt", "file keep\n"}}));

  fs::remove_all(board());
  fs::create_directories(board() / "chains");
  for (const char *old : {"board.state", "board.state.tmp", "lock", "chains/cpu0.chain.0c.bits"})
    write_file(board() / old, "jtag-sim board state 1\n");
  write_file(board() / "chains/notes.txt", "keep\n");
  write_file(board() / "notes.txt", "keep\n");
  sim({"reset"});
  auto left = snapshot(board());
  EXPECT_EQ(left.count("board.db"), 1u);
  left.erase("board.db");
  EXPECT_EQ(left, (std::map<std::string, std::string>{
                      {"chains", "directory"}, {"chains/notes.txt", "file keep\n"}, {"notes.txt", "file keep\n"}}));
  sim({"set", "cpu0.creg.0x10=0x1"});
  sim({"reset"});
  EXPECT_EQ(sim({"get", "cpu0.creg.0x10"}), "0xc000000000000010\n");
  EXPECT_EQ(read_file(board() / "notes.txt"), "keep\n");
}

// `get` prints values as `set` takes them, so they round-trip; an unknown
// key prints nothing but its line.  Neither `get`, `show` nor `chain`
// changes board.db, not even its time.
TEST_F(BoardStore, GetRoundTripsAndLookingWritesNothing) {
  const Lines keys = {"scan_mode",
                      "tms",
                      "fpga.0xcb1000",
                      "cpu1.tap",
                      "cpu0.ir",
                      "cpu1.l2.0x100",
                      "cpu0.creg.0xffffffffff",
                      "cpu0.chain.0c.length",
                      "cpu0.chain.0c",
                      "vnx2.chain.length",
                      "vnx2.scan_config",
                      "reset_hang"};
  const Lines values = {
      "0x47", "0x0",          "0xfe", "Run-Test/Idle", "0x3d", "0x00000000feedface", "0x0000000000000001",
      "40",   "0x12345abcde", "17",   "0x01e0",        "0x1"};
  Lines settings;
  std::string expected;
  for (size_t i = 0; i < keys.size(); ++i) {
    settings.push_back(keys[i] + "=" + values[i]);
    expected += values[i] + "\n";
  }
  sim(Lines{"set"} + settings);
  EXPECT_EQ(sim(Lines{"get"} + keys), expected);
  struct stat before {};
  ::stat((board() / "board.db").c_str(), &before);
  const std::string bytes = read_file(board() / "board.db");
  std::this_thread::sleep_for(20ms);  // a rewrite would show in the time
  tool({"show"});
  tool(Lines{"get"} + keys);
  tool({"chain", "cpu2.chain.3f"});
  tool({"set", "cpu0.l2.0x101=1"});  // refused: nothing written
  struct stat after {};
  ::stat((board() / "board.db").c_str(), &after);
  EXPECT_EQ(read_file(board() / "board.db"), bytes);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_FALSE(fs::exists(board() / "board.db-journal"));

  const Result r = tool({"get", "tms", "cpu0.l2.0x101"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "jtag-sim: no key 'cpu0.l2.0x101' (see 'jtag-sim --help')\n");
}

// The tables as a person sees them with sqlite3: a seeded word is read
// back; a value of the wrong type is refused by the table itself; a row the
// board cannot take is one line and status 1 when a command reaches it, and
// leaves the database as it was.
TEST_F(BoardStore, RowsSeededWithSqlite3) {
  JTAGBOX_SIM_ONLY();  // the rows are read by the commands themselves
  sim({"reset"});
  const std::string db = (board() / "board.db").string();
  const auto sql = [&](const std::string &statement) { return exec("/usr/bin/sqlite3", "sqlite3", {db, statement}); };
  ASSERT_EQ(sql("INSERT OR REPLACE INTO l2_word VALUES (1, 0x100, 0xfeedface)").status, 0);
  EXPECT_EQ(sim({"get", "cpu1.l2.0x100"}), "0x00000000feedface\n");
  EXPECT_NE(sql("UPDATE board SET scan_mode = 'full scan'").status, 0);
  const std::string mend = "; 'jtag-sim reset' powers the board up fresh\n";
  struct Case {
    std::string statement, command;
    Lines args;
    std::string line;
  };
  const Case cases[] = {
      {"UPDATE tap_device SET state = 'Nowhere' WHERE name = 'cpu0'",
       "JTAG_Reset",
       {},
       "jtagbox: the simulated board in " + db + " cannot be read (bad TAP state 'Nowhere' for 'cpu0.tap')" + mend},
      {"UPDATE tap_device SET state = 'Pause-DR', latches = latches || 'dr_cells=1bc0e06b0\n' WHERE name = 'cpu0'",
       "JTAG_Reset",
       {},
       "jtagbox: the simulated board in " + db +
           " cannot be read (bad 'cpu0.dr_cells' for a 32-bit register in Pause-DR)" + mend},
      {"INSERT INTO scan_chain VALUES ('cpu0.chain.0c', 2000, x'00')",
       "JTAG_ScanDump",
       {"0c", "2000", "out.hex"},
       "jtagbox: the scan chain cpu0.chain.0c in " + db + " holds 1 bytes for 2000 bits" + mend},
  };
  const std::string good = read_file(db);
  for (const Case &c : cases) {
    write_file(db, good);
    ASSERT_EQ(sql(c.statement).status, 0) << c.statement;
    const std::string damaged = read_file(db);
    const Result r = run(c.command, c.args);
    EXPECT_EQ(r.status, 1) << c.statement;
    EXPECT_EQ(r.out, "") << c.statement;
    EXPECT_EQ(r.err, c.line) << c.statement;
    EXPECT_EQ(read_file(db), damaged) << c.statement;
  }
}

// A board of the first layout (no SRST columns) made by an older jtagbox:
// reading it writes nothing; the first command that writes it adds the
// columns, SRST released and never asserted, and keeps everything else.
TEST_F(BoardStore, BoardOfTheFirstLayoutIsUpgradedByItsFirstWriter) {
  JTAGBOX_SIM_ONLY();  // the layout is the commands' own file
  sim({"reset"});
  const std::string db = (board() / "board.db").string();
  const auto sql = [&](const std::string &statement) { return exec("/usr/bin/sqlite3", "sqlite3", {db, statement}); };
  ASSERT_EQ(sql("ALTER TABLE board DROP COLUMN srst; ALTER TABLE board DROP COLUMN srst_assertions; "
                "INSERT INTO l2_word VALUES (2, 0x40, 0x1234); PRAGMA user_version = 1")
                .status,
            0);
  const std::string first_layout = read_file(db);
  EXPECT_EQ(sim({"get", "srst", "srst_assertions", "cpu2.l2.0x40"}), "0x0\n0x0\n0x0000000000001234\n");
  EXPECT_EQ(line_starting(sim({"show"}), "SRST"), "SRST: released, asserted 0 times");
  EXPECT_EQ(read_file(db), first_layout);  // looking wrote nothing

  const Result r = run("JTAG_Reset");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(sql("PRAGMA user_version; SELECT srst, srst_assertions FROM board").out, "2\n0|0\n");
  EXPECT_EQ(sim({"get", "cpu2.l2.0x40"}), "0x0000000000001234\n");
  EXPECT_EQ(sql("PRAGMA user_version = 3").status, 0);
  const Result newer = run("JTAG_Reset");
  EXPECT_EQ(newer.status, 1);
  EXPECT_EQ(newer.err,
            "jtagbox: " + db + " is a board of version 3, not 2; 'jtag-sim reset' powers the board up fresh\n");
}

// A command killed at any point, even while it commits, leaves a board that
// loads with everything the commands before it wrote.
TEST_F(BoardStore, KilledCommandLeavesTheRunBefore) {
  JTAGBOX_SIM_ONLY();  // the commands must be the board's holders
  std::string words;
  for (int i = 0; i < 10000; ++i) words += "12345678 ";
  write_file(path("words"), words);
  struct Run {
    std::string command;
    Lines args;
    std::chrono::milliseconds limit;
  };
  const Run runs[] = {{"JTAG_WriteMem", {"10000", "10000", "-f=words"}, 100ms},
                      {"JTAG_ScanDump", {"0c", "67108864", "dump.hex"}, 2000ms}};
  for (const Run &k : runs) {
    fs::remove_all(board());
    sim({"reset"});
    sim({"set", "cpu0.l2.0x100=0x1234", "cpu0.creg.0x10=0x55", "cpu0.chain.0c.length=67108864"});
    run("JTAG_CPUSelect", {"0"});
    EXPECT_TRUE(kill_mid_run(start(k.command, k.args), k.limit)) << k.command << " ended before it was killed";
    EXPECT_EQ(sim({"get", "cpu0.l2.0x100", "cpu0.creg.0x10", "cpu0.chain.0c.length"}),
              "0x0000000000001234\n0x0000000000000055\n67108864\n")
        << k.command;
    const std::string first = sim({"get", "cpu0.l2.0x10000"}), last = sim({"get", "cpu0.l2.0x23878"});
    EXPECT_EQ(first == "0x0000000012345678\n", last == "0x0000000012345678\n") << "all or nothing";
    EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0) << k.command;
  }
}

// A command that waits more than a second for a board another process
// holds says so once, with that process; then it runs as usual.
TEST_F(BoardStore, BusyBoardIsSaidAfterASecond) {
  JTAGBOX_SIM_ONLY();  // over the wire the server is the one that waits
  run("JTAG_Reset");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = fork();
  if (holder == 0) {
    const int fd = ::open((board() / "board.db").c_str(), O_RDWR);
    struct flock reserved {};
    reserved.l_type = F_WRLCK;
    reserved.l_whence = SEEK_SET;
    reserved.l_start = 0x40000001;  // SQLite's RESERVED lock, as a command holds it
    reserved.l_len = 1;
    const bool held = ::fcntl(fd, F_SETLK, &reserved) == 0;
    (void)!::write(ready[1], held ? "1" : "0", 1);
    std::this_thread::sleep_for(1500ms);
    _exit(0);  // the lock dies with the process
  }
  char held = 0;
  ASSERT_EQ(::read(ready[0], &held, 1), 1);
  ASSERT_EQ(held, '1');
  const Result r = run("JTAG_Reset");
  ::waitpid(holder, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, kIdcodeCpu0);
  EXPECT_EQ(r.err, "jtagbox: the simulated board in " + board().string() + " is busy (held by process " +
                       std::to_string(holder) + "); waiting up to 30 s\n");
}

// XDG_STATE_HOME counts only as an absolute path; a relative one is
// ignored for $HOME/.local/state, and a relative HOME is refused.
TEST_F(BoardStore, RelativeXdgStateHomeIsIgnored) {
  JTAGBOX_SIM_ONLY();  // the commands' default board
  const Result r = exec(bin("JTAG_Reset"), "JTAG_Reset", {},
                        {{"JTAG_PLATFORM", ""}, {"XDG_STATE_HOME", "xdg"}, {"HOME", path("home").string()}});
  EXPECT_EQ(r.out, kIdcodeCpu0);
  EXPECT_TRUE(fs::exists(path("home/.local/state/jtag-sim/board.db")));
  EXPECT_FALSE(fs::exists(path("xdg")));
  // A relative HOME would put the board wherever the command started: the
  // same rule as for the TAP records of boards on the wire refuses it.
  const Result relative =
      exec(bin("JTAG_Reset"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", ""}, {"XDG_STATE_HOME", ""}, {"HOME", "home"}});
  EXPECT_EQ(relative.status, 1);
  EXPECT_EQ(relative.out, "");
  EXPECT_EQ(relative.err,
            "jtagbox: neither XDG_STATE_HOME nor HOME is an absolute path: no place for the simulated board\n");
}

// jtag-sim reads JTAG_PLATFORM as the commands do: sim:dir=DIR names the
// same board as sim:DIR, and what it cannot use is the same line.
TEST_F(BoardStore, JtagSimReadsThePlatformAsTheCommandsDo) {
  sim({"set", "cpu0.tap=Run-Test/Idle"});
  const Result keyed =
      exec(bin("jtag-sim"), "jtag-sim", {"get", "cpu0.tap"}, {{"JTAG_PLATFORM", "sim:dir=" + board().string()}});
  EXPECT_EQ(keyed.status, 0) << keyed.err;
  EXPECT_EQ(keyed.out, "Run-Test/Idle\n");
  for (const auto &[value, line] : {std::pair<std::string, std::string>{"sim:", "JTAG_PLATFORM=sim: needs DIR"},
                                    {"sim:foo=1", "JTAG_PLATFORM=sim:foo=1: unknown key 'foo' (sim takes dir)"}}) {
    const Result r = exec(bin("jtag-sim"), "jtag-sim", {"get", "cpu0.tap"}, {{"JTAG_PLATFORM", value}});
    EXPECT_EQ(r.status, 2) << value;
    EXPECT_EQ(r.err, "jtag-sim: " + line + "\nTry 'jtag-sim --help'.\n") << value;
  }
}

// A chain too long for the memory there is: one line, status 1.
TEST_F(BoardStore, ChainBeyondMemoryIsOneLine) {
  JTAGBOX_SIM_ONLY();  // the server would be the one out of memory
#if defined(__SANITIZE_ADDRESS__)
  // Not registered in a sanitized build (tests/CMakeLists.txt); run by hand there, it says why.
  GTEST_SKIP() << "AddressSanitizer reserves terabytes of shadow memory at start, which ulimit -v refuses";
#endif
  sim({"set", "cpu0.chain.0c.length=4294967295"});
  const Result r =
      exec("/bin/sh", "sh", {"-c", "ulimit -v 400000; exec \"$0\" 0c 8 out.hex", bin("JTAG_ScanDump").string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "jtagbox: out of memory\n");
  const Result set =
      exec("/bin/sh", "sh", {"-c", "ulimit -v 400000; exec \"$0\" set cpu0.chain.0c=0x1", bin("jtag-sim").string()});
  EXPECT_EQ(set.status, 1);
  EXPECT_EQ(set.err, "jtag-sim: out of memory\n");
}

}  // namespace
