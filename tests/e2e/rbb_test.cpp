// The board on the wire: jtag-sim serve by hand whatever its clients do, and
// the rbb: backend's TAP records and its failures, one line each.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <memory>
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

std::string reads(int n) {  // n TDO reads in Shift-xR
  std::string bytes;
  while (n-- > 0) bytes += "0R4";
  return bytes;
}

// The board held as a command holds it: SQLite's RESERVED lock, a lock on
// the byte after the first gigabyte plus one of board.db.
struct HeldBoard {
  explicit HeldBoard(const std::filesystem::path &db) : fd(::open(db.c_str(), O_RDWR | O_CLOEXEC)) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_start = 0x40000001;
    lock.l_len = 1;
    EXPECT_EQ(::fcntl(fd, F_SETLK, &lock), 0) << "the board was not free";
  }
  ~HeldBoard() { ::close(fd); }
  HeldBoard(const HeldBoard &) = delete;
  HeldBoard &operator=(const HeldBoard &) = delete;
  int fd;
};

class Wire : public ServedBoardTest {};

// A client idle mid-scan leaves the board, saved, to commands and finds its
// bits in flight; SRST alone leaves the TAP be; the client goes on from where
// JTAG_Reset left the TAP, with its own TCK level ("6": no edge, TCK high).
TEST_F(Wire, IdleClientLeavesTheBoardToCommands) {
  serve();
  RawClient c(port_);
  ASSERT_TRUE(c.send(rbb_clocks("0100") + "sBbZzr" + reads(16)));  // to Shift-DR, IDCODE captured
  const std::string low = c.read(16);
  std::this_thread::sleep_for(400ms);  // the server lets the board go after 150 ms
  EXPECT_EQ(tap("cpu0"), "Shift-DR, IR 0x02");
  EXPECT_EQ(sim({"get", "srst", "srst_assertions"}), "0x0\n0x1\n");
  ASSERT_TRUE(c.send(reads(16)));
  EXPECT_EQ(low + c.read(16), kIdcodeBits);
  const Result reset = run("JTAG_Reset");
  EXPECT_EQ(reset.out + reset.err, kResetOut);
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02");
  ASSERT_TRUE(c.send("6" + rbb_clocks("100") + reads(32) + "Q"));
  EXPECT_EQ(c.read(32), kIdcodeBits);
  EXPECT_EQ(c.read_to_end(), "");
  EXPECT_EQ(tap("cpu0"), "Shift-DR, IR 0x02");
  EXPECT_EQ(serve_err(), "");
}

// No answer while a command holds the board; after a second the server says
// once who holds it; SIGTERM still ends it at once.
TEST_F(Wire, AnswersWaitForTheBoardACommandHolds) {
  fresh();
  serve();
  RawClient c(port_);
  auto held = std::make_unique<HeldBoard>(path("board/board.db"));
  ASSERT_TRUE(c.send(rbb_clocks("0") + "R"));
  EXPECT_EQ(c.read(1, 1500ms), "");
  held.reset();
  EXPECT_EQ(c.read(1), "1");
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02");
  std::this_thread::sleep_for(400ms);
  held = std::make_unique<HeldBoard>(path("board/board.db"));
  ASSERT_TRUE(c.send("R"));
  EXPECT_EQ(c.read(1, 500ms), "");
  const auto signalled = Clock::now();
  EXPECT_EQ(stop(), 0);
  EXPECT_LT(Clock::now() - signalled, 3s);
  EXPECT_EQ(serve_err(), "jtag-sim serve: the simulated board in " + path("board").string() +
                             " is busy (held by process " + std::to_string(::getpid()) + "); waiting up to 30 s\n");
}

