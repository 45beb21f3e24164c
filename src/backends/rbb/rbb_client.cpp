#include "backends/rbb/rbb_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <thread>

#include "backends/tap_record_file.h"
#include "backends/tcp_connect.h"
#include "base/errno_text.h"
#include "base/notice.h"
#include "base/unique_fd.h"
#include "protocols/rbb_protocol.h"

namespace jtag::rbb {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kBitsPerBatch = 1 << 16;
constexpr size_t kReceiveBytes = 1 << 16;
constexpr int kCloseWaitMs = 1000;

class RbbLines final : public BackendLines {
 public:
  RbbLines(std::string host, std::string port) : host_(std::move(host)), port_(std::move(port)) { connect_to_server(); }
  ~RbbLines() override = default;
  RbbLines(const RbbLines &) = delete;
  RbbLines &operator=(const RbbLines &) = delete;

  bool clock(bool tms, bool tdi) override {
    queue_tck(tms, tdi, true);
    return exchange_one();
  }

  void pulse(bool tms, bool tdi) override {
    queue_tck(tms, tdi, false);
    if (pending_.size() >= 3 * kBitsPerBatch) send_all();
  }

  BitVector shift_bits(const BitVector &in, bool recycle) override {
    if (recycle) return BackendLines::shift_bits(in, true);  // each TDI waits for the TDO before it
    return shift_pipelined(in);
  }

  // remote_bitbang carries TRST and SRST, both levels in each reset byte:
  // the byte is queued like a TCK, in order with them.
  bool has_trst() const override { return true; }
  void set_trst(bool asserted) override {
    trst_ = asserted;
    pending_.push_back(rbb::reset_byte(trst_, srst_));
  }
  bool has_srst() const override { return true; }
  void set_srst(bool asserted) override {
    srst_ = asserted;
    pending_.push_back(rbb::reset_byte(trst_, srst_));
  }

  // A piece of a long shift is read like any shift, TMS low to its end; one
  // nobody reads is queued like TCKs.
  BitVector shift_staying(const BitVector &in, bool read) override {
    return read ? shift_pipelined(in, false) : BackendLines::shift_staying(in, false);
  }

  // A shift nobody reads is queued like TCKs.
  void shift_unread(const BitVector &in) override {
    for (size_t i = 0; i < in.size(); ++i) pulse(i + 1 == in.size(), in.get(i));
  }

  // A deferred shift is queued like TCKs and goes out with the bytes after
  // it in large writes, while the answers of the ones before it are still
  // coming back; every answer that comes is kept for them, in order, before
  // any later read takes one (receive()).
  bool defers_shifts() const override { return true; }

  void queue_shift(const BitVector &in) override {
    deferred_.push_back(in.size());
    awaited_ += in.size();  // before any byte goes: its answers are routed from the first
    for (size_t i = 0; i < in.size(); ++i) {
      queue_tck(i + 1 == in.size(), in.get(i), true);
      if (pending_.size() >= 3 * kBitsPerBatch) send_all();
    }
  }

  BitVector collect_shift() override {
    if (deferred_.empty()) fail("a shift was collected that was never queued");
    const size_t n = deferred_.front();
    size_t sent = 0;
    while (arrived_.size() < n || sent < pending_.size()) pump(sent, [](bool) {});
    pending_.clear();
    BitVector out(n);
    for (size_t i = 0; i < n; ++i) out.set(i, arrived_[i]);
    arrived_.erase(arrived_.begin(), arrived_.begin() + long(n));
    deferred_.pop_front();
    return out;
  }

  void flush() override {
    pending_.push_back(kReadTdo);  // answered only after every byte before it took effect
    exchange_one();
  }

  // The deadline bounds the server's pace, not the time a run holds the
  // lines still: that time is added to it.
  void hold_until(Clock::time_point until) override {
    flush();
    const Clock::time_point from = Clock::now();
    std::this_thread::sleep_until(until);
    started_ += Clock::now() - from;
  }

  void finish() override {
    flush();
    pending_.push_back(kQuit);
    send_all();
    ::shutdown(socket_.get(), SHUT_WR);
    expect_close();
  }

