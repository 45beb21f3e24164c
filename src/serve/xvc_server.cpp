#include "serve/xvc_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/notice.h"
#include "platform/platform_session.h"
#include "protocols/xvc_protocol.h"
#include "serve/backend_hold.h"
#include "serve/server_common.h"

namespace jtag::serve {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kStopCheckMs = 100;
constexpr int kIdleReleaseMs = 150;
// The longest request: "shift:", the count and two full vectors.
constexpr size_t kLongestRequest = xvc::kShift.size() + 4 + 2 * size_t{kXvcVectorBytes};
constexpr size_t kShiftHeader = xvc::kShift.size() + 4;
constexpr size_t kSetTckRequest = xvc::kSetTck.size() + 4;
// A scan that goes on past its vector and is shorter than this is clocked
// TCK by TCK; a longer one goes through the bulk shift and a detour by
// Pause-xR (shift_and_stay).
constexpr size_t kLongestClockedRun = 64;
constexpr size_t kTcksBetweenStopChecks = 4096;

bool in_shift(TapState s) { return s == TapState::ShiftDR || s == TapState::ShiftIR; }

enum class End { Going, Gone, Unknown, TooLong, Stalled, NoBoard, Stopped };

class XvcSession {
 public:
  XvcSession(int fd, const char *platform) : fd_(fd), hold_(platform), chunk_(kLongestRequest) {}

  void serve() {
    last_input_ = last_answer_move_ = Clock::now();
    while (end_ == End::Going) step();
    hold_.release();
    report_end();
  }

 private:
  void step() {
    if (stop_requested()) return finish(End::Stopped);
    // One request at a time: the next is read only once the answer is out.
    const bool reading = answer_.empty() && in_.size() < kLongestRequest;
    pollfd p{fd_, short((reading ? POLLIN : 0) | (answer_.empty() ? 0 : POLLOUT)), 0};
    const int r = ::poll(&p, 1, poll_timeout_ms());
    if (r < 0 && errno != EINTR) return finish(End::Gone);
    if (r > 0 && (p.revents & POLLIN)) take_input();
    if (end_ == End::Going) serve_requests();
    if (end_ == End::Going && r > 0 && (p.revents & (POLLERR | POLLNVAL))) return finish(End::Gone);
    if (end_ == End::Going) check_timers();
  }

  int poll_timeout_ms() const {
    if (!hold_.held() || !answer_.empty()) return kStopCheckMs;
    const auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - last_input_).count();
    return int(std::clamp<long long>(kIdleReleaseMs - idle, 0, kStopCheckMs));
  }

