// Test support for the board on the wire: a server program (`jtag-sim
// serve`, `jtag-serve`) in a child process, a raw TCP client of it, and the
// loopback sockets of the tests' own servers.
#ifndef JTAGBOX_TESTS_SUPPORT_RBB_WIRE_H
#define JTAGBOX_TESTS_SUPPORT_RBB_WIRE_H

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace e2e {

using namespace std::chrono_literals;

// A socket listening on a free port of 127.0.0.1 (-1 when none), its port
// in `port`; and a connection to 127.0.0.1:port (-1 when refused).
int listen_loopback(int &port);
int connect_loopback(int port);

// remote_bitbang bytes of one TCK per character of `tms`: TCK low with TMS
// and TDI, then TCK high.
std::string rbb_clocks(const std::string &tms, bool tdi = false);

// A server in a child process; stopped when this goes.
class ServeProcess {
 public:
  ServeProcess() = default;
  ~ServeProcess() { stop(); }
  ServeProcess(const ServeProcess &) = delete;
  ServeProcess &operator=(const ServeProcess &) = delete;

  // `jtag-sim serve --port 0 EXTRA...` of the board `platform` (a
  // JTAG_PLATFORM value) names, its standard error to `err_file` (empty:
  // the test's own).  The port it printed, 0 when none within 30 s.
  int start(const std::string &platform, const std::filesystem::path &err_file = {},
            const std::vector<std::string> &extra = {});
  // The same with any installed server and its arguments (`args` starts
  // with argv[0]), e.g. {"jtag-serve", "--xvc", "0"}: the port of its first
  // line, and of the `more_lines` after it in more_ports().
  int start_program(const std::string &program, const std::vector<std::string> &args, const std::string &platform,
                    const std::filesystem::path &err_file = {}, int more_lines = 0) {
    return start_program(program, args, {{"JTAG_PLATFORM", platform}}, err_file, more_lines);
  }
  // The same with variables of its own (JTAG_PLATFORM among them).
  int start_program(const std::string &program, const std::vector<std::string> &args,
                    const std::map<std::string, std::string> &env, const std::filesystem::path &err_file = {},
                    int more_lines = 0);
  const std::vector<int> &more_ports() const { return more_ports_; }
  // SIGTERM, then its exit status (128 + signal), or -1 when none runs.
  // One still there after `limit` fails the test and is killed.
  int stop(std::chrono::milliseconds limit = 10s);
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::vector<int> more_ports_;
};

// A TCP client of 127.0.0.1:port that sends and reads raw bytes, each call
// bounded in time.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(connect_loopback(port)) {}
  ~RawClient() { close(); }
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  // All of `bytes`; false when the server closed or 10 s went by.
  bool send(const std::string &bytes) { return flood(bytes, bytes.size(), 10s) == bytes.size(); }
  // `count` bytes, fewer when the server closed or `limit` went by.
  std::string read(std::size_t count, std::chrono::milliseconds limit = 10s);
  // Everything until the server closes the connection (5 s at most).
  std::string read_to_end();
  // Sends `unit` again and again, reading nothing, until `total` bytes went
  // out, the server closed, or `limit` went by; the bytes sent.
  std::size_t flood(const std::string &unit, std::size_t total, std::chrono::milliseconds limit);
  void shutdown_writes() { ::shutdown(fd_, SHUT_WR); }  // the server reads an end of file
  void close();

 private:
  int fd_ = -1;
};

}  // namespace e2e

#endif
