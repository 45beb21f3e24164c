// The board on the wire: jtag-sim serve whatever its clients do, the rbb:
// backend's TAP records and its failures, one line each.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <thread>

#include "board_view.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

const std::string kIdcodeBits = "11010110000001110000001111010000";  // 0x0bc0e06b, low bit first
const std::string kResetOut = "IDCODE = 0bc0e06b\n";
// From Test-Logic-Reset: BYPASS (eight ones) into processor 0's IR, on to Run-Test/Idle.
const std::string kLoadBypass = rbb_clocks("01100") + rbb_clocks("00000001", true) + rbb_clocks("10");
const std::string kBypassLoaded = "Run-Test/Idle, IR 0xff";

std::string reads(int n) { return n > 0 ? "0R4" + reads(n - 1) : ""; }  // n TDO reads in Shift-xR

// Holds the board as a command does, until closed: SQLite's RESERVED lock,
// the byte after the first gigabyte plus one of board.db.
int hold(const std::filesystem::path &db) {
  const int fd = ::open(db.c_str(), O_RDWR | O_CLOEXEC);
  const flock lock{.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0x40000001, .l_len = 1, .l_pid = 0};
  EXPECT_EQ(::fcntl(fd, F_SETLK, &lock), 0) << "the board was not free";
  return fd;
}

class Wire : public ServedBoardTest {};

const std::string kUnanswered =
    " has not answered for 2 s; it may be serving another client (one at a time): waiting\n";

// A client behind another one's session waits, says so once, and is served
// when the session before it ends.
TEST_F(Wire, ClientBehindAnotherSaysSoAndWaits) {
  fresh();
  serve();
  std::optional<RawClient> first(std::in_place, port_);
  ASSERT_TRUE(first->send("R"));
  ASSERT_EQ(first->read(1).size(), 1U);  // its session has begun
  std::thread leaves([&] {
    std::this_thread::sleep_for(3s);
    first.reset();
  });
  const Result r = over_wire("JTAG_Reset", {});
  leaves.join();
  EXPECT_EQ(std::to_string(r.status) + r.out + r.err,
            "0" + kResetOut + "jtagbox: remote_bitbang server 127.0.0.1:" + std::to_string(port_) + kUnanswered);
}

// An idle client leaves the board, saved, to commands, keeps its bits in flight
// and its TCK level ("6": no edge); SRST leaves the TAP be.  While a command
// holds the board no answer comes, the holder named once; SIGTERM still ends it.
TEST_F(Wire, IdleClientLeavesTheBoardToCommands) {
  fresh();
  serve();
  RawClient c(port_);
  ASSERT_TRUE(c.send(rbb_clocks("0100") + "sBbZzr" + reads(16)));  // to Shift-DR, IDCODE captured
  const std::string low = c.read(16);
  std::this_thread::sleep_for(400ms);  // the server lets the board go after 150 ms
  EXPECT_EQ(tap("cpu0") + sim({"get", "srst", "srst_assertions"}), "Shift-DR, IR 0x020x0\n0x1\n");
  ASSERT_TRUE(c.send(reads(16)));
  EXPECT_EQ(low + c.read(16), kIdcodeBits);
  const Result reset = run("JTAG_Reset");
  EXPECT_EQ(reset.out + reset.err, kResetOut);
  ASSERT_TRUE(c.send("6" + rbb_clocks("100") + reads(32)));
  EXPECT_EQ(c.read(32), kIdcodeBits);
  std::this_thread::sleep_for(400ms);
  int held = hold(path("board/board.db"));
  ASSERT_TRUE(c.send(rbb_clocks("110") + "R"));  // to Run-Test/Idle
  EXPECT_EQ(c.read(1, 1500ms), "");
  ::close(held);
  EXPECT_EQ(c.read(1), "1");
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02");
  std::this_thread::sleep_for(400ms);
  held = hold(path("board/board.db"));
  ASSERT_TRUE(c.send("R"));
  EXPECT_EQ(c.read(1, 500ms), "");
  const auto signalled = Clock::now();
  EXPECT_EQ(stop(), 0);
  EXPECT_LT(Clock::now() - signalled, 3s);
  ::close(held);
  EXPECT_EQ(serve_err(), "jtag-sim serve: the simulated board in " + path("board").string() +
                             " is busy (held by process " + std::to_string(::getpid()) + "); waiting up to 30 s\n");
}

