// The board on the wire: jtag-sim serve as OpenOCD sees it, the protocol's
// edges, and how the rbb: backend fails when the server misbehaves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "served_board.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using e2e::RawClient;
using Lines = std::vector<std::string>;

const char *const kOpenOCD = "/usr/bin/openocd";

int listening_socket(int &port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
  ::listen(fd, 4);
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// A fake server's way of answering: `early` before anything is asked, then
// `per_read` for each 'R', `pause_us` before each answer; it stops reading
// when the client leaves.
void answer_reads(int fd, const std::string &early, const std::string &per_read, int pause_us = 0) {
  if (!early.empty() && ::send(fd, early.data(), early.size(), MSG_NOSIGNAL) <= 0) return;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != 'R') continue;
      if (pause_us > 0) ::usleep(useconds_t(pause_us));
      if (::send(fd, per_read.data(), per_read.size(), MSG_NOSIGNAL) <= 0) return;
    }
  }
}

class Wire : public e2e::ServedBoardTest {
 protected:
  // `command` against a fake server that behaves as `behave` says; `at` is
  // set to its HOST:PORT.
  e2e::Result against_fake(const std::function<void(int)> &behave, const std::string &command, const Lines &args,
                           std::string &at) {
    int fake_port = 0;
    const int listener = listening_socket(fake_port);
    std::thread server([&] {
      const int fd = ::accept(listener, nullptr, nullptr);
      behave(fd);
      ::close(fd);
    });
    at = "127.0.0.1:" + std::to_string(fake_port);
    e2e::Result r = exec(e2e::bin(command), command, args, {{"JTAG_PLATFORM", "rbb:" + at}});
    ::shutdown(listener, SHUT_RDWR);
    server.join();
    ::close(listener);
    return r;
  }

  // OpenOCD's remote_bitbang driver against the server, then `script`.
  e2e::Result openocd(const std::string &script) {
    const std::string setup = "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                              std::to_string(port_) + "; transport select jtag; adapter speed 1000; ";
    return exec(kOpenOCD, "openocd", {"-c", setup + script + "; shutdown"});
  }
  void need_openocd() {
    if (::access(kOpenOCD, X_OK) != 0) GTEST_SKIP() << "openocd is not installed (scripts/install-deps.sh installs it)";
  }
};

// IEEE 1149.1 as OpenOCD checks it: the expected IDCODE at init, IDCODE and
// BYPASS through irscan/drscan, on the processor the scan mode selects.
TEST_F(Wire, OpenOCDFindsIdcodeAndBypass) {
  need_openocd();
  for (const auto &[mode, idcode] : std::vector<std::pair<std::string, std::string>>{{"0x01", "0bc0e06b"},
                                                                                     {"0x04", "2bc0e06b"}}) {
    fresh();
    sim({"set", "scan_mode=" + mode});
    serve();
    const e2e::Result r =
        openocd("jtag newtap cpu tap -irlen 8 -expected-id 0x" + idcode +
                "; init; irscan cpu.tap 0x02; puts [drscan cpu.tap 32 0]; irscan cpu.tap 0xff; puts [drscan cpu.tap 8 0xa5]");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("tap/device found: 0x" + idcode), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(idcode + "\n4a\n"), std::string::npos) << r.out;  // 0xa5 one bit late through BYPASS
    EXPECT_EQ(stop(), 0);
  }
}

// A control register written by OpenOCD reads back with JTAG_ReadCreg, and
// one written by JTAG_WriteCreg reads back through OpenOCD.
TEST_F(Wire, ControlRegisterRoundTripsWithOpenOCD) {
  need_openocd();
  serve();
  const e2e::Result w = openocd(
      "jtag newtap cpu0 tap -irlen 8 -expected-id 0x0bc0e06b; init; irscan cpu0.tap 0x08; drscan cpu0.tap 40 0x10; "
      "irscan cpu0.tap 0x09; drscan cpu0.tap 64 0x1122334455667788; irscan cpu0.tap 0x0c; runtest 11");
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out, "1122334455667788\n");
  EXPECT_EQ(over_wire("JTAG_ReadCreg", {"10"}).out, "1122334455667788\n");

  ASSERT_EQ(over_wire("JTAG_WriteCreg", {"20", "cafef00d"}).status, 0);
  const e2e::Result r = openocd(
      "jtag newtap cpu0 tap -irlen 8 -expected-id 0x0bc0e06b; init; irscan cpu0.tap 0x08; drscan cpu0.tap 40 0x20; "
      "irscan cpu0.tap 0x0d; runtest 11; irscan cpu0.tap 0x0a; puts [drscan cpu0.tap 64 0]");
  EXPECT_NE(r.out.find("00000000cafef00d\n"), std::string::npos) << r.out << r.err;
}

