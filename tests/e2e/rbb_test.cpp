// The board on the wire: jtag-sim serve as OpenOCD sees it, the protocol by
// hand, and how the rbb: backend fails when the server misbehaves.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <thread>

#include "board_view.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;

const char *const kOpenOCD = "/usr/bin/openocd";

// A socket listening on a free port of 127.0.0.1.
int listening_socket(int &port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 4) != 0) ADD_FAILURE();
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

// A fake server's way of answering: `early` before anything is asked, then
// `per_read` for each 'R', `pause_us` before each answer.
void answer_reads(int fd, const std::string &early, const std::string &per_read, int pause_us = 0) {
  if (!early.empty() && ::send(fd, early.data(), early.size(), MSG_NOSIGNAL) <= 0) return;
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] != 'R') continue;
      if (pause_us > 0) ::usleep(useconds_t(pause_us));
      if (::send(fd, per_read.data(), per_read.size(), MSG_NOSIGNAL) <= 0) return;
    }
}

class Wire : public ServedBoardTest {
 protected:
  // `command` against a fake server that behaves as `behave` says (nullptr:
  // it accepts nothing and says nothing); `at` is set to its HOST:PORT.
  Result against_fake(const std::function<void(int)> &behave, const std::string &command, const Lines &args,
                      std::string &at) {
    int fake_port = 0;
    const int listener = listening_socket(fake_port);
    std::thread server([&] {
      if (!behave) return;
      const int fd = ::accept(listener, nullptr, nullptr);
      behave(fd);
      ::close(fd);
    });
    at = "127.0.0.1:" + std::to_string(fake_port);
    Result r = exec(bin(command), command, args, {{"JTAG_PLATFORM", "rbb:" + at}});
    ::shutdown(listener, SHUT_RDWR);
    server.join();
    ::close(listener);
    return r;
  }
  // OpenOCD's remote_bitbang driver against the server, then `script`.
  Result openocd(const std::string &script) {
    return exec(
        kOpenOCD, "openocd",
        {"-c", "adapter driver remote_bitbang; remote_bitbang host 127.0.0.1; remote_bitbang port " +
                   std::to_string(port_) + "; transport select jtag; adapter speed 1000; " + script + "; shutdown"});
  }
  void need_openocd() {
    if (::access(kOpenOCD, X_OK) != 0) GTEST_SKIP() << "openocd is not installed (scripts/install-deps.sh installs it)";
  }
  std::string record() { return read_file(path("state/jtagbox/tap-records/rbb-127.0.0.1-" + std::to_string(port_))); }
};

const std::string kCpu0 = "jtag newtap cpu0 tap -irlen 8 -expected-id 0x0bc0e06b; init; ";

// IEEE 1149.1 as OpenOCD checks it: the expected IDCODE at init, IDCODE and
// BYPASS through irscan/drscan on the processor the scan mode selects, and
// in full scan all eight TAPs found by autoprobe, TDO end first.
TEST_F(Wire, OpenOCDFindsIdcodeBypassAndEveryTap) {
  need_openocd();
  for (const auto &[mode, idcode] : {std::pair<std::string, std::string>{"0x01", "0bc0e06b"}, {"0x04", "2bc0e06b"}}) {
    fresh();
    sim({"set", "scan_mode=" + mode});
    serve();
    const Result r = openocd("jtag newtap cpu tap -irlen 8 -expected-id 0x" + idcode +
                             "; init; irscan cpu.tap 0x02; puts [drscan cpu.tap 32 0]; irscan cpu.tap 0xff; puts "
                             "[drscan cpu.tap 8 0xa5]");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("tap/device found: 0x" + idcode), std::string::npos) << r.err;
    EXPECT_NE(r.out.find(idcode + "\n4a\n"), std::string::npos) << r.out;  // 0xa5 one bit late through BYPASS
    EXPECT_EQ(stop(), 0);
  }
  sim({"set", "scan_mode=0"});
  serve();
  Lines found;
  for (const std::string &line : split_lines(openocd("init").err))
    if (line.find("AUTO auto") != std::string::npos) found.push_back(line.substr(line.find("-irlen")));
  EXPECT_EQ(found, (Lines{"-irlen 6 -expected-id 0x34a56093\"", "-irlen 6 -expected-id 0x24a56093\"",
                          "-irlen 6 -expected-id 0x14a56093\"", "-irlen 6 -expected-id 0x04a56093\"",
                          "-irlen 8 -expected-id 0x3bc0e06b\"", "-irlen 8 -expected-id 0x2bc0e06b\"",
                          "-irlen 8 -expected-id 0x1bc0e06b\"", "-irlen 8 -expected-id 0x0bc0e06b\""}));
}

