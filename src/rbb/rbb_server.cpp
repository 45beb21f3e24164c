#include "rbb/rbb_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "base/error.h"
#include "base/printable.h"
#include "base/unique_fd.h"
#include "rbb/rbb_protocol.h"
#include "recorders/vcd_writer.h"
#include "sim/board_session.h"

namespace jtag::sim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// No wait lasts longer than this before it looks at the stop flag again.
constexpr int kStopCheckMs = 100;
// The bounds on one client (rbb_server.h): idle this long, the board goes
// back; this many answers owed, no more is read from it; owed answers that
// have not moved for this long, it is dropped.
constexpr int kIdleReleaseMs = 150;
constexpr std::size_t kAnswerBufferBytes = std::size_t{64} * 1024;
constexpr int kStalledClientSeconds = 5;

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }
bool stopping() { return g_stop != 0; }

// The --wave recording, and the first failure to write it (which stops the
// server).
std::unique_ptr<VcdWriter> g_wave;
std::string g_wave_error;
TapState g_wave_end_state = TapState::TestLogicReset;

void wave_failed(const PlatformError &e) {
  g_wave_error = e.what();
  g_wave.reset();
  g_stop = 1;
}

// The board as the server holds it for a client: taken when a byte needs it,
// saved and let go whenever the client does not need it.
class BoardHold {
 public:
  explicit BoardHold(std::filesystem::path dir) : dir_(std::move(dir)) {}
  ~BoardHold() { release(); }
  BoardHold(const BoardHold &) = delete;
  BoardHold &operator=(const BoardHold &) = delete;

  // The board, loaded afresh when it was let go, so it has what a command
  // did to it meanwhile.  The lock wait gives up on a stop signal.  Throws
  // SessionError.
  Board &board() {
    if (!session_) {
      session_ = std::make_unique<BoardSession>(dir_, StoreOptions{true, stopping, "jtag-sim serve"});
      if (trst_) session_->board().set_trst(true);  // the client's line is still asserted
    }
    return session_->board();
  }

  // The client's TRST line: it holds the board's TAPs in Test-Logic-Reset
  // whenever the board is the client's, until the client releases it.  Its
  // SRST level is the board's own, kept with it.
  void set_resets(bool trst, bool srst) {
    trst_ = trst;
    board().set_trst(trst);
    board().set_srst(srst);
  }
  bool held() const { return session_ != nullptr; }

  // Saved first, then the lock goes: whoever takes the board next finds
  // every effect of the client's bits.  Once the wave is lost, bits it
  // did not record are not kept either: the board stays as it was.
  void release() {
    if (!session_) return;
    if (!g_wave_error.empty()) {
      session_.reset();
      return;
    }
    try {
      session_->save();
    } catch (const std::exception &e) {
      std::fprintf(stderr, "jtag-sim serve: %s\n", printable(e.what()).c_str());
    }
    session_.reset();
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<BoardSession> session_;
  bool trst_ = false;
};

// Whether the wave recorded so far is in its file (true without a wave).
bool wave_written() {
  if (!g_wave) return g_wave_error.empty();
  try {
    g_wave->flush();
  } catch (const PlatformError &e) {
    wave_failed(e);
    return false;
  }
  return true;
}

// How a client's session ended.
enum class End { Going, Quit, Gone, StrayByte, Stalled, NoBoard, Stopped };

// One client on a non-blocking socket, from its first byte to its end.
class ClientSession {
 public:
  ClientSession(int fd, const std::filesystem::path &dir) : fd_(fd), hold_(dir), in_(kAnswerBufferBytes) {}

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
  // Reads only while the answers a full read could ask for still fit.
  bool reading() const { return !quit_ && owed_.size() < kAnswerBufferBytes; }

  void step() {
    if (stopping()) return finish(End::Stopped);
    if (quit_ && owed_.empty()) return finish(End::Quit);
    pollfd p{fd_, short((reading() ? POLLIN : 0) | (owed_.empty() ? 0 : POLLOUT)), 0};
    const int r = ::poll(&p, 1, poll_timeout_ms());
    if (r < 0 && errno != EINTR) return finish(End::Gone);
    if (r > 0 && (p.revents & POLLIN)) take_input();
    if (end_ == End::Going && !owed_.empty()) send_owed();
    if (end_ == End::Going && r > 0 && (p.revents & (POLLERR | POLLNVAL))) return finish(End::Gone);
    if (end_ == End::Going) check_timers();
  }

  // A stop slice, cut short when the idle release falls due sooner.
  int poll_timeout_ms() const {
    if (!hold_.held() || !owed_.empty()) return kStopCheckMs;
    const auto idle = std::chrono::duration_cast<milliseconds>(Clock::now() - last_input_).count();
    return int(std::clamp<long long>(kIdleReleaseMs - idle, 0, kStopCheckMs));
  }

