// Damage never crashes and never hangs: a bad row of the board's database is
// one line and status 1 in every program and in the server, `jtag-sim
// reset` powers up any board of ours however damaged, a record file that
// would block or cannot be written fails the run before it holds the
// board, and texts from files reach error lines only as printable bytes.
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <sstream>

#include "board_view.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

constexpr const char *kIdcodeCpu0 = "IDCODE = 0bc0e06b\n";
constexpr const char *kMend = "; 'jtag-sim reset' powers the board up fresh\n";
constexpr const char *kTimeout = "/usr/bin/timeout";

class Damage : public FreshBoardTest {
 protected:
  fs::path board() const { return path("board"); }
  std::string db() const { return (board() / "board.db").string(); }
  Result tool(const Lines &args) { return exec(bin("jtag-sim"), "jtag-sim", args); }
  Result sql(const std::string &statement) { return exec("/usr/bin/sqlite3", "sqlite3", {db(), statement}); }
  // `command` ended by SIGKILL after 20 s: a hang shows as status 137
  // instead of holding the suite.
  Result bounded(const std::string &command, const Lines &args, const std::map<std::string, std::string> &env = {}) {
    return exec(kTimeout, "timeout", Lines{"-s", "KILL", "20", bin(command).string()} + args, env);
  }
  // A board with something in every part: words, registers, a chain.
  void seed_every_part() {
    sim({"reset"});
    sim({"set", "cpu0.l2.0x100=0x1234", "cpu1.creg.0x10=0x55", "fpga.0xcb1000=0xfe", "cpu0.chain.0c.length=300",
         "cpu0.chain.0c=0xabcdef", "vnx2.scan_config=0x01e0", "cpu3.tap=Run-Test/Idle"});
  }
  // The board powered up fresh and working: what the seeded parts show now.
  void expect_fresh_board(const std::string &what) {
    EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0) << what;
    EXPECT_EQ(sim({"get", "cpu0.l2.0x100", "cpu3.tap", "cpu0.chain.0c.length"}),
              "0xa000000000000100\nTest-Logic-Reset\n1444\n")
        << what;
  }
};

// Every program that reads the board's small state meets a bad row with the
// same line and status 1, and changes nothing; `jtag-sim reset` mends it.
TEST_F(Damage, BadRowIsOneLineInEveryProgram) {
  JTAGBOX_SIM_ONLY();  // over the wire the server reads the board (next test)
  write_file(path("p.svf"), "STATE RESET;\n");
  struct Case {
    std::string statement, why;
  };
  const Case cases[] = {
      {"UPDATE tap_device SET latches = 'abc' WHERE name = 'vnx2'", "line 1 is not key=value"},
      {"UPDATE tap_device SET latches = '' WHERE name = 'vnx2'", "missing key 'vnx2.scan_access'"},
      {"UPDATE tap_device SET latches = 'scan_access=0x7' || char(10) || 'scan_config=0x0' WHERE name = 'vnx1'",
       "bad value '0x7' for 'vnx1.scan_access' (0 to 0x1)"},
      {"DELETE FROM board", "missing key 'accel_off_fail'"},
      {"UPDATE tap_device SET state = 'Shift-DR' || char(27) || '[31m' WHERE name = 'cpu1'",
       "bad TAP state 'Shift-DR\\x1b[31m' for 'cpu1.tap'"},
      {"INSERT INTO tap_device SELECT 'cpu9', state, instruction, ir_cells, latches FROM tap_device WHERE name='cpu0'",
       "unknown key 'cpu9.chain_select'"},
  };
  struct Program {
    std::string name;
    Lines args;
    std::string prefix;
  };
  const Program programs[] = {{"JTAG_Reset", {}, "jtagbox: "},
                              {"jtag-detect", {}, "jtagbox: "},
                              {"jtag-svf", {"p.svf"}, "jtagbox: "},
                              {"jtag-sim", {"get", "scan_mode"}, "jtag-sim: "},
                              {"jtag-sim", {"show"}, "jtag-sim: "},
                              {"jtag-sim", {"set", "tms=0"}, "jtag-sim: "},
                              {"jtag-sim", {"chain", "vnx0.chain"}, "jtag-sim: "}};
  for (const Case &c : cases) {
    seed_every_part();
    ASSERT_EQ(sql(c.statement).status, 0) << c.statement;
    const std::string damaged = read_file(db());
    const std::string line = "the simulated board in " + db() + " cannot be read (" + c.why + ")" + kMend;
    for (const Program &p : programs) {
      const Result r = p.name == "jtag-sim" ? tool(p.args) : run(p.name, p.args);
      EXPECT_EQ(r.status, 1) << c.statement << ": " << p.name;
      EXPECT_EQ(r.out, "") << c.statement << ": " << p.name;
      EXPECT_EQ(r.err, p.prefix + line) << c.statement << ": " << p.name;
    }
    EXPECT_EQ(read_file(db()), damaged) << c.statement;
    const Result reset = tool({"reset"});
    EXPECT_EQ(reset.status, 0) << c.statement << ": " << reset.err;
    expect_fresh_board(c.statement);
  }
}

