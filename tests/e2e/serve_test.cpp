// jtag-sim serve whatever one client does: an idle client leaves the board
// to commands and goes on afterwards, a client that stops reading is dropped
// after a bounded wait, the stop signals end the server at once, and every
// way a client's session ends keeps what its bits did.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <memory>
#include <thread>

#include "board_view.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

// One TCK per character of `tms`: TCK low with TMS and TDI, then TCK high.
std::string clocks(const std::string &tms, bool tdi = false) {
  std::string bytes;
  for (const char t : tms) {
    const int levels = (t == '1' ? 2 : 0) + (tdi ? 1 : 0);
    bytes += char('0' + levels);
    bytes += char('4' + levels);
  }
  return bytes;
}

// From Test-Logic-Reset: to Shift-IR, eight ones into processor 0's
// instruction register (BYPASS, 0xff), through Update-IR to Run-Test/Idle.
// TCK is left high.
const std::string kLoadBypass = clocks("01100") + clocks("00000001", true) + clocks("10");
const char *const kBypassLoaded = "Run-Test/Idle, IR 0xff";
const char *const kResetOut = "IDCODE = 0bc0e06b\n";
const char *const kStalledLine = "jtag-sim serve: dropped a client that left its answers unread for 5 s\n";

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// The board held as a command holds it: SQLite's RESERVED lock, a POSIX
// lock on the byte after the first gigabyte plus one of board.db.
class HeldBoard {
 public:
  explicit HeldBoard(const std::filesystem::path &board)
      : fd_(::open((board / "board.db").c_str(), O_RDWR | O_CLOEXEC)) {
    struct flock reserved {};
    reserved.l_type = F_WRLCK;
    reserved.l_whence = SEEK_SET;
    reserved.l_start = 0x40000001;
    reserved.l_len = 1;
    EXPECT_EQ(::fcntl(fd_, F_SETLK, &reserved), 0) << "the board was not free";
  }
  ~HeldBoard() { ::close(fd_); }
  HeldBoard(const HeldBoard &) = delete;
  HeldBoard &operator=(const HeldBoard &) = delete;

 private:
  int fd_;
};

class Serve : public ServedBoardTest {
 protected:
  void SetUp() override {
    ServedBoardTest::SetUp();
    if (!IsSkipped()) fresh();  // the board's directory and lock file exist from here on
  }
  std::unique_ptr<RawClient> client() {
    auto c = std::make_unique<RawClient>(port_);
    EXPECT_TRUE(c->connected());
    return c;
  }
  std::filesystem::path board() const { return path("board"); }
};

// A client that spoke and then idles, connected: the server has saved the
// board and let it go, so commands run at once (held, `show` would wait 30 s
// and fail, JTAG_Reset would end on its 5 s watchdog).  The client then goes
// on from where JTAG_Reset left the TAP, with its own TCK level.
TEST_F(Serve, IdleClientLeavesTheBoardToCommands) {
  serve();
  const auto c = client();
  ASSERT_TRUE(c->send(kLoadBypass + "R"));
  ASSERT_EQ(c->read(1), "1");             // Run-Test/Idle: TDO rests high
  EXPECT_EQ(tap("cpu0"), kBypassLoaded);  // saved before the lock went
  const Result reset = run("JTAG_Reset");
  EXPECT_EQ(reset.status, 0);
  EXPECT_EQ(reset.out + reset.err, kResetOut);
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02");

  // TCK is still high from the client's last byte, so TCK high again is no
  // edge; then Select-DR, Capture-DR (IDCODE, as the reset selected it),
  // Shift-DR, and 32 bits read out, low bit first.
  std::string read_idcode = "6" + clocks("100");
  for (int i = 0; i < 32; ++i) read_idcode += "0R4";
  ASSERT_TRUE(c->send(read_idcode));
  const std::string bits = c->read(32);
  EXPECT_EQ(std::string(bits.rbegin(), bits.rend()), "00001011110000001110000001101011");  // 0x0bc0e06b
  ASSERT_TRUE(c->send("Q"));
  EXPECT_EQ(c->read_to_end(), "");
  EXPECT_EQ(tap("cpu0"), "Shift-DR, IR 0x02");
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "");
}

