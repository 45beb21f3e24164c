#include "serve/rbb_server.h"

#include <arpa/inet.h>
#include <netdb.h>
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
#include "protocols/rbb_protocol.h"
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
using serve::kStalledClientSeconds;
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

volatile sig_atomic_t g_stop = 0;
void on_stop_signal(int) { g_stop = 1; }
bool stopping() { return g_stop != 0; }

// The name the server's lines start with ("jtag-sim serve", "jtag-serve").
std::string g_program = "jtag-sim serve";

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
      session_ = std::make_unique<BoardSession>(dir_, StoreOptions{true, stopping, g_program});
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
      std::fprintf(stderr, "%s: %s\n", g_program.c_str(), printable(e.what()).c_str());
    }
    session_.reset();
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<BoardSession> session_;
  bool trst_ = false;
};

// The simulated board as a remote_bitbang session drives it: it can tell
// TDO without a TCK, and records each edge in the --wave file.
class SimRbbBoard final : public serve::RbbBoard {
 public:
  explicit SimRbbBoard(const std::filesystem::path &dir) : hold_(dir) {}

  std::optional<bool> tdo_now() override { return hold_.board().tdo(); }
  bool rising_edge(bool tms, bool tdi, bool /*read*/) override {
    Board &b = hold_.board();
    const bool tdo = b.tdo();
    if (g_wave) {
      try {
        g_wave->tck(b.tap_state(), tms, tdi, tdo);
      } catch (const PlatformError &e) {
        wave_failed(e);
      }
    }
    b.clock(tms, tdi);
    g_wave_end_state = b.tap_state();
    return tdo;
  }
  void set_resets(bool trst, bool srst) override { hold_.set_resets(trst, srst); }
  bool held() const override { return hold_.held(); }
  void release() override { hold_.release(); }

 private:
  BoardHold hold_;
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
  ClientSession(int fd, serve::RbbBoard &board) : fd_(fd), hold_(board), chunk_(kReadChunkBytes) {}

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
    if (stopping()) return finish(End::Stopped);
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
      finish(stopping() ? End::Stopped : End::NoBoard);
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
    switch (rbb::command_of(byte)) {
      case rbb::Command::Lines: return drive(*rbb::lines_of(byte));
      case rbb::Command::ReadTdo: return read_tdo();
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

  // A board that cannot tell TDO without a TCK (a line driver) samples it
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
        std::fprintf(stderr, "%s: dropped a client that sent 0x%02x, which remote_bitbang does not have\n",
                     g_program.c_str(), unsigned(static_cast<unsigned char>(stray_)));
        break;
      case End::Stalled: serve::report_stalled_client(); break;
      case End::NoBoard: serve::report_client_without_board(no_board_); break;
      default: break;
    }
  }

  int fd_;
  serve::RbbBoard &hold_;
  std::vector<char> chunk_;  // one read's bytes
  std::string in_;           // bytes read; those from applied_ on are not acted on yet
  size_t applied_ = 0;
  std::string owed_;  // answers not yet taken by the socket
  bool tck_ = false;
  bool last_tdo_ = true;     // TDO of the last edge read (a line driver's board)
  bool read_waits_ = false;  // a read waits for the byte after it
  Clock::time_point read_wait_start_;
  bool quit_ = false;
  bool eof_ = false;  // the client sent all it will
  char stray_ = 0;
  std::string no_board_;
  End end_ = End::Going;
  Clock::time_point last_input_;        // the last byte from the client
  Clock::time_point last_answer_move_;  // the first answer owed, or the last one sent
};

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

}  // namespace
}  // namespace jtag::sim