// Rows read only when a command reaches them (registers, words, chains):
// the command that reads one says what is wrong with it.
TEST_F(Damage, BadLazyRowIsOneLine) {
  JTAGBOX_SIM_ONLY();  // these rows are read by the commands themselves
  const std::string retyped =
      "DROP TABLE l2_word; CREATE TABLE l2_word (cpu, address, value, PRIMARY KEY (cpu, address)); ";
  struct Case {
    std::string statement, command;
    Lines args;
    std::string line;
  };
  const Case cases[] = {
      {"INSERT OR REPLACE INTO fpga_register VALUES (13307904, 300)",
       "jtag-sim",
       {"get", "fpga.0xcb1000"},
       "jtag-sim: " + db() + " holds a row of fpga_register that no board has (address 0xcb1000, value 0x12c)" + kMend},
      {retyped + "INSERT INTO l2_word VALUES (0, 256, 'abc')",
       "JTAG_ReadMem",
       {"100", "1"},
       "jtagbox: " + db() + " holds a value that is not a number in column value" + kMend},
      {retyped + "INSERT INTO l2_word VALUES (0, 256, 'abc')",
       "jtag-sim",
       {"get", "cpu0.l2.0x100"},
       "jtag-sim: " + db() + " holds a value that is not a number in column value" + kMend},
      {retyped + "INSERT INTO l2_word VALUES (2, 257, 1)",
       "jtag-sim",
       {"show"},
       "jtag-sim: " + db() + " holds a row of l2_word that no board has (address 0x101, value 0x1)" + kMend},
      {"UPDATE scan_chain SET length = 0",
       "JTAG_ScanDump",
       {"0c", "8", "out.hex"},
       "jtagbox: the scan chain cpu0.chain.0c in " + db() + " has length 0" + kMend},
  };
  for (const Case &c : cases) {
    seed_every_part();
    ASSERT_EQ(sql(c.statement).status, 0) << c.statement;
    const std::string damaged = read_file(db());
    const Result r = c.command == "jtag-sim" ? tool(c.args) : run(c.command, c.args);
    EXPECT_EQ(r.status, 1) << c.statement;
    EXPECT_EQ(r.err, c.line) << c.statement;
    EXPECT_EQ(read_file(db()), damaged) << c.statement;
    ASSERT_EQ(tool({"reset"}).status, 0) << c.statement;
    expect_fresh_board(c.statement);
  }
}

// The server drops a client whose bytes meet a bad row, with that line, and
// keeps serving: the next client, after a reset, runs as usual.
class ServedDamage : public ServedBoardTest {};

