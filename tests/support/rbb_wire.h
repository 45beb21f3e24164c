// Test support for the board on the wire: `jtag-sim serve` in a child
// process, and a raw client that speaks remote_bitbang by hand.
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

// `jtag-sim serve --port 0` in a child process; stopped when this goes.
class ServeProcess {
 public:
  ServeProcess() = default;
  ~ServeProcess() { stop(); }
  ServeProcess(const ServeProcess &) = delete;
  ServeProcess &operator=(const ServeProcess &) = delete;

  // Serves the board that `platform` (a JTAG_PLATFORM value) names, its
  // standard error to `err_file` (empty: the test's own).  Returns the port
  // it printed, 0 when it printed none within 30 s.  `extra` follows
  // `serve --port 0` on its command line.
  int start(const std::string &platform, const std::filesystem::path &err_file = {},
            const std::vector<std::string> &extra = {});
  // The same with any installed server program and its arguments (`args`
  // starts with argv[0]), e.g. {"jtag-serve", "--xvc", "0"}.  Returns the
  // port of the first line; the lines after it stay in `more_lines`.
  int start_program(const std::string &program, const std::vector<std::string> &args, const std::string &platform,
                    const std::filesystem::path &err_file = {}, int more_lines = 0);
  // The same with variables of its own (JTAG_PLATFORM among them).
  int start_program(const std::string &program, const std::vector<std::string> &args,
                    const std::map<std::string, std::string> &env, const std::filesystem::path &err_file = {},
                    int more_lines = 0);
  const std::vector<int> &more_ports() const { return more_ports_; }
  // SIGTERM, then its exit status (128 + signal when a signal ended it), or
  // -1 when none runs.  One still there after `limit` fails the test and is
  // killed.
  int stop(std::chrono::milliseconds limit = 10s);
  int port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::vector<int> more_ports_;
};

// A TCP client of 127.0.0.1:port that sends and reads raw bytes.  Every
// call is bounded in time.
class RawClient {
 public:
  explicit RawClient(int port);  // connected() tells whether it is
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
  // Sends `unit` again and again and never reads, until `total` bytes went
  // out, the server closed, or `limit` went by.  Returns the bytes sent.
  std::size_t flood(const std::string &unit, std::size_t total, std::chrono::milliseconds limit);
  void shutdown_writes() { ::shutdown(fd_, SHUT_WR); }  // the server reads an end of file
  void close();

 private:
  int fd_ = -1;
};

}  // namespace e2e

#endif