// A client that floods requests and reads no answer is dropped after 5 s
// with one line, the board saved; the next client is served.
TEST_F(Wire, ClientThatStopsReadingIsDropped) {
  const std::string line = " dropped a client that left its answers unread for 5 s\n";
  const struct {
    Lines server;
    std::string setup, unit, tap;
  } cases[] = {{{"jtag-sim", "serve", "--port", "0"}, kLoadBypass, std::string(65536, 'R'), kBypassLoaded},
               {{"jtag-serve", "--xvc", "0"},
                "",
                "shift:" + std::string("\0\0\x08\0", 4) + std::string(1 << 17, '\0'),
                "Run-Test/Idle, IR 0x02"}};  // 2^19 TCKs, TMS low
  for (const auto &c : cases) {
    fresh();
    serve(c.server);
    RawClient greedy(port_);
    ASSERT_TRUE(greedy.send(c.setup));
    const auto start = Clock::now();
    EXPECT_LT(greedy.flood(c.unit, size_t{256} << 20, 40s), size_t{256} << 20);  // beyond every socket buffer
    const std::string expected = c.server[0] + (c.server[0] == "jtag-sim" ? " serve:" : ":") + line;
    while (serve_err() != expected && Clock::now() < start + 30s) std::this_thread::sleep_for(50ms);
    EXPECT_EQ(serve_err(), expected);
    EXPECT_GE(Clock::now() - start, 4500ms) << c.server[0];
    EXPECT_EQ(tap("cpu0"), c.tap);
    const std::string at = (c.setup.empty() ? "xvc" : "rbb") + std::string(":127.0.0.1:") + std::to_string(port_);
    EXPECT_EQ(exec(bin("JTAG_Reset"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", at}}).out, kResetOut);
  }
}

// However a session ends the board keeps what its bits did; only a dropped
// client costs a line (a stray byte is answered up to it); SIGTERM amid a
// flood of TCKs ends the server at once.
TEST_F(Wire, EverySessionEndSavesTheBoard) {
  for (const std::string end : {"Q", "", "RX", "flood"}) {
    fresh();
    serve();
    RawClient c(port_);
    ASSERT_TRUE(c.send(kLoadBypass + (end == "flood" ? "" : end)));
    if (end.empty()) c.shutdown_writes();
    EXPECT_TRUE(end != "RX" || c.read(1) == "1");  // a stray byte is answered up to it
    if (end == "flood") {
      std::thread flood([&] { c.flood(rbb_clocks("0"), SIZE_MAX, 30s); });
      std::this_thread::sleep_for(1s);
      const auto signalled = Clock::now();
      EXPECT_EQ(stop(), 0);
      EXPECT_LT(Clock::now() - signalled, 3s);
      flood.join();
    }
    EXPECT_EQ(c.read_to_end(), "") << end;  // the server closes only after the board went
    EXPECT_EQ(tap("cpu0"), kBypassLoaded) << end;
    EXPECT_TRUE(end == "flood" || over_wire("JTAG_Reset", {}).out == kResetOut) << end;  // and serves on
    EXPECT_EQ(stop(), end == "flood" ? -1 : 0) << end;
    EXPECT_EQ(
        serve_err(),
        end != "RX" ? "" : "jtag-sim serve: dropped a client that sent 0x58, which remote_bitbang does not have\n");
  }
}

// A command ends once the server acted on all it sent; the TAP state and
// TMS level are kept between runs per server, 64 records at most; rbb:
// refuses a bad value, no place for the record, a record that is a planted
// link or no record (left as it is).
TEST_F(Wire, TapRecordsKeepTheTapBetweenRuns) {
  const auto records = path("state/jtagbox/tap-records");
  std::filesystem::create_directories(records);
  write_file(path("victim"), "precious\n");
  std::filesystem::create_symlink(path("victim"), records / "rbb-127.0.0.1-3335");
  const std::string bad = "the TAP record " + (records / "rbb-127.0.0.1-3335").string() + " cannot be read";
  for (const auto &[platform, line] : std::vector<std::pair<std::string, std::string>>{
           {"rbb:127.0.0.1:0", "JTAG_PLATFORM=rbb:127.0.0.1:0 is not rbb:HOST:PORT with PORT 1..65535"},
           {"/", "neither XDG_STATE_HOME nor HOME is an absolute path: no place for the TAP record"},
           {"rbb:127.0.0.1:3335", bad + ": it is a symbolic link"},
           {"Nowhere", bad + "; remove it, then JTAG_Reset brings the TAP and the record in step"}}) {
    if (platform == "Nowhere") std::filesystem::remove(records / "rbb-127.0.0.1-3335");
    if (platform == "Nowhere") write_file(records / "rbb-127.0.0.1-3335", "jtagbox tap record 1\ntap=Nowhere\n");
    std::map<std::string, std::string> env = {{"JTAG_PLATFORM", platform[0] == 'r' ? platform : "rbb:127.0.0.1:3335"}};
    if (platform == "/") env.insert({{"HOME", ""}, {"XDG_STATE_HOME", ""}});
    const Result r = exec(bin("JTAG_TMS"), "JTAG_TMS", {"1"}, env);
    EXPECT_EQ(std::to_string(r.status) + r.out + r.err, "1jtagbox: " + line + "\n");
  }
  EXPECT_EQ(read_file(path("victim")) + read_file(records / "rbb-127.0.0.1-3335"),
            "precious\njtagbox tap record 1\ntap=Nowhere\n");
  for (int i = 0; i < 70; ++i) write_file(records / ("rbb-127.0.0.1-" + std::to_string(1000 + i)), "old\n");
  serve();
  for (int i = 0; i < 5; ++i) {
    const std::string value = "1234567" + std::to_string(i);
    ASSERT_EQ(over_wire("JTAG_WriteCreg", {"10", value}).status, 0);
    EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out, "00000000" + value + "\n") << i;
  }
  for (const Lines &command : {Lines{"JTAG_Reset"}, {"JTAG_TMS", "0"}, {"JTAG_TMS", "1"}, {"JTAG_Tck", "1"}})
    ASSERT_EQ(over_wire(command[0], Lines(command.begin() + 1, command.end())).status, 0) << command[0];
  EXPECT_EQ(read_file(records / ("rbb-127.0.0.1-" + std::to_string(port_))),
            "jtagbox tap record 1\ntap=Select-IR-Scan\ntms=1\ntdi=1\n");  // TMS still 1 at the TCK
  EXPECT_EQ(tap("cpu0"), "Select-IR-Scan, IR 0x02");
  const auto entries = std::filesystem::directory_iterator(records);
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 64);
}

// Each way a server fails a command: one line, status 1, no dump, bounded.
TEST_F(Wire, EachServerFailureIsOneLine) {
  // A fake server: `early` at once, then `per_read` for each 'R', `pause_us` before each.
  const auto answering = [](const std::string &early, const std::string &per_read, int pause_us = 0) {
    return [=](int fd) {
      char buf[4096];
      for (ssize_t n = ::send(fd, early.data(), early.size(), MSG_NOSIGNAL);
           n >= 0 && (n = ::read(fd, buf, sizeof buf)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
          if (buf[i] == 'R' && ::usleep(useconds_t(pause_us)) == 0 &&
              ::send(fd, per_read.data(), per_read.size(), MSG_NOSIGNAL) <= 0)
            return;
    };
  };
  const Lines dump = {"JTAG_ScanDump", "0c", "100000", "out.hex"};
  const std::pair<std::function<void(int)>, std::pair<Lines, std::string>> cases[] = {
      {nullptr, {{"JTAG_Reset"}, "cannot connect: Connection refused"}},
      {[](int fd) { ::shutdown(fd, SHUT_RDWR); }, {dump, "closed the connection"}},
      {answering("", "x"), {dump, "answered 0x78 to a TDO read"}},
      {answering("", "00"), {dump, "sent 0x30 when no TDO read was asked"}},
      {answering("0", "0"), {dump, "sent 0x30 when no TDO read was asked"}},
      {[](int) { std::this_thread::sleep_for(12s); }, {{"JTAG_TMS", "0"}, "no answer within 10 s"}},  // no TDO read
      // 15 s plus 20 us a TCK: 4 TCKs to Shift-DR, then the bits.
      {answering("", "0", 200000), {{"JTAG_Shift", "0", "4096"}, "too slow: 4100 TCKs not done within 15 s"}},
  };
  for (const auto &[behave, run] : cases) {
    int port = 0;
    const int listener = listen_loopback(port);
    if (!behave) ::close(listener);
    std::thread server([&, act = behave] {
      const int fd = act ? ::accept(listener, nullptr, nullptr) : -1;
      if (fd >= 0) act(fd);
      if (fd >= 0) ::close(fd);
    });
    const std::string at = "127.0.0.1:" + std::to_string(port);
    const auto started = Clock::now();
    const Lines &command = run.first;
    const Result r =
        exec(bin(command[0]), command[0], Lines(command.begin() + 1, command.end()), {{"JTAG_PLATFORM", "rbb:" + at}});
    EXPECT_LT(Clock::now() - started, 40s) << run.second;
    if (behave) ::shutdown(listener, SHUT_RDWR);
    server.join();
    if (behave) ::close(listener);
    EXPECT_EQ(std::to_string(r.status) + r.out + r.err,
              "1jtagbox: remote_bitbang server " + at + ": " + run.second + "\n");
  }
  EXPECT_EQ(read_file(path("out.hex")), "");
}

}  // namespace
