#include "support/rbb_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "support/child_process.h"
#include "support/e2e.h"

namespace e2e {
namespace {

using Clock = std::chrono::steady_clock;

int ms_left(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

}  // namespace

int listen_loopback(int &port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = loopback(0);
  socklen_t len = sizeof a;
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  port = ntohs(a.sin_port);
  return fd;
}

int connect_loopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in a = loopback(port);
  const int one = 1;  // the tests' servers forward small requests at once
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr *>(&a), sizeof a) == 0 &&
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0)
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

std::string rbb_clocks(const std::string &tms, bool tdi) {
  std::string bytes;
  for (const char t : tms) {
    const char low = char('0' + (t == '1' ? 2 : 0) + (tdi ? 1 : 0));
    bytes += {low, char(low + 4)};
  }
  return bytes;
}

int ServeProcess::start(const std::string &platform, const std::filesystem::path &err_file,
                        const std::vector<std::string> &extra) {
  std::vector<std::string> args = {"jtag-sim", "serve", "--port", "0"};
  args.insert(args.end(), extra.begin(), extra.end());
  return start_program("jtag-sim", args, platform, err_file);
}

int ServeProcess::start_program(const std::string &program, const std::vector<std::string> &args,
                                const std::map<std::string, std::string> &env, const std::filesystem::path &err_file,
                                int more_lines) {
  int out = -1;
  pid_ = start_child(bin(program), args, env, err_file, out);
  if (pid_ <= 0) return 0;
  const auto deadline = Clock::now() + 30s;
  std::string line;
  port_ = read_line(out, deadline, line) ? std::atoi(line.c_str()) : 0;
  more_ports_.clear();
  for (int i = 0; i < more_lines; ++i)
    more_ports_.push_back(read_line(out, deadline, line) ? std::atoi(line.c_str()) : 0);
  ::close(out);
  return port_;
}

int ServeProcess::stop(std::chrono::milliseconds limit) {
  const int status = pid_ > 0 ? stop_child(pid_, limit, "the server") : -1;
  pid_ = -1;
  return status;
}

std::string RawClient::read(std::size_t count, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::string got;
  char buf[4096];
  pollfd p{fd_, POLLIN, 0};
  while (got.size() < count && ::poll(&p, 1, ms_left(deadline)) > 0) {
    const ssize_t n = ::recv(fd_, buf, std::min(sizeof buf, count - got.size()), MSG_DONTWAIT);
    if (n <= 0 && !(n < 0 && errno == EAGAIN)) break;
    if (n > 0) got.append(buf, size_t(n));
  }
  return got;
}

std::string RawClient::read_to_end() {
  std::string all;
  for (std::string more; !(more = read(4096, 5s)).empty();) all += more;
  return all;
}

std::size_t RawClient::flood(const std::string &unit, std::size_t total, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  std::size_t sent = 0;
  pollfd p{fd_, POLLOUT, 0};
  while (sent<total && ::poll(&p, 1, ms_left(deadline))> 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) == 0) {
    const std::size_t at = sent % unit.size();
    const ssize_t n =
        ::send(fd_, unit.data() + at, std::min(unit.size() - at, total - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n < 0 && errno != EAGAIN) break;
    if (n > 0) sent += size_t(n);
  }
  return sent;
}

void RawClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace e2e