  void take_input() {
    const ssize_t n = ::recv(fd_, chunk_.data(), kLongestRequest - in_.size(), 0);
    if (n == 0) return finish(End::Gone);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) finish(End::Gone);
      return;
    }
    in_.append(chunk_.data(), size_t(n));
    last_input_ = Clock::now();
  }

  // Answers the requests read, in order, while each answer goes out at once
  // (a client may send several before it reads).
  void serve_requests() {
    for (;;) {
      if (!answer_.empty()) send_answer();
      if (end_ != End::Going || !answer_.empty() || in_.empty()) return;
      const size_t before = in_.size();
      answer_request();
      if (end_ != End::Going || (answer_.empty() && in_.size() == before)) return;  // the request is still coming
    }
  }

  // Answers the request at the front of the input once it is all there.
  void answer_request() {
    if (in_.empty()) return;
    const std::string_view text(in_);
    if (text.starts_with(xvc::kGetInfo)) {
      answer_ = std::string(xvc::kInfoPrefix) + std::to_string(kXvcVectorBytes) + "\n";
      return consume(xvc::kGetInfo.size());
    }
    if (text.starts_with(xvc::kSetTck)) {
      if (in_.size() < kSetTckRequest) return;
      answer_tck(xvc::get_u32(in_.data() + xvc::kSetTck.size()));
      return consume(kSetTckRequest);
    }
    if (text.starts_with(xvc::kShift)) return answer_shift();
    for (const std::string_view request : {xvc::kGetInfo, xvc::kSetTck, xvc::kShift})
      if (request.starts_with(text)) return;  // a request still coming
    unknown_ = in_.substr(0, 16);
    finish(End::Unknown);
  }

  // The backend runs TCK at the period asked where it can (its answer the
  // period it took), else the period asked is answered as the one used.
  // The hold may let the backend go between requests; it sets the rate
  // again each time it takes the backend.
  void answer_tck(uint32_t period_ns) {
    answer_.clear();
    uint32_t taken = period_ns;
    if (period_ns > 0) {
      if (const std::optional<double> hz = hold_.set_tck_hz(1e9 / period_ns))
        taken = uint32_t(std::min(std::ceil(1e9 / *hz - 1e-6), 4294967295.0));  // the period, not shorter
    }
    xvc::put_u32(answer_, taken);
  }

  void answer_shift() {
    if (in_.size() < kShiftHeader) return;
    const uint32_t bits = xvc::get_u32(in_.data() + xvc::kShift.size());
    if (xvc::vector_bytes(bits) > kXvcVectorBytes) {
      too_long_ = bits;
      return finish(End::TooLong);
    }
    const size_t bytes = xvc::vector_bytes(bits);
    if (in_.size() < kShiftHeader + 2 * bytes) return;
    try {
      answer_ = shift(in_.data() + kShiftHeader, in_.data() + kShiftHeader + bytes, bits);
    } catch (const PlatformError &e) {
      no_board_ = e.what();
      return finish(stop_requested() ? End::Stopped : End::NoBoard);
    } catch (const std::bad_alloc &) {
      no_board_ = "out of memory";
      return finish(End::NoBoard);
    }
    if (bytes == 0) answer_.clear();
    consume(kShiftHeader + 2 * bytes);
  }

  void consume(size_t n) {
    in_.erase(0, n);
    if (!answer_.empty()) last_answer_move_ = Clock::now();  // the stall clock starts with the answer
  }

  // The TCKs of one shift request; returns the TDO vector.
  std::string shift(const char *tms, const char *tdi, size_t bits) {
    std::string tdo(xvc::vector_bytes(bits), '\0');
    BackendLines &lines = hold_.lines();
    TapRecord &rec = hold_.record();
    size_t i = 0;
    while (i < bits) {
      if (in_shift(rec.state) && !xvc::vector_bit(tms, i)) {
        size_t last = i;
        while (last < bits && !xvc::vector_bit(tms, last)) ++last;
        if (last < bits) {  // the scan leaves Shift-xR within this vector
          bulk_shift(lines, rec, tdi, i, last + 1, tdo.data());
          i = last + 1;
          continue;
        }
        if (wave() == nullptr && last - i >= kLongestClockedRun) {  // the scan goes on in the next vector
          shift_and_stay(lines, rec, tdi, i, bits, tdo.data());
          break;
        }
      }
      // A stop signal ends the server within a second even in a long vector
      // of single TCKs (the request goes unanswered, the board is saved).
      if (i % kTcksBetweenStopChecks == 0 && stop_requested()) throw PlatformError("stopped");
      const bool m = xvc::vector_bit(tms, i);
      const bool d = xvc::vector_bit(tdi, i);
      // Outside Shift-xR no device drives TDO (IEEE 1149.1 leaves it in high
      // impedance): the answer is 1, what the pulled-up line reads, and the
      // TCK is queued rather than waited for (a round trip each on a probe).
      bool out = true;
      if (in_shift(rec.state))
        out = lines.clock(m, d);
      else
        lines.pulse(m, d);
      record_tck(rec.state, m, d, out);
      xvc::set_vector_bit(tdo.data(), i, out);
      rec = {next_state(rec.state, m), m, d};
      ++i;
    }
    note_wave_end_state(rec.state);
    return tdo;
  }

  // TCKs [from, to) from Shift-xR: TMS low on all but the last.
  static void bulk_shift(BackendLines &lines, TapRecord &rec, const char *tdi, size_t from, size_t to, char *tdo) {
    BitVector in(to - from);
    for (size_t k = from; k < to; ++k) in.set(k - from, xvc::vector_bit(tdi, k));
    const BitVector out = lines.shift_bulk(in, false);
    for (size_t k = from; k < to; ++k) {
      const bool m = k + 1 == to;
      record_tck(rec.state, m, in.get(k - from), out.get(k - from));
      xvc::set_vector_bit(tdo, k, out.get(k - from));
    }
    rec = {next_state(rec.state, true), true, in.get(to - from - 1)};
  }

  // TCKs [from, to) in Shift-xR with TMS low on all of them: the bulk shift
  // leaves through Exit1-xR on its last TCK (which shifts all the same),
  // and Pause-xR and Exit2-xR lead back to Shift-xR without a Capture or an
  // Update, so the register and the TDO bits are those of TMS low all along.
  static void shift_and_stay(BackendLines &lines, TapRecord &rec, const char *tdi, size_t from, size_t to, char *tdo) {
    const TapState shifting = rec.state;
    bulk_shift(lines, rec, tdi, from, to, tdo);
    for (const bool tms : {false, true, false}) lines.pulse(tms, rec.tdi);
    rec = {shifting, false, rec.tdi};
  }

  static void record_tck(TapState before, bool tms, bool tdi, bool tdo) {
    VcdWriter *w = wave();
    if (w == nullptr) return;
    try {
      w->tck(before, tms, tdi, tdo);
    } catch (const PlatformError &e) {
      wave_failed(e);
    }
  }

  // An answer leaves only once the wave of its TCKs is in the file.
  void send_answer() {
    if (!wave_written()) return finish(End::Stopped);
    if (!send_answers(fd_, answer_, last_answer_move_)) finish(End::Gone);
  }

  void check_timers() {
    const auto now = Clock::now();
    if (!answer_.empty() && now - last_answer_move_ >= std::chrono::seconds(kStalledClientSeconds))
      return finish(End::Stalled);
    if (answer_.empty() && now - last_input_ >= milliseconds(kIdleReleaseMs)) hold_.release();
  }

  void finish(End end) {
    if (end_ == End::Going) end_ = end;
  }

  void report_end() const {
    switch (end_) {
      case End::Unknown:
        notice("dropped an XVC client that sent \"" + unknown_ + "\", which is no XVC 1.0 request");
        break;
      case End::TooLong:
        notice("dropped an XVC client that asked for a shift of " + std::to_string(too_long_) +
               " bits, more than the " + std::to_string(kXvcVectorBytes * 8) + " offered");
        break;
      case End::Stalled: report_stalled_client(); break;
      case End::NoBoard: report_client_without_board(no_board_); break;
      default: break;
    }
  }

  int fd_;
  BackendHold hold_;
  std::vector<char> chunk_;
  std::string in_;      // bytes of requests not answered yet
  std::string answer_;  // the answer not yet taken by the socket
  std::string unknown_;
  uint32_t too_long_ = 0;
  std::string no_board_;
  End end_ = End::Going;
  Clock::time_point last_input_;
  Clock::time_point last_answer_move_;
};

}  // namespace

void serve_xvc_client(int client, const char *platform) {
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  XvcSession(client, platform).serve();
  wave_written();
}

}  // namespace jtag::serve
