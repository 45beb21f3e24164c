#include "backends/xvc/xvc_client.h"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "backends/tap_record_file.h"
#include "backends/tcp_connect.h"
#include "base/errno_text.h"
#include "base/notice.h"
#include "base/printable.h"
#include "base/unique_fd.h"
#include "protocols/xvc_protocol.h"

namespace jtag::xvc {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kCloseWaitMs = 1000;
uint64_t g_shift_requests = 0;

// TDO bits someone waits for: those of TCKs [first, first + bits.size()) of
// the run, filled in as the answers come.
struct Awaited {
  uint64_t first;
  BitVector bits;
  size_t filled = 0;
  bool done() const { return filled == bits.size(); }
};

class XvcLines final : public BackendLines {
 public:
  XvcLines(std::string host, std::string port) : host_(std::move(host)), port_(std::move(port)) {
    std::string error;
    socket_ = connect_tcp(host_, port_, error);
    if (!socket_.valid()) fail(error, ErrorKind::Unreachable);
    ask_info();
  }

  bool clock(bool tms, bool tdi) override {
    awaited_.push_back({tcks_, BitVector(1)});
    add_tck(tms, tdi);
    return take_now().get(0);
  }

  void pulse(bool tms, bool tdi) override { add_tck(tms, tdi); }

  BitVector shift_bits(const BitVector &in, bool recycle) override {
    if (recycle) return BackendLines::shift_bits(in, true);  // each TDI waits for the TDO before it
    awaited_.push_back({tcks_, BitVector(in.size())});
    shift_unread(in);
    return take_now();
  }

  void shift_unread(const BitVector &in) override {
    for (size_t i = 0; i < in.size(); ++i) add_tck(i + 1 == in.size(), in.get(i));
  }

  BitVector shift_staying(const BitVector &in, bool read) override {
    if (read) awaited_.push_back({tcks_, BitVector(in.size())});
    for (size_t i = 0; i < in.size(); ++i) add_tck(false, in.get(i));
    return read ? take_now() : BitVector();
  }

  bool defers_shifts() const override { return true; }

  void queue_shift(const BitVector &in) override {
    awaited_.push_back({tcks_, BitVector(in.size())});
    shift_unread(in);
  }

  BitVector collect_shift() override {
    if (awaited_.empty()) fail("a shift was collected that was never queued");
    if (!awaited_.front().done()) send_pending();
    return take_front();
  }

  void flush() override { send_pending(); }

  // settck: with the period in nanoseconds; the server answers the period
  // it runs at.
  std::optional<double> set_tck_hz(double hz) override {
    send_pending();
    const double period = std::clamp(1e9 / hz, 1.0, 4294967295.0);
    std::string request(kSetTck);
    put_u32(request, uint32_t(std::ceil(period - 1e-6)));  // never faster than asked
    const auto until = Clock::now() + std::chrono::seconds(kSilenceSeconds);
    send_bytes(request, until);
    std::string answer;
    while (answer.size() < 4) answer += receive(4 - answer.size(), until);
    const uint32_t taken = get_u32(answer.data());
    if (taken == 0) fail("answered settck: with a period of 0 ns");
    return 1e9 / taken;
  }

  // Every request was answered, so every TCK took effect; the server then
  // sees the end of the requests and closes.
  void finish() override {
    send_pending();
    ::shutdown(socket_.get(), SHUT_WR);
    expect_close();
  }

 private:
  std::string where() const { return host_ + ":" + port_; }

  // The server failed its protocol or its time (ErrorKind::Protocol), or
  // cannot be reached at all (Unreachable).
  [[noreturn]] void fail(const std::string &what, ErrorKind kind = ErrorKind::Protocol) const {
    throw PlatformError("XVC server " + where() + ": " + what, kind);
  }

  // The TDO of the TCKs awaited last, which are the last gathered: the
  // request goes now.
  BitVector take_now() {
    send_pending();
    BitVector out = std::move(awaited_.back().bits);
    awaited_.pop_back();
    return out;
  }

  BitVector take_front() {
    BitVector out = std::move(awaited_.front().bits);
    awaited_.pop_front();
    return out;
  }

  void ask_info() {
    const auto until = Clock::now() + std::chrono::seconds(kSilenceSeconds);
    send_bytes(std::string(kGetInfo), until);
    if (!wait_for(POLLIN, kWaitingNoticeSeconds * 1000)) notice(unanswered_notice("XVC server " + where()));
    std::string line;
    while (line.empty() || line.back() != '\n') {
      if (line.size() >= kLongestInfo) break;
      line += receive(kLongestInfo - line.size(), until);
    }
    const std::optional<uint64_t> offered =
        line.back() == '\n' ? offered_vector_bytes(std::string_view(line).substr(0, line.size() - 1)) : std::nullopt;
    if (!offered) fail("answered getinfo: with \"" + printable(line) + "\", not xvcServer_v1.0:<bytes>");
    vector_bits_ = 8 * std::min<uint64_t>(*offered, kMaxVectorBytes);
  }

