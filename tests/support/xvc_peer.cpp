#include "support/xvc_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>

namespace e2e {
namespace {

// Every wait of the peer: a test never hangs on it.
constexpr int kWaitMs = 20000;

int connect_loopback(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(uint16_t(port));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  const int one = 1;
  if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

// Exactly `n` bytes, or false (closed, or nothing for kWaitMs).
bool read_exactly(int fd, std::string &out, size_t n) {
  out.assign(n, '\0');
  size_t got = 0;
  while (got < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) return false;
    const ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

bool write_all(int fd, const std::string &bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, kWaitMs) <= 0) return false;
    const ssize_t r = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (r <= 0) return false;
    sent += size_t(r);
  }
  return true;
}

uint32_t le32(const std::string &b) {
  return uint32_t(uint8_t(b[0])) | uint32_t(uint8_t(b[1])) << 8 | uint32_t(uint8_t(b[2])) << 16 |
         uint32_t(uint8_t(b[3])) << 24;
}

bool bit(const std::string &v, size_t i) { return (uint8_t(v[i / 8]) >> (i % 8)) & 1; }

}  // namespace

XvcPeer::XvcPeer(int rbb_port, uint32_t vector_bytes, PeerFault fault)
    : rbb_port_(rbb_port), vector_bytes_(vector_bytes), fault_(fault) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      ::listen(listener_, 4) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len) != 0)
    return;
  port_ = ntohs(a.sin_port);
  thread_ = std::thread([this] { serve(); });
}

XvcPeer::~XvcPeer() { stop(); }

void XvcPeer::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void XvcPeer::serve() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    rbb_ = connect_loopback(rbb_port_);
    if (rbb_ >= 0) serve_client(fd);
    if (rbb_ >= 0) {
      write_all(rbb_, "Q");
      ::close(rbb_);
    }
    rbb_ = -1;
    ::close(fd);
  }
}

// Requests are read one at a time, as Xilinx's reference server reads them.
void XvcPeer::serve_client(int fd) {
  std::string head;
  while (!stop_ && read_exactly(fd, head, 2)) {
    std::string rest;
    if (head == "ge") {
      if (!read_exactly(fd, rest, 6) || rest != "tinfo:") return;
      const std::string info = fault_ == PeerFault::BadInfo ? "xvcServer_v2.0:1024\n"
                               : fault_ == PeerFault::HugeInfo
                                   ? "xvcServer_v1.0:4294967295\n"
                                   : "xvcServer_v1.0:" + std::to_string(vector_bytes_) + "\n";
      if (!write_all(fd, info)) return;
    } else if (head == "se") {
      if (!read_exactly(fd, rest, 9) || rest.compare(0, 5, "ttck:") != 0 || !write_all(fd, rest.substr(5))) return;
    } else if (head == "sh") {
      std::string count;
      if (!read_exactly(fd, rest, 4) || rest != "ift:" || !read_exactly(fd, count, 4)) return;
      const uint32_t bits = le32(count);
      const size_t bytes = (size_t(bits) + 7) / 8;
      if (bytes > vector_bytes_) return;
      std::string tms, tdi, tdo;
      if (!read_exactly(fd, tms, bytes) || !read_exactly(fd, tdi, bytes)) return;
      if (fault_ == PeerFault::CloseMidShift) return;
      if (fault_ == PeerFault::Silence) {
        while (!stop_) ::usleep(20000);
        return;
      }
      if (!forward(tms, tdi, bits, tdo)) return;
      if (fault_ == PeerFault::ShortReply && !tdo.empty()) tdo.pop_back();
      if (fault_ == PeerFault::LongReply) tdo.push_back('\0');
      ++shifts_;
      if (fault_ == PeerFault::Trickle) {
        for (const char byte : tdo) {
          for (int waited = 0; waited < 3000 && !stop_; waited += 20) ::usleep(20000);
          if (stop_ || !write_all(fd, std::string(1, byte))) return;
        }
        continue;
      }
      if (!write_all(fd, tdo)) return;
    } else {
      return;
    }
  }
}

// Each TCK as remote_bitbang gives it: TCK low with TMS and TDI, a TDO
// read, TCK high.
bool XvcPeer::forward(const std::string &tms, const std::string &tdi, uint32_t bits, std::string &tdo) {
  std::string bytes;
  for (uint32_t i = 0; i < bits; ++i) {
    const char lines = char('0' + (bit(tms, i) ? 2 : 0) + (bit(tdi, i) ? 1 : 0));
    bytes += lines;
    bytes += 'R';
    bytes += char(lines + 4);
  }
  std::string answers;
  if (!write_all(rbb_, bytes) || !read_exactly(rbb_, answers, bits)) return false;
  tdo.assign((size_t(bits) + 7) / 8, '\0');
  for (uint32_t i = 0; i < bits; ++i)
    if (answers[i] == '1') tdo[i / 8] = char(uint8_t(tdo[i / 8]) | (1u << (i % 8)));
  return true;
}

}  // namespace e2e
