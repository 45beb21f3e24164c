#include "support/xvc_peer.h"

#include <poll.h>
#include <unistd.h>

#include "support/rbb_wire.h"

namespace e2e {

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
    RawClient client(RawClient::Adopt{}, fd), rbb(rbb_port_);
    if (rbb.connected()) serve_client(client, rbb);
    if (rbb.connected()) rbb.send("Q");
  }
}

// Requests are read one at a time, as Xilinx's reference server reads them;
// each TCK goes on as remote_bitbang gives it: TCK low with TMS and TDI, a
// TDO read, TCK high.  Every wait is bounded: a test never hangs on the peer.
void XvcPeer::serve_client(RawClient &client, RawClient &rbb) {
  const auto take = [&client](size_t n, std::string &out) { return (out = client.read(n, 20s)).size() == n; };
  const auto bit = [](const std::string &v, size_t i) { return (uint8_t(v[i / 8]) >> (i % 8)) & 1; };
  for (std::string head, rest, tms, tdi; !stop_ && take(2, head);) {
    if (head == "ge") {
      const std::string info = fault_ == PeerFault::BadInfo ? "xvcServer_v2.0:1024\n"
                               : fault_ == PeerFault::HugeInfo
                                   ? "xvcServer_v1.0:4294967295\n"
                                   : "xvcServer_v1.0:" + std::to_string(vector_bytes_) + "\n";
      if (!take(6, rest) || rest != "tinfo:" || !client.send(info)) return;
    } else if (head == "se") {
      if (!take(9, rest) || rest.compare(0, 5, "ttck:") != 0 || !client.send(rest.substr(5))) return;
    } else if (head != "sh" || !take(8, rest) || rest.compare(0, 4, "ift:") != 0) {
      return;
    } else {
      uint32_t bits = 0;  // little-endian
      for (int i = 7; i >= 4; --i) bits = bits << 8 | uint8_t(rest[size_t(i)]);
      const size_t bytes = (size_t(bits) + 7) / 8;
      if (bytes > vector_bytes_ || !take(bytes, tms) || !take(bytes, tdi) || fault_ == PeerFault::CloseMidShift) return;
      while (fault_ == PeerFault::Silence && !stop_) ::usleep(20000);
      std::string lines, answers, tdo(bytes, '\0');
      for (uint32_t i = 0; i < bits; ++i) {
        const char low = char('0' + (bit(tms, i) ? 2 : 0) + (bit(tdi, i) ? 1 : 0));
        lines += {low, 'R', char(low + 4)};
      }
      // A long shift on a loaded machine takes a while: the bound is on the
      // whole vector, not on each byte.
      if (stop_ || rbb.flood(lines, lines.size(), 60s) != lines.size() ||
          (answers = rbb.read(bits, 60s)).size() != bits)
        return;
      for (uint32_t i = 0; i < bits; ++i)
        if (answers[i] == '1') tdo[i / 8] = char(uint8_t(tdo[i / 8]) | (1U << (i % 8)));
      if (fault_ == PeerFault::ShortReply && !tdo.empty()) tdo.pop_back();
      if (fault_ == PeerFault::LongReply) tdo.push_back('\0');
      ++shifts_;
      for (size_t at = 0; fault_ == PeerFault::Trickle && at < tdo.size(); ++at) {
        for (int waited = 0; waited < 3000 && !stop_; waited += 20) ::usleep(20000);
        if (stop_ || !client.send(tdo.substr(at, 1))) return;
      }
      if (fault_ != PeerFault::Trickle && !client.send(tdo)) return;
    }
  }
}

}  // namespace e2e