  void add_tck(bool tms, bool tdi) {
    if (pending_bits_ == 0) {
      tms_.assign(vector_bytes(vector_bits_), '\0');
      tdi_.assign(vector_bytes(vector_bits_), '\0');
    }
    set_vector_bit(tms_.data(), pending_bits_, tms);
    set_vector_bit(tdi_.data(), pending_bits_, tdi);
    ++pending_bits_;
    ++tcks_;
    if (pending_bits_ == vector_bits_) send_pending();
  }

  // One shift: request with every TCK gathered, and its answer routed to
  // the TDO bits awaited.
  void send_pending() {
    if (pending_bits_ == 0) return;
    const size_t bytes = vector_bytes(pending_bits_);
    std::string request(kShift);
    put_u32(request, uint32_t(pending_bits_));
    request.append(tms_, 0, bytes);
    request.append(tdi_, 0, bytes);
    const uint64_t first = tcks_ - pending_bits_;
    const size_t bits = pending_bits_;
    pending_bits_ = 0;
    if (const std::string early = receive(1, std::nullopt); !early.empty()) unasked(early[0]);
    // The whole exchange within the silence bound: a server that trickles
    // its answer cannot stretch it.
    const auto until = Clock::now() + std::chrono::seconds(kSilenceSeconds);
    send_bytes(request, until);
    ++g_shift_requests;
    std::string tdo;
    while (tdo.size() < bytes) tdo += receive(bytes - tdo.size(), until);
    route(tdo, first, bits);
  }

  void route(const std::string &tdo, uint64_t first, size_t bits) {
    for (Awaited &a : awaited_) {
      if (a.first + a.bits.size() <= first) continue;
      if (a.first >= first + bits) break;
      for (uint64_t t = std::max(a.first, first); t < std::min(a.first + a.bits.size(), first + bits); ++t) {
        a.bits.set(size_t(t - a.first), vector_bit(tdo.data(), size_t(t - first)));
        ++a.filled;
      }
    }
  }

  // Waits for the socket; false when `limit_ms` went by.
  bool wait_for(short events, int limit_ms) {
    for (;;) {
      pollfd p{socket_.get(), events, 0};
      const int r = ::poll(&p, 1, limit_ms);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) fail("poll: " + errno_text());
      return r > 0;
    }
  }

  // All of `bytes`, by `until` at most.
  void send_bytes(const std::string &bytes, Clock::time_point until) {
    size_t sent = 0;
    while (sent < bytes.size()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (!wait_for(POLLOUT, int(std::clamp<long long>(left, 0, kSilenceSeconds * 1000LL))))
        fail("took no request for " + std::to_string(kSilenceSeconds) + " s");
      const ssize_t put = ::send(socket_.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
      if (put < 0 && (errno == EPIPE || errno == ECONNRESET)) fail("closed the connection");
      if (put < 0 && errno != EAGAIN && errno != EINTR) fail("write: " + errno_text());
      if (put > 0) sent += size_t(put);
    }
  }

  // Up to `most` bytes: at least one, waiting until `until` at most; with
  // no `until`, only what has already come.
  std::string receive(size_t most, std::optional<Clock::time_point> until) {
    const long long wait =
        until ? std::chrono::duration_cast<std::chrono::milliseconds>(*until - Clock::now()).count() : 0;
    if (!wait_for(POLLIN, int(std::clamp<long long>(wait, 0, kSilenceSeconds * 1000LL)))) {
      if (!until) return {};
      fail("no answer within " + std::to_string(kSilenceSeconds) + " s");
    }
    std::string got(std::min(most, size_t{1} << 16), '\0');
    const ssize_t n = ::recv(socket_.get(), got.data(), got.size(), 0);
    if (n == 0 || (n < 0 && errno == ECONNRESET)) fail("closed the connection");
    if (n < 0 && errno != EAGAIN && errno != EINTR) fail("read: " + errno_text());
    got.resize(n > 0 ? size_t(n) : 0);
    return got;
  }

  [[noreturn]] void unasked(char byte) const {
    char text[80];
    std::snprintf(text, sizeof text, "sent 0x%02x when no answer was due", unsigned(static_cast<unsigned char>(byte)));
    fail(text);
  }

  void expect_close() {
    const auto until = Clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    while (Clock::now() < until) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
      if (!wait_for(POLLIN, int(std::max<long long>(left, 0)))) return;
      char byte = 0;
      const ssize_t got = ::recv(socket_.get(), &byte, 1, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0) return;  // closed (or reset): the server is done with us
      unasked(byte);
    }
  }

  std::string host_, port_;
  UniqueFd socket_;
  uint64_t vector_bits_ = 8;
  std::string tms_, tdi_;  // the request being gathered
  size_t pending_bits_ = 0;
  uint64_t tcks_ = 0;            // TCKs given in this run
  std::deque<Awaited> awaited_;  // in the order of their TCKs
};

}  // namespace

uint64_t shift_requests_sent() { return g_shift_requests; }

Backend open_xvc_backend(const BackendArguments &arguments) { return open_network_backend<XvcLines>(arguments, "xvc"); }

}  // namespace jtag::xvc