  void take_input() {
    const size_t room = kAnswerBufferBytes - owed_.size();
    const ssize_t n = ::recv(fd_, in_.data(), room, 0);
    if (n == 0) return finish(End::Gone);
    if (n < 0) {
      if (errno != EAGAIN && errno != EINTR) finish(End::Gone);
      return;
    }
    last_input_ = Clock::now();
    try {
      for (size_t i = 0; i < size_t(n) && end_ == End::Going && !quit_; ++i) act(in_[i]);
    } catch (const PlatformError &e) {  // the board cannot be taken, or a row of it read
      no_board_ = e.what();
      finish(stopping() ? End::Stopped : End::NoBoard);
    } catch (const std::bad_alloc &) {
      no_board_ = "out of memory";
      finish(End::NoBoard);
    }
  }

  void act(char byte) {
    switch (rbb::command_of(byte)) {
      case rbb::Command::Lines: return drive(*rbb::lines_of(byte));
      case rbb::Command::ReadTdo: return owe(rbb::tdo_answer(hold_.board().tdo()));
      case rbb::Command::Resets: return hold_.set_resets(rbb::trst_of(byte), rbb::srst_of(byte));
      case rbb::Command::Ignored: return;
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
  void drive(rbb::Lines lines) {
    if (lines.tck && !tck_) {
      Board &b = hold_.board();
      if (g_wave) {
        try {
          g_wave->tck(b.tap_state(), lines.tms, lines.tdi, b.tdo());
        } catch (const PlatformError &e) {
          wave_failed(e);
        }
      }
      b.clock(lines.tms, lines.tdi);
      g_wave_end_state = b.tap_state();
    }
    tck_ = lines.tck;
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
    const ssize_t n = ::send(fd_, owed_.data(), owed_.size(), MSG_NOSIGNAL);
    if (n > 0) {
      owed_.erase(0, size_t(n));
      last_answer_move_ = Clock::now();
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      finish(End::Gone);
    }
  }

  void check_timers() {
    const auto now = Clock::now();
    if (!owed_.empty() && now - last_answer_move_ >= std::chrono::seconds(kStalledClientSeconds))
      return finish(End::Stalled);
    if (owed_.empty() && now - last_input_ >= milliseconds(kIdleReleaseMs)) hold_.release();
  }

  void finish(End end) {
    if (end_ == End::Going) end_ = end;
  }

  // One line for a client the server dropped; none for one that left.
  void report_end() const {
    switch (end_) {
      case End::StrayByte:
        std::fprintf(stderr, "jtag-sim serve: dropped a client that sent 0x%02x, which remote_bitbang does not have\n",
                     unsigned(static_cast<unsigned char>(stray_)));
        break;
      case End::Stalled:
        std::fprintf(stderr, "jtag-sim serve: dropped a client that left its answers unread for %d s\n",
                     kStalledClientSeconds);
        break;
      case End::NoBoard:
        std::fprintf(stderr, "jtag-sim serve: %s; client dropped\n", printable(no_board_).c_str());
        break;
      default: break;
    }
  }

  int fd_;
  BoardHold hold_;
  std::vector<char> in_;  // one read's bytes
  std::string owed_;      // answers not yet taken by the socket
  bool tck_ = false;
  bool quit_ = false;
  char stray_ = 0;
  std::string no_board_;
  End end_ = End::Going;
  Clock::time_point last_input_;        // the last byte from the client
  Clock::time_point last_answer_move_;  // the first answer owed, or the last one sent
};

// Non-blocking: a connection given up between poll() and accept() must not
// leave the server waiting in accept().
int listen_on(int port, int &bound_port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    ::close(fd);
    return -1;
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
  bound_port = ntohs(addr.sin_port);
  return fd;
}

// Waits for `fd` to be readable; false when a stop signal came.
bool wait_readable(int fd) {
  while (!stopping()) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, kStopCheckMs);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
  return false;
}

void serve_client(int client, const std::filesystem::path &dir) {
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  ClientSession(client, dir).serve();
  wave_written();
}

}  // namespace

int serve_remote_bitbang(const std::filesystem::path &dir, int port, const std::string &wave) {
  struct sigaction sa {};
  sa.sa_handler = on_stop_signal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
  int bound = 0;
  jtag::UniqueFd listener(listen_on(port, bound));
  if (listener.get() < 0) {
    std::fprintf(stderr, "jtag-sim serve: cannot listen on 127.0.0.1:%d: %s\n", port, std::strerror(errno));
    return 1;
  }
  if (!wave.empty()) {
    try {
      g_wave = std::make_unique<VcdWriter>(std::make_unique<RecordFile>(wave, "waveform", RecordFile::Mode::Replace),
                                           "jtag-sim serve");
    } catch (const PlatformError &e) {
      std::fprintf(stderr, "jtag-sim serve: %s\n", printable(e.what()).c_str());
      return 1;
    }
  }
  std::printf("%d\n", bound);
  std::fflush(stdout);
  while (wait_readable(listener.get())) {
    // The client's socket closes only after its session let the board go.
    jtag::UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (client.get() >= 0) serve_client(client.get(), dir);
  }
  if (g_wave) {
    try {
      // The state after the last edge is that of the board as saved.
      g_wave->close(g_wave_end_state);
    } catch (const PlatformError &e) {
      wave_failed(e);
    }
  }
  if (!g_wave_error.empty()) {
    std::fprintf(stderr, "jtag-sim serve: %s\n", printable(g_wave_error).c_str());
    return 1;
  }
  return 0;
}

}  // namespace jtag::sim