// A control register written by OpenOCD reads back with JTAG_ReadCreg, on
// the board and over the wire (the other way round: the idle session below).
TEST_F(Wire, ControlRegisterRoundTripsWithOpenOCD) {
  need_openocd();
  serve();
  const Result w = openocd(kCpu0 +
                           "irscan cpu0.tap 0x08; drscan cpu0.tap 40 0x10; irscan cpu0.tap 0x09; "
                           "drscan cpu0.tap 64 0x1122334455667788; irscan cpu0.tap 0x0c; runtest 11");
  ASSERT_EQ(w.status, 0) << w.err;
  EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out, "1122334455667788\n");
  EXPECT_EQ(over_wire("JTAG_ReadCreg", {"10"}).out, "1122334455667788\n");
}

// An OpenOCD session that pauses between its commands does not keep the
// board: a command on it runs in the pause, and OpenOCD goes on afterwards
// on the board as the command left it.
TEST_F(Wire, IdleOpenOCDSessionSharesTheBoard) {
  need_openocd();
  serve();
  Result session;
  Clock::time_point session_end;
  std::thread ocd([&] {
    session = openocd(kCpu0 +
                      "sleep 4000; irscan cpu0.tap 0x08; drscan cpu0.tap 40 0x20; irscan cpu0.tap 0x0d; "
                      "runtest 11; irscan cpu0.tap 0x0a; puts [drscan cpu0.tap 64 0]");
    session_end = Clock::now();
  });
  const auto deadline = Clock::now() + 20s;  // until OpenOCD's init is done
  while (tap("cpu0") != "Run-Test/Idle, IR 0xff" && Clock::now() < deadline) std::this_thread::sleep_for(50ms);
  const Result write = run("JTAG_WriteCreg", {"20", "cafef00d"});
  const auto write_end = Clock::now();
  ocd.join();
  EXPECT_EQ(write.status, 0);
  EXPECT_LT(write_end, session_end);  // it did not wait for the session to end
  EXPECT_EQ(session.status, 0) << session.err;
  EXPECT_EQ(session.out, "00000000cafef00d\n");
  EXPECT_EQ(stop(), 0);
  EXPECT_EQ(serve_err(), "");
}

// The protocol by hand: TCK edges walk the TAP, 'R' reads TDO, the other
// letters are taken ('t' asserts TRST, 's' SRST, 'u' both), 'Q' ends the
// session.  The board keeps its SRST level and counts its assertions.
TEST_F(Wire, ServerSpeaksTheProtocol) {
  serve();
  RawClient client(port_);
  ASSERT_TRUE(client.connected());
  // From Test-Logic-Reset: TMS 0, 1, 0, 0 (Shift-DR with IDCODE captured),
  // then the four low IDCODE bits, 1101 (0x..b).
  ASSERT_TRUE(
      client.send("04"
                  "26"
                  "04"
                  "04"
                  "R04"
                  "R04"
                  "R04"
                  "R04"
                  "rtsuBbZzQ"));
  EXPECT_EQ(client.read_to_end(), "1101");
  EXPECT_EQ(tap("cpu0"), "Test-Logic-Reset, IR 0x02");
  EXPECT_EQ(sim({"get", "srst", "srst_assertions"}), "0x1\n0x1\n");
  RawClient again(port_);
  ASSERT_TRUE(again.send("rsrtQ"));
  EXPECT_EQ(again.read_to_end(), "");
  EXPECT_EQ(sim({"get", "srst", "srst_assertions"}), "0x0\n0x2\n");
  EXPECT_EQ(e2e::line_starting(sim({"show"}), "SRST"), "SRST: released, asserted 2 times");
}

// A server that misbehaves: one line on standard error, status 1, no dump.
TEST_F(Wire, BackendFailsCleanly) {
  int port = 0;
  ::close(listening_socket(port));  // nobody listens there now
  const std::string where = "127.0.0.1:" + std::to_string(port);
  Result r = exec(bin("JTAG_Reset"), "JTAG_Reset", {}, {{"JTAG_PLATFORM", "rbb:" + where}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + where + ": cannot connect: Connection refused\n");

  const std::pair<std::function<void(int)>, std::string> fakes[] = {
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
  for (const auto &[behave, message] : fakes) {
    std::string at;
    r = against_fake(behave, "JTAG_ScanDump", {"0c", "100000", "out.hex"}, at);
    EXPECT_EQ(r.status, 1) << message;
    EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + at + ": " + message + "\n");
    EXPECT_EQ(read_file(path("out.hex")), "") << message;
  }

  // A server that takes the connection and says nothing: bounded, and a
  // command that reads no TDO still waits for the answer that ends the run.
  std::string at;
  r = against_fake(nullptr, "JTAG_TMS", {"0"}, at);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + at + ": no answer within 10 s\n");

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
  EXPECT_EQ(read_file(path("out.hex")), "");
}

// A server that answers, but only a trickle, cannot hold a command beyond
// the run's deadline: 15 s plus 20 us for each TCK.
TEST_F(Wire, TricklingServerMeetsTheDeadline) {
  std::string at;
  const auto started = Clock::now();
  const Result r = against_fake([](int fd) { answer_reads(fd, "", "0", 200 * 1000); }, "JTAG_Shift", {"0", "4096"}, at);
  EXPECT_LT(Clock::now() - started, 40s);
  EXPECT_EQ(r.status, 1);
  // Two TCKs to Select-DR-Scan, one to Capture-DR, one into Shift-DR, then the bits.
  EXPECT_EQ(r.err, "jtagbox: remote_bitbang server " + at + ": too slow: 4100 TCKs not done within 15 s\n");
}