// In full scan OpenOCD's autoprobe finds all eight TAPs, TDO end first,
// with their IDCODEs and IR lengths.
TEST_F(Wire, FullScanAutoprobeFindsEveryTap) {
  need_openocd();
  sim({"set", "scan_mode=0"});
  serve();
  const e2e::Result r = openocd("init");
  Lines found;
  for (const std::string &line : e2e::split_lines(r.err))
    if (line.find("AUTO auto") != std::string::npos) found.push_back(line.substr(line.find("-irlen")));
  EXPECT_EQ(found, (Lines{"-irlen 6 -expected-id 0x34a56093\"", "-irlen 6 -expected-id 0x24a56093\"",
                          "-irlen 6 -expected-id 0x14a56093\"", "-irlen 6 -expected-id 0x04a56093\"",
                          "-irlen 8 -expected-id 0x3bc0e06b\"", "-irlen 8 -expected-id 0x2bc0e06b\"",
                          "-irlen 8 -expected-id 0x1bc0e06b\"", "-irlen 8 -expected-id 0x0bc0e06b\""}))
      << r.err;
}

// An OpenOCD session that pauses between its commands does not keep the
// board: a command on it runs in the pause, and OpenOCD goes on afterwards
// on the board as the command left it.
TEST_F(Wire, IdleOpenOCDSessionSharesTheBoard) {
  need_openocd();
  serve();
  e2e::Result session;
  Clock::time_point session_end;
  std::thread ocd([&] {
    session = openocd(
        "jtag newtap cpu0 tap -irlen 8 -expected-id 0x0bc0e06b; init; sleep 4000; irscan cpu0.tap 0x08; "
        "drscan cpu0.tap 40 0x20; irscan cpu0.tap 0x0d; runtest 11; irscan cpu0.tap 0x0a; puts [drscan cpu0.tap 64 0]");
    session_end = Clock::now();
  });
  const auto deadline = Clock::now() + 20s;  // until OpenOCD's init is done
  while (e2e::tap_of(sim({"show"}), "cpu0") != "Run-Test/Idle, IR 0xff" && Clock::now() < deadline)
    std::this_thread::sleep_for(50ms);
  const e2e::Result write = run("JTAG_WriteCreg", {"20", "cafef00d"});
  const auto write_end = Clock::now();
  ocd.join();
  EXPECT_EQ(write.status, 0);
  EXPECT_LT(write_end, session_end);  // it did not wait for the session to end
  EXPECT_EQ(session.status, 0) << session.err;
  EXPECT_EQ(session.out, "00000000cafef00d\n");
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "");
}

// The protocol by hand: TCK edges walk the TAP, 'R' reads TDO, 'Q' ends
// the session and saves the board, a stray byte drops only that client,
// SIGTERM stops the server cleanly.
TEST_F(Wire, ServerSpeaksTheProtocol) {
  serve();
  {
    RawClient client(port_);
    ASSERT_TRUE(client.connected());
    // From Test-Logic-Reset: TMS 0 (Run-Test/Idle), 1 (Select-DR), 0, 0
    // (Shift-DR with IDCODE captured), then read the four low IDCODE bits
    // 1101 (0x..b).
    const std::string walk = "04" "26" "04" "04";  // TCK low, then high, with TMS and TDI
    std::string reads;
    for (int i = 0; i < 4; ++i) reads += "R04";
    ASSERT_TRUE(client.send(walk + reads + "rtsuBbZzQ"));
    EXPECT_EQ(client.read_to_end(), "1101");
  }
  EXPECT_EQ(e2e::tap_of(sim({"show"}), "cpu0"), "Test-Logic-Reset, IR 0x02");  // 't' asserted TRST

  {
    RawClient client(port_);
    ASSERT_TRUE(client.connected());
    ASSERT_TRUE(client.send("04RX"));
    EXPECT_EQ(client.read_to_end(), "1");  // answered up to the stray byte, then dropped
  }
  EXPECT_EQ(e2e::tap_of(sim({"show"}), "cpu0"), "Run-Test/Idle, IR 0x02");  // what it did before stays

  EXPECT_EQ(over_wire("JTAG_Reset", {}).out, "IDCODE = 0bc0e06b\n");  // still serving
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "jtag-sim serve: dropped a client that sent 0x58, which remote_bitbang does not have\n");
}