// A client that pauses in the middle of a scan finds its bits where it left
// them: the server let the board go meanwhile, and the register's cells in
// flight were kept with it, as a real chip keeps them.
TEST_F(Serve, ClientPausingMidScanFindsItsBits) {
  serve();
  const auto c = client();
  const std::string to_shift_dr = clocks("0100");  // from Test-Logic-Reset; IDCODE captured on the way
  std::string read16;
  for (int i = 0; i < 16; ++i) read16 += "0R4";
  ASSERT_TRUE(c->send(to_shift_dr + read16));
  const std::string low = c->read(16);
  std::this_thread::sleep_for(400ms);  // the server lets the board go after 150 ms
  EXPECT_EQ(tap("cpu0"), "Shift-DR, IR 0x02");
  ASSERT_TRUE(c->send(read16));
  const std::string bits = low + c->read(16);
  EXPECT_EQ(std::string(bits.rbegin(), bits.rend()), "00001011110000001110000001101011");  // 0x0bc0e06b
  ASSERT_TRUE(c->send("Q"));
  EXPECT_EQ(c->read_to_end(), "");
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "");
}

// A client waits while a command holds the board: no answer comes until
// its bytes acted on the board under the lock.  After a second of waiting
// the server says once which process holds the board.
TEST_F(Serve, AnswersWaitForTheBoardACommandHolds) {
  serve();
  const auto c = client();
  auto held = std::make_unique<HeldBoard>(board());
  ASSERT_TRUE(c->send(clocks("0") + "R"));
  EXPECT_EQ(c->read(1, 1500ms), "");
  held.reset();
  EXPECT_EQ(c->read(1), "1");
  EXPECT_EQ(tap("cpu0"), "Run-Test/Idle, IR 0x02");
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "jtag-sim serve: the simulated board in " + board().string() + " is busy (held by process " +
                             std::to_string(::getpid()) + "); waiting up to 30 s\n");
}

// A client that sends a burst of TDO reads and never reads the answers: the
// server stops reading from it once its answers are backed up, drops it
// after 5 s with one line, the board saved, and serves on.
TEST_F(Serve, ClientThatStopsReadingIsDropped) {
  serve();
  const auto c = client();
  ASSERT_TRUE(c->send(kLoadBypass));
  const auto start = Clock::now();
  const size_t burst = size_t(128) << 20;  // far more than every socket buffer on the way
  EXPECT_LT(c->flood(std::string(size_t{64} * 1024, 'R'), burst, 40s), burst);
  const auto deadline = Clock::now() + 30s;
  while (serve_err() != kStalledLine && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
  EXPECT_EQ(serve_err(), kStalledLine);
  EXPECT_GE(seconds_since(start), 4.5);
  EXPECT_LT(seconds_since(start), 25.0);
  EXPECT_EQ(tap("cpu0"), kBypassLoaded);
  EXPECT_EQ(run("JTAG_Reset").out, kResetOut);
  EXPECT_EQ(over_wire("JTAG_Reset", {}).out, kResetOut);  // the next client is served
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), kStalledLine);
}