 private:
  std::string where() const { return host_ + ":" + port_; }

  // The server failed its protocol or its time (ErrorKind::Protocol), or
  // cannot be reached at all (Unreachable).
  [[noreturn]] void fail(const std::string &what, ErrorKind kind = ErrorKind::Protocol) const {
    throw PlatformError("remote_bitbang server " + where() + ": " + what, kind);
  }

  void queue_tck(bool tms, bool tdi, bool read) {
    pending_.push_back(line_byte(false, tms, tdi));
    if (read) pending_.push_back(kReadTdo);
    pending_.push_back(line_byte(true, tms, tdi));
    ++tcks_;
  }

  // Shift-xR for in.size() TCKs, TMS 1 on the last (0 without `exit`): the
  // next batch of bytes is built as soon as the last one is out, while its
  // answers are still coming back, so the server never waits for us.  Only this shift's reads
  // are in flight, so the answers can never run past `out`.
  BitVector shift_pipelined(const BitVector &in, bool exit = true) {
    const size_t n = in.size();
    BitVector out(n);
    size_t queued = 0;
    size_t answered = 0;
    size_t sent = 0;
    while (answered < n || sent < pending_.size()) {
      if (sent == pending_.size() && queued < n) {
        pending_.clear();
        sent = 0;
        const size_t end = std::min(n, queued + kBitsPerBatch);
        for (; queued < end; ++queued) queue_tck(exit && queued + 1 == n, in.get(queued), true);
      }
      pump(sent, [&](bool tdo) { out.set(answered++, tdo); });
    }
    pending_.clear();
    return out;
  }

  // After 'Q' the server closes the connection; until it does (or a short
  // while has passed), anything it sends is a byte nobody asked for, which
  // also catches a server whose answers ran one ahead of the reads.
  void expect_close() {
    const auto until = Clock::now() + std::chrono::milliseconds(kCloseWaitMs);
    pollfd p{socket_.get(), POLLIN, 0};
    while (Clock::now() < until) {
      const int r = ::poll(&p, 1, kCloseWaitMs);
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return;
      char buf[64];
      const ssize_t got = ::recv(socket_.get(), buf, sizeof buf, 0);
      if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      if (got <= 0) return;  // closed (or reset): the server is done with us
      unasked_byte(buf[0]);
    }
  }

  [[noreturn]] void unasked_byte(char byte) const {
    char text[80];
    std::snprintf(text, sizeof text, "sent 0x%02x when no TDO read was asked",
                  unsigned(static_cast<unsigned char>(byte)));
    fail(text);
  }

  // Sends everything queued, with exactly one TDO read among it, and
  // returns the answer.
  bool exchange_one() {
    size_t sent = 0;
    bool answered = false;
    bool tdo = false;
    while (!answered || sent < pending_.size())
      pump(sent, [&](bool bit) {
        tdo = bit;
        answered = true;
      });
    pending_.clear();
    return tdo;
  }

  void send_all() {
    size_t sent = 0;
    while (sent < pending_.size()) pump(sent, [&](bool) {});
    pending_.clear();
  }

  // One round of the socket: writes what it can of pending_ from `sent`,
  // hands over the answers that came.  Every byte received must answer a TDO
  // read already sent.
  template <typename OnAnswer>
  void pump(size_t &sent, OnAnswer on_answer) {
    if (Clock::now() >= deadline()) too_slow();
    const bool more_to_send = sent < pending_.size();
    pollfd p{socket_.get(), short(POLLIN | (more_to_send ? POLLOUT : 0)), 0};
    const int wait = wait_ms();
    const int notice_in = ms_until_unanswered_notice();
    const int r = ::poll(&p, 1, std::min(wait, notice_in));
    if (r < 0 && errno == EINTR) return;
    if (r < 0) fail("poll: " + errno_text());
    if (r == 0 && notice_in < wait) {
      said_unanswered_ = true;
      notice(unanswered_notice("remote_bitbang server " + where()));
      return;
    }
    if (r == 0) {
      if (wait < kSilenceSeconds * 1000) too_slow();  // the deadline came first
      fail("no answer within " + std::to_string(kSilenceSeconds) + " s");
    }
    if (p.revents & POLLIN) {
      receive(on_answer);
    } else if (p.revents & (POLLERR | POLLHUP)) {
      fail("closed the connection");
    }
    if ((p.revents & POLLOUT) && more_to_send) {
      const ssize_t put = ::send(socket_.get(), pending_.data() + sent, pending_.size() - sent, MSG_NOSIGNAL);
      if (put < 0 && (errno == EPIPE || errno == ECONNRESET)) fail("closed the connection");
      if (put < 0 && errno != EAGAIN && errno != EINTR) fail("write: " + errno_text());
      if (put > 0) {
        reads_sent_ += size_t(std::count(pending_.data() + sent, pending_.data() + sent + put, kReadTdo));
        sent += size_t(put);
      }
    }
  }