// A server that misbehaves: one line on standard error, status 1, no dump.
TEST_F(Wire, BackendFailsCleanly) {
  int port = 0;
  ::close(listening_socket(port));  // nobody listens there now
  const std::string where = "127.0.0.1:" + std::to_string(port);
  e2e::Result r = exec(e2e::bin("JTAG_Reset"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", "rbb:" + where}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + where + ": cannot connect: Connection refused\n");

  struct Fake {
    std::function<void(int)> behave;
    std::string message;
  };
  const std::vector<Fake> fakes = {
      {[](int fd) {
         char buf[64];
         (void)::read(fd, buf, sizeof buf);
       },
       "closed the connection"},
      {[](int fd) { answer_reads(fd, "", "x"); }, "answered 0x78 to a TDO read"},
      // More answers than reads: never written past the bits asked for.
      {[](int fd) { answer_reads(fd, "", "00"); }, "sent 0x30 when no TDO read was asked"},
      // A byte before anything was asked puts every answer one ahead.
      {[](int fd) { answer_reads(fd, "0", "0"); }, "sent 0x30 when no TDO read was asked"},
  };
  for (const Fake &f : fakes) {
    std::string at;
    r = against_fake(f.behave, "JTAG_ScanDump", {"0c", "100000", "out.hex"}, at);
    EXPECT_EQ(r.status, 1) << f.message;
    EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + at + ": " + f.message + "\n");
    EXPECT_EQ(e2e::read_file(path("out.hex")), "") << f.message;
  }

  // A server that accepts and then says nothing: bounded, never a hang.
  {
    int silent_port = 0;
    const int listener = listening_socket(silent_port);
    const std::string at = "127.0.0.1:" + std::to_string(silent_port);
    r = exec(e2e::bin("JTAG_IRPath"), "JTAG_IRPath", {"3", "8"}, {{"JTAG_PLATFORM", "rbb:" + at}});
    ::close(listener);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + at + ": no answer within 10 s\n");
  }

  serve();
  for (const auto &[command, args, what] : std::vector<std::tuple<std::string, Lines, std::string>>{
           {"JTAG_CPUSelect", {"1"}, "jtagbox: scan-mode selection cannot be reached through JTAG_PLATFORM=" + wire()},
           {"JTAG_VnxClockStop", {}, "jtagbox: FPGA registers cannot be reached through JTAG_PLATFORM=" + wire()},
           // The accelerator switch is the one failure the command reports itself.
           {"JTAG_ScanDR_Path", {"0c", "8", "out.hex", "-a"}, "can't activate the scan dump accelerator"}}) {
    r = over_wire(command, args);
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_EQ(r.err, what + "\n");
  }
  EXPECT_EQ(e2e::read_file(path("out.hex")), "");
}

// A server that answers, but only a trickle, cannot hold a command beyond
// the run's deadline: 15 s plus 20 us for each TCK.
TEST_F(Wire, TricklingServerMeetsTheDeadline) {
  std::string at;
  const auto started = std::chrono::steady_clock::now();
  const e2e::Result r = against_fake([](int fd) { answer_reads(fd, "", "0", 200 * 1000); }, "JTAG_Shift", {"0", "4096"}, at);
  const auto took = std::chrono::steady_clock::now() - started;
  EXPECT_EQ(r.status, 1);
  // Two TCKs to Select-DR-Scan, one to Capture-DR, one into Shift-DR, then the bits.
  EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + at + ": too slow: 4100 TCKs not done within 15 s\n");
  EXPECT_LT(took, std::chrono::seconds(40));
}

// A command never exits 0 unless the server has acted on everything it
// sent; a stopped server is found out, and a local command that follows a
// command on the wire sees all of its effect.
TEST_F(Wire, CommandEndsOnlyWhenTheBoardHasItsEffect) {
  serve();
  for (int i = 0; i < 5; ++i) {
    const std::string value = "1234567" + std::to_string(i);
    ASSERT_EQ(over_wire("JTAG_WriteCreg", {"10", value}).status, 0);
    EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out, "00000000" + value + "\n") << i;
  }
  ::kill(serving_.pid(), SIGSTOP);
  const e2e::Result r = over_wire("JTAG_TMS", {"0"});
  ::kill(serving_.pid(), SIGCONT);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "jtagbox: remote_bitbang server 127.0.0.1:" + std::to_string(port_) + ": no answer within 10 s\n");
}