TEST_F(ServedDamage, ServerDropsTheClientAndKeepsServing) {
  sim({"reset"});
  const std::string db = (path("board") / "board.db").string();
  ASSERT_EQ(
      exec("/usr/bin/sqlite3", "sqlite3", {db, "UPDATE tap_device SET latches = 'abc' WHERE name = 'vnx2'"}).status, 0);
  serve();
  const Result dropped = over_wire("JTAG_Reset", {});
  EXPECT_EQ(dropped.status, 1);
  EXPECT_EQ(dropped.out, "");
  EXPECT_EQ(dropped.err,
            "jtagbox: remote_bitbang server 127.0.0.1:" + std::to_string(port_) + ": closed the connection\n");
  sim({"reset"});
  const Result served = over_wire("JTAG_Reset", {});
  EXPECT_EQ(served.status, 0) << served.err;
  EXPECT_EQ(served.out, kIdcodeCpu0);
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "jtag-sim serve: the simulated board in " + db +
                             " cannot be read (line 1 is not key=value); 'jtag-sim reset' powers the board up "
                             "fresh; client dropped\n");
}

// `jtag-sim reset` decides from the directory's names and the file's header
// that the board is ours, never from its rows or pages: every damaged
// board of ours is powered up fresh.
TEST_F(Damage, ResetRecoversEveryDamagedBoard) {
  const auto truncate_to = [&](size_t bytes) { return [this, bytes] { fs::resize_file(db(), bytes); }; };
  const auto flip_at = [&](size_t at) {
    return [this, at] {
      std::string bytes = read_file(db());
      bytes[at % bytes.size()] = char(~bytes[at % bytes.size()]);
      write_file(db(), bytes);
    };
  };
  const auto statement = [&](const std::string &s) { return [this, s] { ASSERT_EQ(sql(s).status, 0) << s; }; };
  const std::pair<std::string, std::function<void()>> damages[] = {
      {"emptied", truncate_to(0)},
      {"cut inside the header", truncate_to(50)},
      {"cut after the header", truncate_to(100)},
      {"cut to its first page", truncate_to(4096)},
      {"cut mid-page", truncate_to(5000)},
      {"schema page flipped", flip_at(200)},
      {"a table's page flipped", flip_at(4096 + 8)},
      {"the page size flipped", flip_at(16)},
      {"the board row deleted", statement("DELETE FROM board")},
      {"a TAP row deleted", statement("DELETE FROM tap_device WHERE name = 'cpu2'")},
      {"a table dropped", statement("DROP TABLE tap_device")},
      {"every table dropped", statement("DROP TABLE board; DROP TABLE tap_device; DROP TABLE l2_word; DROP TABLE "
                                        "scan_chain; DROP TABLE fpga_register; DROP TABLE control_register")},
      {"rows of the wrong type",
       statement("DROP TABLE board; CREATE TABLE board (id, scan_mode, tms, tdi, unrouted_tap, accelerator, "
                 "reset_hang, accel_on_fail, accel_off_fail); INSERT INTO board VALUES (1, 'x', 'y', NULL, 7, 1, 1, "
                 "1, 1)")},
      {"a journal of garbage", [this] { write_file(db() + "-journal", std::string(3000, 'j')); }},
  };
  for (const auto &[name, damage] : damages) {
    fs::remove_all(board());
    seed_every_part();
    damage();
    const Result reset = tool({"reset"});
    EXPECT_EQ(reset.status, 0) << name;
    EXPECT_EQ(reset.err, "") << name;
    expect_fresh_board(name);
  }
}