// A command ends only once the server acted on everything it sent, so a
// local command that follows sees all of its effect; the backend keeps the
// TAP state and TMS level between runs, per server, as the adapter would.
TEST_F(Wire, CommandEndsOnlyWhenTheBoardHasItsEffect) {
  serve();
  for (int i = 0; i < 5; ++i) {
    const std::string value = "1234567" + std::to_string(i);
    ASSERT_EQ(over_wire("JTAG_WriteCreg", {"10", value}).status, 0);
    EXPECT_EQ(run("JTAG_ReadCreg", {"10"}).out, "00000000" + value + "\n") << i;
  }
  ASSERT_EQ(over_wire("JTAG_Reset", {}).status, 0);
  ASSERT_EQ(over_wire("JTAG_TMS", {"0"}).status, 0);
  ASSERT_EQ(over_wire("JTAG_TMS", {"1"}).status, 0);
  ASSERT_EQ(over_wire("JTAG_Tck", {"1"}).status, 0);  // TMS still 1: Select-IR-Scan
  EXPECT_EQ(record(), "jtagbox tap record 1\ntap=Select-IR-Scan\ntms=1\ntdi=1\n");
  EXPECT_EQ(tap("cpu0"), "Select-IR-Scan, IR 0x02");
}

// What JTAG_PLATFORM=rbb: refuses before it touches the wire: a bad value,
// no place for the TAP record, a record that is a planted link or not a
// record (reported and left as it is).
TEST_F(Wire, BackendRefusesBadPlatformsAndRecords) {
  const auto tms = [this](const std::string &platform, const std::map<std::string, std::string> &more = {}) {
    std::map<std::string, std::string> env = more;
    env["JTAG_PLATFORM"] = platform;
    const Result r = exec(bin("JTAG_TMS"), "JTAG_TMS", {"1"}, env);
    EXPECT_EQ(r.status, 1) << platform;
    return r.err;
  };
  for (const std::string value : {"rbb:127.0.0.1:99219", "rbb:127.0.0.1:0", "rbb:127.0.0.1:", "rbb:3335", "rbb:h:+80"})
    EXPECT_EQ(tms(value), "jtagbox: JTAG_PLATFORM=" + value + " is not rbb:HOST:PORT with PORT 1..65535\n");
  EXPECT_EQ(tms("rbb:"), "jtagbox: JTAG_PLATFORM=rbb: needs HOST:PORT\n");
  EXPECT_EQ(tms("rbb"), "jtagbox: JTAG_PLATFORM=rbb needs HOST:PORT\n");
  EXPECT_EQ(tms("rbb:host=127.0.0.1,p=1"),
            "jtagbox: JTAG_PLATFORM=rbb:host=127.0.0.1,p=1: unknown key 'p' (rbb takes host, port)\n");
  const std::string platform = "rbb:127.0.0.1:3335";
  EXPECT_EQ(tms(platform, {{"HOME", ""}, {"XDG_STATE_HOME", ""}}),
            "jtagbox: neither XDG_STATE_HOME nor HOME is an absolute path: no place for the TAP record\n");
  const auto record = path("state/jtagbox/tap-records/rbb-127.0.0.1-3335");
  std::filesystem::create_directories(record.parent_path());
  write_file(path("victim"), "precious\n");
  std::filesystem::create_symlink(path("victim"), record);
  EXPECT_EQ(tms(platform), "jtagbox: the TAP record " + record.string() + " cannot be read: it is a symbolic link\n");
  EXPECT_EQ(read_file(path("victim")), "precious\n");
  std::filesystem::remove(record);
  write_file(record, "jtagbox tap record 1\ntap=Nowhere\n");
  EXPECT_EQ(tms(platform), "jtagbox: the TAP record " + record.string() +
                               " cannot be read; remove it, then JTAG_Reset brings the TAP and the record in step\n");
  EXPECT_EQ(read_file(record), "jtagbox tap record 1\ntap=Nowhere\n");
}

// Records of servers long gone do not pile up: a run keeps the newest 64.
TEST_F(Wire, OldTapRecordsArePruned) {
  const auto records = path("state/jtagbox/tap-records");
  std::filesystem::create_directories(records);
  for (int i = 0; i < 70; ++i) write_file(records / ("rbb-127.0.0.1-" + std::to_string(1000 + i)), "old\n");
  serve();
  ASSERT_EQ(over_wire("JTAG_TMS", {"1"}).status, 0);
  const auto entries = std::filesystem::directory_iterator(records);
  EXPECT_EQ(std::distance(begin(entries), end(entries)), 64);
  EXPECT_EQ(record(), "jtagbox tap record 1\ntap=Test-Logic-Reset\ntms=1\ntdi=1\n");
}

}  // namespace