// What JTAG_PLATFORM=rbb: refuses before it touches the wire.
TEST_F(Wire, BackendRefusesBadPlatformsAndRecords) {
  for (const std::string value : {"rbb:127.0.0.1:99219", "rbb:127.0.0.1:0", "rbb:127.0.0.1:", "rbb:3335", "rbb:h:+80"}) {
    const e2e::Result r = exec(e2e::bin("JTAG_TMS"), "JTAG_TMS", {"1"}, {{"JTAG_PLATFORM", value}});
    EXPECT_EQ(r.status, 1) << value;
    EXPECT_EQ(r.err, "jtagbox: JTAG_PLATFORM=" + value + " is not rbb:HOST:PORT with PORT 1..65535\n") << value;
  }
  const std::string platform = "rbb:127.0.0.1:3335";
  const e2e::Result nowhere =
      exec(e2e::bin("JTAG_TMS"), "JTAG_TMS", {"1"}, {{"JTAG_PLATFORM", platform}, {"HOME", ""}, {"XDG_STATE_HOME", ""}});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_EQ(nowhere.err,
            "jtagbox: neither XDG_STATE_HOME nor HOME is an absolute path: no place to keep the TAP record\n");

  // A record that is a planted link, or that is not a record, is reported
  // and left as it is; nothing is written through it.
  const auto records = path("state") / "jtagbox" / "tap-records";
  std::filesystem::create_directories(records);
  const auto record = records / "rbb-127.0.0.1-3335";
  e2e::write_file(path("victim"), "precious\n");
  std::filesystem::create_symlink(path("victim"), record);
  e2e::Result r = exec(e2e::bin("JTAG_TMS"), "JTAG_TMS", {"1"}, {{"JTAG_PLATFORM", platform}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "jtagbox: the TAP record " + record.string() + " cannot be read: it is a symbolic link\n");
  EXPECT_EQ(e2e::read_file(path("victim")), "precious\n");
  std::filesystem::remove(record);
  e2e::write_file(record, "jtagbox tap record 1\ntap=Nowhere\n");
  r = exec(e2e::bin("JTAG_TMS"), "JTAG_TMS", {"1"}, {{"JTAG_PLATFORM", platform}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "jtagbox: the TAP record " + record.string() +
                       " cannot be read; remove it, then JTAG_Reset brings the TAP and the record in step\n");
  EXPECT_EQ(e2e::read_file(record), "jtagbox tap record 1\ntap=Nowhere\n");
}

// Records of servers long gone do not pile up: a run keeps the newest 64.
TEST_F(Wire, OldTapRecordsArePruned) {
  const auto records = path("state") / "jtagbox" / "tap-records";
  std::filesystem::create_directories(records);
  for (int i = 0; i < 70; ++i) e2e::write_file(records / ("rbb-127.0.0.1-" + std::to_string(1000 + i)), "old\n");
  serve();
  ASSERT_EQ(over_wire("JTAG_TMS", {"1"}).status, 0);
  size_t count = 0;
  for (const auto &entry : std::filesystem::directory_iterator(records)) {
    (void)entry;
    ++count;
  }
  EXPECT_EQ(count, 64u);
  EXPECT_EQ(e2e::read_file(records / ("rbb-127.0.0.1-" + std::to_string(port_))),
            "jtagbox tap record 1\ntap=Test-Logic-Reset\ntms=1\ntdi=1\n");
}

TEST_F(Wire, ServeRejectsBadArguments) {
  for (const Lines &args : {Lines{"serve", "--port", "x"}, Lines{"serve", "--port", "65536"}, Lines{"serve", "9"}}) {
    const e2e::Result r = exec(e2e::bin("jtag-sim"), "jtag-sim", args);
    EXPECT_EQ(r.status, 2) << args.back();
    EXPECT_NE(r.err.find("Try 'jtag-sim --help'."), std::string::npos) << r.err;
  }
}

// The backend keeps the TAP state and TMS level between runs, per server,
// as the adapter would.
TEST_F(Wire, BackendKeepsTheTapStateBetweenRuns) {
  serve();
  ASSERT_EQ(over_wire("JTAG_Reset", {}).status, 0);
  ASSERT_EQ(over_wire("JTAG_TMS", {"0"}).status, 0);
  ASSERT_EQ(over_wire("JTAG_TMS", {"1"}).status, 0);
  ASSERT_EQ(over_wire("JTAG_Tck", {"1"}).status, 0);  // TMS still 1: Select-IR-Scan
  EXPECT_EQ(e2e::read_file(path("state") / "jtagbox" / "tap-records" / ("rbb-127.0.0.1-" + std::to_string(port_))),
            "jtagbox tap record 1\ntap=Select-IR-Scan\ntms=1\ntdi=1\n");
  EXPECT_EQ(e2e::tap_of(sim({"show"}), "cpu0"), "Select-IR-Scan, IR 0x02");
}

}  // namespace
