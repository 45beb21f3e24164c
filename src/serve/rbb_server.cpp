#include "serve/rbb_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/notice.h"
#include "protocols/rbb_protocol.h"

namespace jtag::serve {
namespace {

// "0x0a": a byte as the line about it shows it, two digits always.
std::string byte_text(char byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", unsigned(static_cast<unsigned char>(byte)));
  return text;
}

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// No wait lasts longer than this before it looks at the stop flag again.
constexpr int kStopCheckMs = 100;
// The bounds on one client (rbb_server.h): idle this long, the board goes
// back; this many answers owed, no more is read from it; owed answers that
// have not moved for this long, it is dropped.
constexpr int kIdleReleaseMs = 150;
constexpr std::size_t kAnswerBufferBytes = std::size_t{64} * 1024;
// Bytes read ahead of what the board has acted on (rbb_server.h): at each
// look at the socket everything it holds is taken, kReadChunkBytes at a
// time, up to that bound; and at most kApplyChunkBytes, and for at most
// kApplySliceMs, are acted on between two looks, so that a client that
// writes far faster than the board acts (OpenOCD gives up on a full socket)
// always finds room, and the answers keep flowing while a long batch is
// applied.
constexpr std::size_t kReadAheadBytes = std::size_t{64} * 1024 * 1024;
constexpr std::size_t kReadChunkBytes = std::size_t{256} * 1024;
constexpr std::size_t kApplyChunkBytes = std::size_t{64} * 1024;
constexpr int kApplySliceMs = 2;
constexpr std::size_t kBytesBetweenClockLooks = 1024;
constexpr int kNextByteWaitMs = 250;

// How a client's session ended.
enum class End { Going, Quit, Gone, StrayByte, BadRate, Stalled, NoBoard, Stopped };

// One client on a non-blocking socket, from its first byte to its end.
class ClientSession {
 public:
  ClientSession(int fd, RbbBoard &board) : fd_(fd), hold_(board), chunk_(kReadChunkBytes) {}

  // Serves the client until its session ends; by then the board is saved
  // and let go.
  void serve() {
    last_input_ = last_answer_move_ = Clock::now();
    while (end_ == End::Going) step();
    hold_.release();
    if (end_ == End::StrayByte && !owed_.empty() && wave_written())
      send_owed();  // what the bytes before it asked for, if it fits at once
    report_end();
  }

 private:
  size_t unapplied() const { return in_.size() - applied_; }
  // Reads ahead while the buffer has room, whatever the answers do: a
  // client may write a whole batch before it reads a single answer.
  bool reading() const { return !quit_ && !eof_ && unapplied() < kReadAheadBytes; }
  // Acts on bytes read only while the answers they may ask for still fit.
  bool applying() const { return unapplied() > 0 && !quit_ && owed_.size() < kAnswerBufferBytes; }

  void step() {
    if (stop_requested()) return finish(End::Stopped);
    if (quit_ && owed_.empty()) return finish(End::Quit);
    if (read_waits_ && eof_ && unapplied() == 0) answer_waiting_read('\0');
    if (eof_ && unapplied() == 0 && owed_.empty()) return finish(End::Gone);
    pollfd p{fd_, short((reading() ? POLLIN : 0) | (owed_.empty() ? 0 : POLLOUT)), 0};
    const int r = ::poll(&p, 1, applying() ? 0 : poll_timeout_ms());
    if (r < 0 && errno != EINTR) return finish(End::Gone);
    if (r > 0 && (p.revents & POLLIN)) take_input();
    if (end_ == End::Going && applying()) apply_some();
    if (end_ == End::Going && !owed_.empty()) send_owed();
    if (end_ == End::Going && r > 0 && (p.revents & (POLLERR | POLLNVAL))) return finish(End::Gone);
    if (end_ == End::Going) check_timers();
  }