namespace jtag::serve {

void set_program(const std::string &name) { sim::g_program = name; }
const std::string &program() { return sim::g_program; }

void report_stalled_client() {
  std::fprintf(stderr, "%s: dropped a client that left its answers unread for %d s\n", program().c_str(),
               kStalledClientSeconds);
}

void report_client_without_board(const std::string &why) {
  std::fprintf(stderr, "%s: %s; client dropped\n", program().c_str(), printable(why).c_str());
}

void watch_stop_signals() {
  struct sigaction sa {};
  sa.sa_handler = sim::on_stop_signal;
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

bool stop_requested() { return sim::stopping(); }

bool open_wave(const std::string &path) {
  try {
    sim::g_wave = std::make_unique<VcdWriter>(std::make_unique<RecordFile>(path, "waveform", RecordFile::Mode::Replace),
                                              sim::g_program);
  } catch (const PlatformError &e) {
    std::fprintf(stderr, "%s: %s\n", sim::g_program.c_str(), printable(e.what()).c_str());
    return false;
  }
  return true;
}

VcdWriter *wave() { return sim::g_wave.get(); }
void wave_failed(const PlatformError &e) { sim::wave_failed(e); }
bool wave_written() { return sim::wave_written(); }
void note_wave_end_state(TapState state) { sim::g_wave_end_state = state; }

int close_wave() {
  if (sim::g_wave) {
    try {
      // The state after the last edge is that of the board as saved.
      sim::g_wave->close(sim::g_wave_end_state);
    } catch (const PlatformError &e) {
      sim::wave_failed(e);
    }
  }
  if (!sim::g_wave_error.empty()) {
    std::fprintf(stderr, "%s: %s\n", sim::g_program.c_str(), printable(sim::g_wave_error).c_str());
    return 1;
  }
  return 0;
}

// A client may write far ahead of what the board acts on, and OpenOCD's
// remote_bitbang gives up at once when the socket is full (errno 11), which
// a busy machine brings about while this server waits for the CPU.  A
// receive buffer of 16 MiB, set on the listening socket so that the
// connections get a window scale to match, lets the client write on
// meanwhile.  Above net.core.rmem_max it takes CAP_NET_ADMIN; without it
// the kernel's own autotuning is left as it is.
namespace {
void widen_receive_buffer(int fd) {
  const int bytes = 16 << 20;
  (void)::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes);
}
}  // namespace

// Non-blocking: a connection given up between poll() and accept() must not
// leave the server waiting in accept().
UniqueFd listen_on(const std::string &address, int port, int &bound_port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
  addrinfo *found = nullptr;
  const std::string service = std::to_string(port);
  if (const int e = ::getaddrinfo(address.c_str(), service.c_str(), &hints, &found); e != 0) {
    std::fprintf(stderr, "%s: cannot listen on %s: %s\n", sim::g_program.c_str(), printable(address).c_str(),
                 ::gai_strerror(e));
    return UniqueFd();
  }
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, &::freeaddrinfo);
  UniqueFd fd(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  const int one = 1;
  if (fd.valid()) {
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    widen_receive_buffer(fd.get());
  }
  if (!fd.valid() || ::bind(fd.get(), found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd.get(), 8) != 0) {
    const std::string shown = found->ai_family == AF_INET6 ? "[" + address + "]" : address;
    std::fprintf(stderr, "%s: cannot listen on %s:%d: %s\n", sim::g_program.c_str(), printable(shown).c_str(), port,
                 std::strerror(errno));
    return UniqueFd();
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  ::getsockname(fd.get(), reinterpret_cast<sockaddr *>(&bound), &len);
  bound_port = bound.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&bound)->sin6_port)
                                           : ntohs(reinterpret_cast<sockaddr_in *>(&bound)->sin_port);
  return fd;
}

void serve_rbb_client(int client, RbbBoard &board) {
  const int one = 1;
  ::setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  sim::ClientSession(client, board).serve();
  sim::wave_written();
}

void serve_rbb_client(int client, const std::filesystem::path &dir) {
  sim::SimRbbBoard board(dir);
  serve_rbb_client(client, board);
}

}  // namespace jtag::serve

namespace jtag::sim {

int serve_remote_bitbang(const std::filesystem::path &dir, int port, const std::string &wave) {
  serve::watch_stop_signals();
  int bound = 0;
  const UniqueFd listener = serve::listen_on("127.0.0.1", port, bound);
  if (!listener.valid()) return 1;
  if (!wave.empty() && !serve::open_wave(wave)) return 1;
  std::printf("%d\n", bound);
  std::fflush(stdout);
  while (wait_readable(listener.get())) {
    // The client's socket closes only after its session let the board go.
    const UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (client.valid()) serve::serve_rbb_client(client.get(), dir);
  }
  return serve::close_wave();
}

}  // namespace jtag::sim