// However a session ends the board keeps its bits and the next client is
// served; a stray byte (answered up to it), a TCK rate request with a
// non-digit, or 5 s of unread answers drop the
// client with a line; SIGTERM amid a flood of TCKs ends the server at once.
TEST_F(Wire, EverySessionEndSavesTheBoard) {
  const std::string dropped = "jtag-sim serve: dropped a client that ";
  for (const auto &[end, err] : std::vector<std::pair<std::string, std::string>>{
           {"Q", ""},
           {"", ""},
           {"RX", dropped + "sent 0x58, which remote_bitbang does not have\n"},
           {"F0000250000Q", ""},  // a TCK rate, jtagbox's own request
           {"F12x", dropped + "sent 0x78 among the ten digits of a TCK rate request\n"},
           {"greedy", dropped + "left its answers unread for 5 s\n"},
           {"flood", ""}}) {
    fresh();
    serve();
    RawClient c(port_);
    ASSERT_TRUE(c.send(kLoadBypass + (end == "greedy" || end == "flood" ? "" : end)));
    if (end.empty()) c.shutdown_writes();
    EXPECT_TRUE(end != "RX" || c.read(1) == "1");
    const auto start = Clock::now();
    if (end == "greedy") {
      EXPECT_LT(c.flood(std::string(65536, 'R'), size_t{256} << 20, 40s), size_t{256} << 20);  // beyond all buffers
      while (serve_err() != err && Clock::now() < start + 30s) std::this_thread::sleep_for(50ms);
      EXPECT_GE(Clock::now() - start, 4500ms);
    }
    if (end == "flood") {
      std::thread flood([&] { c.flood(rbb_clocks("0"), SIZE_MAX, 30s); });
      std::this_thread::sleep_for(1s);
      EXPECT_EQ(stop(), 0);
      EXPECT_LT(Clock::now() - start, 4s);
      flood.join();
    }
    EXPECT_TRUE(end == "greedy" || c.read_to_end().empty()) << end;  // closed only once the board went
    EXPECT_EQ(tap("cpu0"), kBypassLoaded) << end;
    EXPECT_TRUE(end == "flood" || over_wire("JTAG_Reset", {}).out == kResetOut) << end;
    EXPECT_EQ(std::to_string(stop()) + serve_err(), (end == "flood" ? "-1" : "0") + err) << end;
  }
}

// rbb: refuses a bad value, connects to a bracketed IPv6 host, no place for the TAP record, a planted link or
// no record (left as it is); a command ends once the server acted on all it
// sent; the record keeps TAP and TMS between runs, 64 records at most.
TEST_F(Wire, TapRecordsKeepTheTapBetweenRuns) {
  const auto records = path("state/jtagbox/tap-records"), record = records / "rbb-127.0.0.1-3335";
  std::filesystem::create_directories(records);
  write_file(path("victim"), "precious\n");
  std::filesystem::create_symlink(path("victim"), record);
  const std::string bad = "the TAP record " + record.string() + " cannot be read";
  for (const auto &[platform, line] : std::vector<std::pair<std::string, std::string>>{
           {"rbb:127.0.0.1:0", "JTAG_PLATFORM=rbb:127.0.0.1:0 is not rbb:HOST:PORT with PORT 1..65535"},
           {"rbb:[::1]:1", "remote_bitbang server ::1:1: cannot connect: Connection refused"},
           {"/", "neither XDG_STATE_HOME nor HOME is an absolute path: no place for the TAP record"},
           {"rbb:127.0.0.1:3335", bad + ": it is a symbolic link"},
           {"Nowhere", bad + "; remove it, then JTAG_Reset brings the TAP and the record in step"}}) {
    if (platform == "Nowhere") std::filesystem::remove(record);
    if (platform == "Nowhere") write_file(record, "jtagbox tap record 1\ntap=Nowhere\n");
    std::map<std::string, std::string> env = {{"JTAG_PLATFORM", platform[0] == 'r' ? platform : "rbb:127.0.0.1:3335"}};
    if (platform == "/") env.insert({{"HOME", ""}, {"XDG_STATE_HOME", ""}});
    const Result r = exec(bin("JTAG_TMS"), "JTAG_TMS", {"1"}, env);
    EXPECT_EQ(std::to_string(r.status) + r.out + r.err, "1jtagbox: " + line + "\n");
  }
  EXPECT_EQ(read_file(path("victim")) + read_file(record), "precious\njtagbox tap record 1\ntap=Nowhere\n");
  for (int i = 0; i < 70; ++i) write_file(records / ("rbb-127.0.0.1-" + std::to_string(1000 + i)), "old\n");
  serve();
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(over_wire("JTAG_WriteCreg", {"10", "1234567" + std::to_string(i)}).status, 0);
    EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out, "000000001234567" + std::to_string(i) + "\n");
  }
  for (const Lines &command : {Lines{"JTAG_Reset"}, {"JTAG_TMS", "0"}, {"JTAG_TMS", "1"}, {"JTAG_Tck", "1"}})
    ASSERT_EQ(over_wire(command[0], Lines(command.begin() + 1, command.end())).status, 0) << command[0];
  EXPECT_EQ(read_file(records / ("rbb-127.0.0.1-" + std::to_string(port_))) + tap("cpu0"),
            "jtagbox tap record 1\ntap=Select-IR-Scan\ntms=1\ntdi=1\nSelect-IR-Scan, IR 0x02");  // TMS 1 at the TCK
  const auto entries = std::filesystem::directory_iterator(records);
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 64);
}