// However a client's session ends, the board keeps what its bits did, and
// only a dropped client costs a line (a stray byte is answered up to it).
TEST_F(Serve, EverySessionEndSavesTheBoard) {
  const struct {
    std::string name;
    std::function<void(RawClient &)> end;
    std::string err;
    bool stops_server;
  } endings[] = {
      {"Q", [](RawClient &c) { EXPECT_TRUE(c.send("Q")); }, "", false},
      {"closing without Q", [](RawClient &c) { c.shutdown_writes(); }, "", false},
      {"a stray byte",
       [](RawClient &c) {
         EXPECT_TRUE(c.send("RX"));
         EXPECT_EQ(c.read(1), "1");
       },
       "jtag-sim serve: dropped a client that sent 0x58, which remote_bitbang does not have\n", false},
      {"SIGTERM to the server",
       [this](RawClient &c) {
         EXPECT_TRUE(c.send("R"));
         EXPECT_EQ(c.read(1), "1");
         EXPECT_EQ(stop(), 0);
       },
       "", true},
  };
  for (const auto &e : endings) {
    fresh();
    serve();
    const auto c = client();
    ASSERT_TRUE(c->send(kLoadBypass));
    e.end(*c);
    EXPECT_EQ(c->read_to_end(), "") << e.name;  // the server closes only after the board went
    EXPECT_EQ(tap("cpu0"), kBypassLoaded) << e.name;
    if (!e.stops_server) {
      EXPECT_EQ(over_wire("JTAG_Reset", {}).out, kResetOut) << e.name;  // and serves on
    }
    EXPECT_EQ(stop(), e.stops_server ? -1 : 0) << e.name;
    EXPECT_EQ(serve_err(), e.err) << e.name;
  }
}

// SIGTERM ends the server within about a second whatever goes on.
TEST_F(Serve, StopSignalEndsTheServerAtOnce) {
  // What is going on when the signal comes, kept until the server ended.
  struct Scene {
    std::unique_ptr<RawClient> client;
    std::unique_ptr<HeldBoard> held;
    std::thread flood;
    ~Scene() {
      if (flood.joinable()) flood.join();  // ends when the server closes the connection
    }
  };
  const auto flood_with = [this](Scene &s, const std::string &unit) {
    s.client = client();
    s.flood = std::thread([c = s.client.get(), unit] { c->flood(unit, SIZE_MAX, 30s); });
    std::this_thread::sleep_for(1s);
  };
  std::string ticks;
  for (int i = 0; i < 32 * 1024; ++i) ticks += clocks("0");  // Run-Test/Idle, tick after tick
  const std::pair<std::string, std::function<void(Scene &)>> scenes[] = {
      {"no client", [](Scene &) {}},
      {"an idle client",
       [this](Scene &s) {
         s.client = client();
         EXPECT_TRUE(s.client->send(kLoadBypass + "R"));
         EXPECT_EQ(s.client->read(1), "1");
         std::this_thread::sleep_for(500ms);
       }},
      {"a client flooding TDO reads that reads nothing",
       [&](Scene &s) { flood_with(s, std::string(size_t{64} * 1024, 'R')); }},
      {"a client flooding TCKs", [&](Scene &s) { flood_with(s, ticks); }},
      {"a client waiting for the board a command holds",
       [this](Scene &s) {
         s.held = std::make_unique<HeldBoard>(board());
         s.client = client();
         EXPECT_TRUE(s.client->send("R"));
         EXPECT_EQ(s.client->read(1, 500ms), "");
       }},
  };
  for (const auto &[name, set_up] : scenes) {
    fresh();
    serve();
    Scene scene;
    set_up(scene);
    const auto signalled = Clock::now();
    EXPECT_EQ(stop(), 0) << name;
    EXPECT_LT(seconds_since(signalled), 3.0) << name;
    EXPECT_EQ(serve_err(), "") << name;
  }
}

// A board whose state cannot be read: the client is dropped with the
// reason, and the lock is not kept, so `jtag-sim reset` mends the board.
TEST_F(Serve, UnreadableBoardDropsTheClientAndLetsTheLockGo) {
  serve();
  write_file(board() / "board.db", "not a board\n");
  {
    const auto c = client();
    ASSERT_TRUE(c->send("R"));
    EXPECT_EQ(c->read_to_end(), "");
  }
  EXPECT_EQ(serve_err(), "jtag-sim serve: " + (board() / "board.db").string() +
                             " is not a simulated board's database; 'jtag-sim reset' powers the board up fresh; "
                             "client dropped\n");
  sim({"reset"});
  EXPECT_EQ(over_wire("JTAG_Reset", {}).out, kResetOut);
  EXPECT_EQ(stop(), 0);
}

}  // namespace