// Random truncations and byte flips of a real board.db, met by every
// program: each ends with status 0 or 1 and at most one line on standard
// error (never an abort, never a sanitizer's report), and `jtag-sim reset`
// recovers every one.  JTAGBOX_FUZZ_ROUNDS sets the number of boards
// (default 60); the seed is in every failure, and JTAGBOX_FUZZ_SEED runs
// that seed again.
TEST_F(Damage, DamagedDatabaseFuzz) {
  JTAGBOX_SIM_ONLY();  // the programs must be the ones reading the file
  const char *rounds_text = std::getenv("JTAGBOX_FUZZ_ROUNDS");
  const int rounds = rounds_text != nullptr ? std::atoi(rounds_text) : 60;
  const char *seed_text = std::getenv("JTAGBOX_FUZZ_SEED");
  const auto seed = seed_text != nullptr ? unsigned(std::strtoul(seed_text, nullptr, 10))
                                         : static_cast<unsigned>(std::random_device{}());
  std::mt19937 random(seed);
  seed_every_part();
  run("JTAG_WriteMem", {"200", "3", "-x=0x1111"});
  const std::string good = read_file(db());
  write_file(path("p.svf"), "STATE RESET; SIR 8 TDI (fe); SDR 32 TDI (0) TDO (0bc0e06b) MASK (ffffffff);\n");
  const std::pair<std::string, Lines> programs[] = {
      {"JTAG_Reset", {}},
      {"JTAG_ReadMem", {"100", "2"}},
      {"JTAG_ScanDump", {"0c", "300", "out.hex"}},
      {"JTAG_VnxClockStop", {"2"}},
      {"jtag-detect", {}},
      {"jtag-svf", {"-q", "p.svf"}},
      {"jtag-sim", {"get", "cpu0.l2.0x100", "cpu1.creg.0x10", "fpga.0xcb1000", "cpu0.chain.0c", "vnx2.tap"}},
      {"jtag-sim", {"show"}},
  };
  for (int round = 0; round < rounds; ++round) {
    std::string bytes = good;
    std::ostringstream what;
    what << "seed " << seed << ", round " << round << ": ";
    if (random() % 3 == 0) {
      const size_t keep = random() % bytes.size();
      bytes.resize(keep);
      what << "cut to " << keep << " bytes";
    } else {
      for (unsigned flips = 1 + random() % 4; flips > 0; --flips) {
        const size_t at = random() % bytes.size();
        bytes[at] = char(bytes[at] ^ (1u << (random() % 8)));
        what << "bit flipped at " << at << " ";
      }
    }
    write_file(db(), bytes);
    for (const auto &[program, args] : programs) {
      const Result r = program == "jtag-sim" ? tool(args) : run(program, args);
      EXPECT_TRUE(r.status == 0 || r.status == 1)
          << what.str() << program << " ended with " << r.status << ": " << r.err;
      const size_t lines = size_t(std::count(r.err.begin(), r.err.end(), '\n'));
      EXPECT_TRUE(r.status == 0 ? lines == 0 : lines == 1 && r.err.back() == '\n')
          << what.str() << program << " said: " << r.err;
    }
    const Result reset = tool({"reset"});
    ASSERT_EQ(reset.status, 0) << what.str() << reset.err;
    EXPECT_EQ(run("JTAG_Reset").out, kIdcodeCpu0) << what.str();
    EXPECT_EQ(sim({"get", "cpu0.l2.0x200"}), "0xa000000000000200\n") << what.str();
  }
}

// A FIFO named as a record would hold the command, and the board with it,
// until a reader came: it is refused before the board is taken, for every
// record and every program that writes one.  So is a FIFO as the server's
// wave, before it prints its port.
TEST_F(Damage, RecordFifoIsRefusedAtOnce) {
  const fs::path fifo = path("f");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  write_file(path("p.svf"), "STATE IDLE;\n");
  sim({"set", "cpu0.tap=Select-DR-Scan"});
  const std::pair<std::string, std::string> records[] = {
      {"JTAG_WAVE", "waveform"}, {"JTAG_SVF", "SVF record"}, {"JTAG_TRACE", "trace file"}};
  const std::pair<std::string, Lines> programs[] = {
      {"JTAG_Shift", {"a3", "8"}}, {"jtag-svf", {"p.svf"}}, {"jtag-detect", {}}};
  for (const auto &[variable, what] : records) {
    for (const auto &[program, args] : programs) {
      const Result r = bounded(program, args, {{variable, fifo.string()}});
      EXPECT_EQ(r.status, 1) << variable << " " << program;
      EXPECT_EQ(r.out, "") << variable << " " << program;
      EXPECT_EQ(r.err, "jtagbox: cannot open " + what + " " + fifo.string() + ": it is a FIFO, not a regular file\n")
          << variable << " " << program;
    }
  }
  EXPECT_EQ(get("cpu0.tap"), "Select-DR-Scan") << "the board was not touched";
  const Result serve =
      exec(kTimeout, "timeout",
           {"-s", "KILL", "20", bin("jtag-sim").string(), "serve", "--port", "0", "--wave", fifo.string()},
           {{"JTAG_PLATFORM", "sim:" + board().string()}});
  EXPECT_EQ(serve.status, 1);
  EXPECT_EQ(serve.out, "");
  EXPECT_EQ(serve.err,
            "jtag-sim serve: cannot open waveform " + fifo.string() + ": it is a FIFO, not a regular file\n");
}