// Each way a fake server fails a command: one line, status 1, no dump, bounded.
TEST_F(Wire, EachServerFailureIsOneLine) {
  const Lines dump = {"JTAG_ScanDump", "0c", "100000", "out.hex"};
  const struct {
    std::string early, answer;  // at once, then for each 'R'; "refuse": nobody listens; "close": closed at once
    int pause_us;               // before each answer
    Lines command;
    std::string line;
    bool unanswered = false;  // never a byte back: the client says so first
  } cases[] = {
      {"", "refuse", 0, {"JTAG_Reset"}, "cannot connect: Connection refused"},
      {"", "close", 0, dump, "closed the connection"},
      {"", "x", 0, dump, "answered 0x78 to a TDO read"},
      {"", "00", 0, dump, "sent 0x30 when no TDO read was asked"},
      {"0", "0", 0, dump, "sent 0x30 when no TDO read was asked"},
      {"", "", 0, {"JTAG_TMS", "0"}, "no answer within 10 s", true},  // even with no TDO to read
      // 15 s plus 20 us a TCK: 4 TCKs to Shift-DR, then the bits.
      {"", "0", 200000, {"JTAG_Shift", "0", "4096"}, "too slow: 4100 TCKs not done within 15 s"},
  };
  for (const auto &c : cases) {
    int port = 0;
    const int listener = listen_loopback(port), listening = c.answer != "refuse";
    if (!listening) ::close(listener);
    std::thread server([&] {
      const int fd = listening ? ::accept(listener, nullptr, nullptr) : -1;
      char buf[4096];
      ssize_t n = c.answer == "close" ? -1 : ::send(fd, c.early.data(), c.early.size(), MSG_NOSIGNAL);
      while (n >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0)
        for (ssize_t i = 0; i < n; ++i)
          if (buf[i] == 'R' && ::usleep(useconds_t(c.pause_us)) == 0 &&
              ::send(fd, c.answer.data(), c.answer.size(), MSG_NOSIGNAL) < 0)
            n = -1;  // the client is gone
      if (fd >= 0) ::close(fd);
    });
    const std::string at = "127.0.0.1:" + std::to_string(port);
    const auto started = Clock::now();
    const Result r = exec(bin(c.command[0]), c.command[0], Lines(c.command.begin() + 1, c.command.end()),
                          {{"JTAG_PLATFORM", "rbb:" + at}});
    EXPECT_LT(Clock::now() - started, 40s) << c.line;
    if (listening) ::shutdown(listener, SHUT_RDWR);
    server.join();
    if (listening) ::close(listener);
    const std::string named = "jtagbox: remote_bitbang server " + at;
    EXPECT_EQ(std::to_string(r.status) + r.out + r.err,
              "1" + (c.unanswered ? named + kUnanswered : "") + named + ": " + c.line + "\n");
  }
  EXPECT_EQ(read_file(path("out.hex")), "");
}

}  // namespace