  template <typename OnAnswer>
  void receive(OnAnswer on_answer) {
    char buf[kReceiveBytes];
    const ssize_t got = ::recv(socket_.get(), buf, sizeof buf, 0);
    if (got == 0 || (got < 0 && errno == ECONNRESET)) fail("closed the connection");
    if (got < 0 && errno != EAGAIN && errno != EINTR) fail("read: " + errno_text());
    for (ssize_t i = 0; i < got; ++i) {
      if (reads_answered_ == reads_sent_) unasked_byte(buf[i]);
      const auto tdo = tdo_of(buf[i]);
      if (!tdo) {
        char text[64];
        std::snprintf(text, sizeof text, "answered 0x%02x to a TDO read", unsigned(static_cast<unsigned char>(buf[i])));
        fail(text);
      }
      ++reads_answered_;
      if (awaited_ > 0) {  // an answer of a deferred shift, which went out first
        arrived_.push_back(*tdo);
        --awaited_;
      } else {
        on_answer(*tdo);
      }
    }
  }

  [[noreturn]] void too_slow() const {
    const auto allowed = std::chrono::duration_cast<std::chrono::seconds>(deadline() - started_).count();
    fail("too slow: " + std::to_string(tcks_) + " TCKs not done within " + std::to_string(allowed) + " s");
  }

  Clock::time_point deadline() const {
    return started_ + std::chrono::seconds(kDeadlineSeconds) +
           std::chrono::microseconds(std::chrono::microseconds::rep(tcks_) * kDeadlineMicrosPerTck);
  }

  // The poll timeout: the silence bound, or less when the deadline is nearer.
  int wait_ms() const {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline() - Clock::now()).count();
    return int(std::clamp<long long>(left, 0, kSilenceSeconds * 1000LL));
  }

  void connect_to_server() {
    std::string error;
    socket_ = connect_tcp(host_, port_, error);
    if (!socket_.valid()) fail(error, ErrorKind::Unreachable);
    started_ = connected_ = Clock::now();
  }

  // Until the server, silent since we connected, is said to be busy; once
  // it has answered (or it was said), never.
  int ms_until_unanswered_notice() const {
    if (said_unanswered_ || reads_answered_ > 0) return std::numeric_limits<int>::max();
    const auto left = connected_ + std::chrono::seconds(kWaitingNoticeSeconds) - Clock::now();
    return int(std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count()));
  }

  std::string host_, port_;
  bool trst_ = false, srst_ = false;  // the levels the last reset byte set
  UniqueFd socket_;
  std::string pending_;          // bytes queued, not sent yet
  std::deque<size_t> deferred_;  // the lengths of the deferred shifts not yet collected
  std::deque<bool> arrived_;     // their answers that came
  size_t awaited_ = 0;           // their answers still to come
  size_t reads_sent_ = 0;
  size_t reads_answered_ = 0;
  uint64_t tcks_ = 0;
  Clock::time_point started_;
  Clock::time_point connected_;
  bool said_unanswered_ = false;
};

}  // namespace

Backend open_rbb_backend(const BackendArguments &arguments) { return open_network_backend<RbbLines>(arguments, "rbb"); }

}  // namespace jtag::rbb
