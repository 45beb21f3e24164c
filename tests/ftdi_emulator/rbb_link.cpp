#include "rbb_link.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "protocols/rbb_protocol.h"

namespace ftdi_emu {

namespace {

// No progress either way for this long and the board is taken as gone.
constexpr int kStallMs = 10000;

struct AddrInfoFree {
  void operator()(addrinfo *a) const { freeaddrinfo(a); }
};

}  // namespace

RbbLink::~RbbLink() { close(); }

void RbbLink::close() {
  if (fd_ < 0) return;
  const char quit = jtag::rbb::kQuit;
  (void)::send(fd_, &quit, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
  ::close(fd_);
  fd_ = -1;
}

bool RbbLink::connect(std::string &error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *found = nullptr;
  const std::string port = std::to_string(port_);
  if (getaddrinfo(host_.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    error = "cannot resolve " + host_;
    return false;
  }
  const std::unique_ptr<addrinfo, AddrInfoFree> owned(found);
  for (addrinfo *a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) == 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
      fd_ = fd;
      return true;
    }
    ::close(fd);
  }
  error = "cannot connect to remote_bitbang server " + host_ + ":" + port + ": " + std::strerror(errno);
  return false;
}

std::optional<std::vector<bool>> RbbLink::run(const std::string &bytes, std::size_t samples, std::string &error) {
  if (fd_ < 0 && !connect(error)) return std::nullopt;
  std::vector<bool> tdo;
  tdo.reserve(samples);
  std::size_t sent = 0;
  char buffer[4096];
  // The link is closed on any failure; the next batch connects afresh.
  const auto lost = [&](const std::string &why) {
    error = why;
    close();
    return std::nullopt;
  };
  while (sent < bytes.size() || tdo.size() < samples) {
    pollfd p{fd_, short(POLLIN | (sent < bytes.size() ? POLLOUT : 0)), 0};
    const int ready = ::poll(&p, 1, kStallMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return lost("remote_bitbang server did not answer within 10 s");
    if ((p.revents & POLLOUT) != 0) {
      const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN && errno != EINTR)
        return lost(std::string("remote_bitbang server: ") + std::strerror(errno));
      if (n > 0) sent += std::size_t(n);
    }
    if ((p.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
      const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
        return lost("remote_bitbang server closed the connection");
      for (ssize_t i = 0; i < n; ++i) {
        const std::optional<bool> level = jtag::rbb::tdo_of(buffer[i]);
        if (!level || tdo.size() >= samples) return lost("remote_bitbang server sent an unexpected byte");
        tdo.push_back(*level);
      }
    }
  }
  return tdo;
}

}  // namespace ftdi_emu
