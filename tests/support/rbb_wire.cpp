#include "support/rbb_wire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
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

// The first line the child writes on `fd`, waiting 30 s at most.
std::string first_line(int fd) {
  const auto deadline = Clock::now() + 30s;
  std::string line;
  char c = 0;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, ms_left(deadline)) > 0 && ::read(fd, &c, 1) == 1 && c != '\n') line.push_back(c);
  return line;
}

}  // namespace

int ServeProcess::start(const std::string &platform, const std::filesystem::path &err_file,
                        const std::vector<std::string> &extra) {
  std::vector<std::string> args = {"jtag-sim", "serve", "--port", "0"};
  args.insert(args.end(), extra.begin(), extra.end());
  return start_program("jtag-sim", args, platform, err_file);
}

int ServeProcess::start_program(const std::string &program, const std::vector<std::string> &args,
                                const std::string &platform, const std::filesystem::path &err_file, int more_lines) {
  return start_program(program, args, std::map<std::string, std::string>{{"JTAG_PLATFORM", platform}}, err_file,
                       more_lines);
}

int ServeProcess::start_program(const std::string &program, const std::vector<std::string> &args,
                                const std::map<std::string, std::string> &env, const std::filesystem::path &err_file,
                                int more_lines) {
  int out = -1;
  pid_ = start_child(bin(program), args, env, err_file, out);
  if (pid_ <= 0) return 0;
  const std::string line = first_line(out);
  more_ports_.clear();
  for (int i = 0; i < more_lines; ++i) {
    const std::string more = first_line(out);
    more_ports_.push_back(more.empty() ? 0 : std::atoi(more.c_str()));
  }
  ::close(out);
  port_ = line.empty() ? 0 : std::atoi(line.c_str());
  return port_;
}

int ServeProcess::stop(std::chrono::milliseconds limit) {
  if (pid_ <= 0) return -1;
  const int status = stop_child(pid_, limit, "the server");
  pid_ = -1;
  return status;
}

RawClient::RawClient(int port) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) close();
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
  while (sent<total && ::poll(&p, 1, ms_left(deadline))> 0) {
    if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) break;
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