  // A stop slice, cut short when the idle release falls due sooner.
  int poll_timeout_ms() const {
    if (read_waits_) {
      const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - read_wait_start_).count();
      return int(std::clamp<long long>(kNextByteWaitMs - waited, 0, kStopCheckMs));
    }
    if (!hold_.held() || !owed_.empty()) return kStopCheckMs;
    const auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - last_input_).count();
    return int(std::clamp<long long>(kIdleReleaseMs - idle, 0, kStopCheckMs));
  }

  void take_input() {
    while (reading() && end_ == End::Going) {
      const size_t room = std::min(kReadChunkBytes, kReadAheadBytes - unapplied());
      const ssize_t n = ::recv(fd_, chunk_.data(), room, MSG_DONTWAIT);
      if (n == 0) {
        eof_ = true;  // what it sent before it left is still acted on
        return;
      }
      if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) finish(End::Gone);
        return;
      }
      in_.append(chunk_.data(), size_t(n));
      last_input_ = Clock::now();
      if (size_t(n) < room) return;  // the socket is empty for now
    }
  }

  void apply_some() {
    if (applied_ >= in_.size() / 2) {  // drop what was acted on, now and then
      in_.erase(0, applied_);
      applied_ = 0;
    }
    const size_t stop_at = applied_ + std::min(unapplied(), kApplyChunkBytes);
    const auto slice_end = Clock::now() + milliseconds(kApplySliceMs);
    try {
      while (applied_ < stop_at && end_ == End::Going && !quit_ && owed_.size() < kAnswerBufferBytes) {
        act(in_[applied_++]);
        if (applied_ % kBytesBetweenClockLooks == 0 && Clock::now() >= slice_end) break;
      }
    } catch (const PlatformError &e) {  // the board cannot be taken, or a row of it read
      no_board_ = e.what();
      finish(stop_requested() ? End::Stopped : End::NoBoard);
    } catch (const std::bad_alloc &) {
      no_board_ = "out of memory";
      finish(End::NoBoard);
    }
  }

  void act(char byte) {
    if (read_waits_) {
      --applied_;  // the byte is the one the read waited for
      return answer_waiting_read(byte);
    }
    if (rate_digits_) return take_rate_digit(byte);
    switch (rbb::command_of(byte)) {
      case rbb::Command::Lines: return drive(*rbb::lines_of(byte));
      case rbb::Command::ReadTdo: return read_tdo();
      case rbb::Command::Resets: return hold_.set_resets(rbb::trst_of(byte), rbb::srst_of(byte));
      case rbb::Command::Ignored: return;
      case rbb::Command::TckRate: rate_digits_.emplace(); return;
      case rbb::Command::Quit:
        quit_ = true;
        hold_.release();  // at once: the client may hand the board to a command right away
        return;
      case rbb::Command::Unknown: stray_ = byte; return finish(End::StrayByte);
    }
  }

  // The TAPs act on the rising edge only.  The level is the client's, kept
  // while the board is let go, so a client that idled with TCK high does
  // not clock when it drives TCK high again.
  void drive(rbb::Lines lines, bool read = false) {
    if (lines.tck && !tck_) {
      const bool tdo = hold_.rising_edge(lines.tms, lines.tdi, read);
      if (read) {
        last_tdo_ = tdo;
        owe(rbb::tdo_answer(tdo));
      }
    }
    tck_ = lines.tck;
  }

  // A board that cannot tell TDO without a TCK (a backend's lines) samples it
  // on the rising edge that follows the read, as every client sends it
  // ("0R4"): the read is answered by that edge.  A read that ends the bytes
  // read waits for the next byte, kNextByteWaitMs at most, while the
  // server goes on; a read that no rising edge follows (a client's last
  // read before 'Q', which it waits for) is answered with the TDO of the
  // last edge read.
  void read_tdo() {
    if (const std::optional<bool> tdo = hold_.tdo_now()) return owe(rbb::tdo_answer(*tdo));
    if (applied_ == in_.size() && !eof_) {
      read_waits_ = true;
      read_wait_start_ = Clock::now();
      return;
    }
    answer_waiting_read(applied_ < in_.size() ? in_[applied_] : '\0');
  }

  // The read waiting for the edge after it, given the byte after it: the
  // edge takes it, any other byte leaves it the last edge's TDO.
  void answer_waiting_read(char next_byte) {
    read_waits_ = false;
    const std::optional<rbb::Lines> next = rbb::lines_of(next_byte);
    if (next && next->tck && !tck_) {
      ++applied_;
      return drive(*next, true);
    }
    owe(rbb::tdo_answer(last_tdo_));
  }

  // One digit of a TCK rate request; the last one sets the rate.
  void take_rate_digit(char byte) {
    if (byte < '0' || byte > '9') {
      stray_ = byte;
      return finish(End::BadRate);
    }
    rate_digits_->push_back(byte);
    if (rate_digits_->size() < rbb::kTckRateDigits) return;
    const uint64_t hz = std::stoull(*rate_digits_);
    rate_digits_.reset();
    hold_.set_tck_hz(hz == 0 ? std::nullopt : std::optional<double>(double(hz)));
  }

  void owe(char answer) {
    if (owed_.empty()) last_answer_move_ = Clock::now();  // the stall clock starts with the first answer owed
    owed_.push_back(answer);
  }

  // The --wave record of every bit an answer follows is written before the
  // answer goes: a client is never told a run went through whose wave was
  // lost.  A wave that cannot be written drops the client unanswered, and
  // the server stops.
  void send_owed() {
    if (!wave_written()) return finish(End::Stopped);
    if (!send_answers(fd_, owed_, last_answer_move_)) finish(End::Gone);
  }

  void check_timers() {
    const auto now = Clock::now();
    if (!owed_.empty() && now - last_answer_move_ >= std::chrono::seconds(kStalledClientSeconds))
      return finish(End::Stalled);
    if (read_waits_ && now - read_wait_start_ >= milliseconds(kNextByteWaitMs)) answer_waiting_read('\0');
    if (owed_.empty() && unapplied() == 0 && now - last_input_ >= milliseconds(kIdleReleaseMs)) hold_.release();
  }

  void finish(End end) {
    if (end_ == End::Going) end_ = end;
  }

  // One line for a client the server dropped; none for one that left.
  void report_end() const {
    switch (end_) {
      case End::StrayByte:
        notice("dropped a client that sent " + byte_text(stray_) + ", which remote_bitbang does not have");
        break;
      case End::BadRate:
        notice("dropped a client that sent " + byte_text(stray_) + " among the ten digits of a TCK rate request");
        break;
      case End::Stalled: report_stalled_client(); break;
      case End::NoBoard: report_client_without_board(no_board_); break;
      default: break;
    }
  }

  int fd_;
  RbbBoard &hold_;
  std::vector<char> chunk_;  // one read's bytes
  std::string in_;           // bytes read; those from applied_ on are not acted on yet
  size_t applied_ = 0;
  std::string owed_;  // answers not yet taken by the socket
  bool tck_ = false;
  bool last_tdo_ = true;     // TDO of the last edge read (a board behind a backend's lines)
  bool read_waits_ = false;  // a read waits for the byte after it
  Clock::time_point read_wait_start_;
  bool quit_ = false;
  bool eof_ = false;  // the client sent all it will
  char stray_ = 0;
  std::optional<std::string> rate_digits_;  // a TCK rate request under way
  std::string no_board_;
  End end_ = End::Going;
  Clock::time_point last_input_;        // the last byte from the client
  Clock::time_point last_answer_move_;  // the first answer owed, or the last one sent
};

}  // namespace

void serve_rbb_client(int client, RbbBoard &board) {
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ClientSession(client, board).serve();
  wave_written();
}

}  // namespace jtag::serve
