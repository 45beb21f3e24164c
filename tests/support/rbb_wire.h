// Test support for the board on the wire: a server (`jtag-sim serve`,
// `jtag-serve`) in a child process, a raw TCP client, loopback sockets.
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

int listen_loopback(int &port);  // a socket listening on a free port of 127.0.0.1, or -1
int connect_loopback(int port);  // a connection to 127.0.0.1:port, or -1
// remote_bitbang bytes of a TCK per character of `tms`: TCK low with TMS and TDI, then high.
std::string rbb_clocks(const std::string &tms, bool tdi = false);

// A server in a child process, stopped when this goes.  Each start gives
// the port the server printed (0 when none within 30 s), its standard error
// to `err_file` (empty: the test's own).
class ServeProcess {
 public:
  ServeProcess() = default;
  ~ServeProcess() { stop(); }
  ServeProcess(const ServeProcess &) = delete;
  ServeProcess &operator=(const ServeProcess &) = delete;

  // `jtag-sim serve --port 0 EXTRA...` of the board `platform` (a JTAG_PLATFORM value).
  int start(const std::string &platform, const std::filesystem::path &err_file = {},
            const std::vector<std::string> &extra = {});
  // Any installed server, `args` from argv[0]; the ports of `more_lines`
  // lines after the first go to more_ports().
  int start_program(const std::string &program, const std::vector<std::string> &args, const std::string &platform,
                    const std::filesystem::path &err_file = {}, int more_lines = 0) {
    return start_program(program, args, {{"JTAG_PLATFORM", platform}}, err_file, more_lines);
  }
  int start_program(const std::string &program, const std::vector<std::string> &args,
                    const std::map<std::string, std::string> &env, const std::filesystem::path &err_file = {},
                    int more_lines = 0);
  const std::vector<int> &more_ports() const { return more_ports_; }
  // SIGTERM, then its exit status (128 + signal), -1 when none runs; one
  // still there after `limit` fails the test and is killed.
  int stop(std::chrono::milliseconds limit = 10s);
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::vector<int> more_ports_;
};

// A TCP client of 127.0.0.1:port sending and reading raw bytes, each call
// bounded in time.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(connect_loopback(port)) {}
  struct Adopt {};
  RawClient(Adopt /*unused*/, int fd) : fd_(fd) {}  // a connection accepted
  ~RawClient() { close(); }
  RawClient(const RawClient &) = delete;
  RawClient &operator=(const RawClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  // All of `bytes`; false when the server closed or 10 s went by.
  bool send(const std::string &bytes) { return flood(bytes, bytes.size(), 10s) == bytes.size(); }
  // `count` bytes, fewer when the server closed or `limit` went by.
  std::string read(std::size_t count, std::chrono::milliseconds limit = 10s);
  std::string read_to_end();  // until the server closes (5 s at most)
  // `unit` again and again, reading nothing, until `total` bytes went out,
  // the server closed or `limit` went by; the bytes sent.
  std::size_t flood(const std::string &unit, std::size_t total, std::chrono::milliseconds limit);
  void shutdown_writes() { ::shutdown(fd_, SHUT_WR); }  // the server reads an end of file
  void close();

 private:
  int fd_ = -1;
};

}  // namespace e2e

#endif