// The trace is a record like the others: a write that fails is one line
// and status 1 and the board keeps the run before; a planted link is
// refused and its target left alone.
TEST_F(Damage, TraceThatCannotBeWrittenFailsTheRun) {
  sim({"set", "cpu0.tap=Run-Test/Idle"});
  env_["JTAG_TRACE"] = "/dev/full";
  const Result full = run("JTAG_Reset");
  EXPECT_EQ(full.status, 1);
  EXPECT_EQ(full.out, "");
  EXPECT_EQ(full.err, "jtagbox: cannot write trace file /dev/full: No space left on device\n");
  EXPECT_EQ(get("cpu0.tap"), "Run-Test/Idle");

  write_file(path("target"), "keep");
  fs::create_symlink(path("target"), path("link"));
  env_["JTAG_TRACE"] = path("link").string();
  const Result link = run("JTAG_Reset");
  EXPECT_EQ(link.status, 1);
  EXPECT_EQ(link.err, "jtagbox: cannot open trace file " + path("link").string() + ": it is a symbolic link\n");
  EXPECT_EQ(read_file(path("target")), "keep");
  EXPECT_EQ(get("cpu0.tap"), "Run-Test/Idle");
}

// Bytes of a file that reach an error line are shown as \xHH: no escape
// sequence, bell or line end reaches the terminal.
TEST_F(Damage, FileTextInMessagesIsPrintable) {
  write_file(path("e.svf"), "X\033[31mRED\033[0m\007;\n");
  const Result svf = run("jtag-svf", {"-q", "e.svf"});
  EXPECT_EQ(svf.status, 1);
  EXPECT_EQ(svf.err, "jtag-svf: e.svf:1: unknown statement X\\x1b[31MRED\\x1b[0M\\x07\n");
  write_file(path("s.svf"), "STATE ID\033[2JLE;\n");
  const Result state = run("jtag-svf", {"-q", "s.svf"});
  EXPECT_EQ(state.status, 1);
  EXPECT_EQ(state.err, "jtag-svf: s.svf:1: 'ID\\x1b[2JLE' is not a TAP state\n");
  const Result key = tool({"set", "cpu0.\033]0;title\007=1"});
  EXPECT_EQ(key.status, 2);
  EXPECT_EQ(key.err, "jtag-sim: cannot set that: unknown key 'cpu0.\\x1b]0;title\\x07'\nTry 'jtag-sim --help'.\n");
}

// A board that cannot be saved (a read-only file system here: as root a
// mode alone stops nothing) is refused before the TAP is touched: nothing
// printed but the line.  Looking at it still works.
TEST_F(Damage, ReadOnlyBoardIsRefusedBeforeTheTap) {
  JTAGBOX_SIM_ONLY();  // over the wire the server holds the board
  sim({"set", "cpu0.tap=Run-Test/Idle"});
  const std::string dir = board().string();
  const auto read_only = [&](const std::string &command) {
    return exec("/usr/bin/unshare", "unshare",
                {"-m", "sh", "-c", "mount --bind -o ro \"$0\" \"$0\" && exec " + command, dir});
  };
  const Result r = read_only(bin("JTAG_Reset").string());
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "jtagbox: the simulated board in " + dir + " cannot be saved: " + db() +
                       " may not be written; nothing changed\n");
  const Result looked = read_only(bin("jtag-sim").string() + " get cpu0.tap");
  EXPECT_EQ(looked.status, 0) << looked.err;
  EXPECT_EQ(looked.out, "Run-Test/Idle\n");
}

}  // namespace
