#include "support/xvc_peer.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/rbb_wire.h"

namespace e2e {
namespace {

constexpr int kWaitMs = 20000;  // every wait of the peer: a test never hangs on it

// Exactly `n` bytes, or false (closed, or nothing for kWaitMs).
bool read_exactly(int fd, std::string &out, size_t n) {
  out.assign(n, '\0');
  for (size_t got = 0; got < n;) {
    pollfd p{fd, POLLIN, 0};
    const ssize_t r = ::poll(&p, 1, kWaitMs) > 0 ? ::recv(fd, out.data() + got, n - got, 0) : 0;
    if (r <= 0) return false;
    got += size_t(r);
  }
  return true;
}

bool write_all(int fd, const std::string &bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    pollfd p{fd, POLLOUT, 0};
    const ssize_t r =
        ::poll(&p, 1, kWaitMs) > 0 ? ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL) : 0;
    if (r <= 0) return false;
    sent += size_t(r);
  }
  return true;
}

bool bit(const std::string &v, size_t i) { return (uint8_t(v[i / 8]) >> (i % 8)) & 1; }

}  // namespace

XvcPeer::XvcPeer(int rbb_port, uint32_t vector_bytes, PeerFault fault)
    : rbb_port_(rbb_port), vector_bytes_(vector_bytes), fault_(fault), listener_(listen_loopback(port_)) {
  if (listener_ >= 0) thread_ = std::thread([this] { serve(); });
}

void XvcPeer::stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
  listener_ = -1;
}

void XvcPeer::serve() {
  while (!stop_) {
    pollfd p{listener_, POLLIN, 0};
    const int fd = ::poll(&p, 1, 50) > 0 ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    if (fd < 0) continue;
    const int rbb = connect_loopback(rbb_port_);
    const int one = 1;
    if (rbb >= 0 && ::setsockopt(rbb, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0) serve_client(fd, rbb);
    if (rbb >= 0) {
      write_all(rbb, "Q");
      ::close(rbb);
    }
    ::close(fd);
  }
}

// Requests are read one at a time, as Xilinx's reference server reads them.
void XvcPeer::serve_client(int fd, int rbb) {
  for (std::string head, rest; !stop_ && read_exactly(fd, head, 2);) {
    if (head == "ge") {
      const std::string info = fault_ == PeerFault::BadInfo ? "xvcServer_v2.0:1024\n"
                               : fault_ == PeerFault::HugeInfo
                                   ? "xvcServer_v1.0:4294967295\n"
                                   : "xvcServer_v1.0:" + std::to_string(vector_bytes_) + "\n";
      if (!read_exactly(fd, rest, 6) || rest != "tinfo:" || !write_all(fd, info)) return;
    } else if (head == "se") {
      if (!read_exactly(fd, rest, 9) || rest.compare(0, 5, "ttck:") != 0 || !write_all(fd, rest.substr(5))) return;
    } else if (head == "sh") {
      if (!read_exactly(fd, rest, 8) || rest.compare(0, 4, "ift:") != 0) return;
      uint32_t bits = 0;  // little-endian
      for (int i = 7; i >= 4; --i) bits = bits << 8 | uint8_t(rest[size_t(i)]);
      const size_t bytes = (size_t(bits) + 7) / 8;
      std::string tms, tdi, tdo;
      if (bytes > vector_bytes_ || !read_exactly(fd, tms, bytes) || !read_exactly(fd, tdi, bytes)) return;
      if (fault_ == PeerFault::CloseMidShift) return;
      while (fault_ == PeerFault::Silence && !stop_) ::usleep(20000);
      if (stop_ || !forward(rbb, tms, tdi, bits, tdo)) return;
      if (fault_ == PeerFault::ShortReply && !tdo.empty()) tdo.pop_back();
      if (fault_ == PeerFault::LongReply) tdo.push_back('\0');
      ++shifts_;
      for (size_t at = 0; fault_ == PeerFault::Trickle && at < tdo.size(); ++at) {
        for (int waited = 0; waited < 3000 && !stop_; waited += 20) ::usleep(20000);
        if (stop_ || !write_all(fd, tdo.substr(at, 1))) return;
      }
      if (fault_ != PeerFault::Trickle && !write_all(fd, tdo)) return;
    } else {
      return;
    }
  }
}

// Each TCK as remote_bitbang gives it: TCK low with TMS and TDI, a TDO
// read, TCK high.
bool XvcPeer::forward(int rbb, const std::string &tms, const std::string &tdi, uint32_t bits, std::string &tdo) {
  std::string bytes, answers;
  for (uint32_t i = 0; i < bits; ++i) {
    const char lines = char('0' + (bit(tms, i) ? 2 : 0) + (bit(tdi, i) ? 1 : 0));
    bytes += {lines, 'R', char(lines + 4)};
  }
  if (!write_all(rbb, bytes) || !read_exactly(rbb, answers, bits)) return false;
  tdo.assign((size_t(bits) + 7) / 8, '\0');
  for (uint32_t i = 0; i < bits; ++i)
    if (answers[i] == '1') tdo[i / 8] = char(uint8_t(tdo[i / 8]) | (1U << (i % 8)));
  return true;
}

}  // namespace e2e
