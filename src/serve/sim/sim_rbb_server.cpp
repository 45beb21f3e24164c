#include "serve/sim/sim_rbb_server.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "backends/backend_arguments.h"
#include "base/notice.h"
#include "base/unique_fd.h"
#include "serve/rbb_server.h"
#include "sim/board_session.h"

namespace jtag::sim {
namespace {

// No wait lasts longer than this before it looks at the stop flag again.
constexpr int kStopCheckMs = 100;

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
      session_ = std::make_unique<BoardSession>(dir_, StoreOptions{true, serve::stop_requested});
      if (trst_) session_->board().set_trst(true);  // the client's line is still asserted
      session_->board().set_tck_hz(tck_hz_);
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

  // The client's TCK rate: the board's errors above a rate follow it.
  void set_tck_hz(std::optional<double> hz) {
    tck_hz_ = hz;
    if (session_) session_->board().set_tck_hz(hz);
  }

  // Saved first, then the lock goes: whoever takes the board next finds
  // every effect of the client's bits.  Once the wave is lost, bits it
  // did not record are not kept either: the board stays as it was.
  void release() {
    if (!session_) return;
    if (serve::wave_lost()) {
      session_.reset();
      return;
    }
    try {
      session_->save();
    } catch (const std::exception &e) {
      notice(e.what());
    }
    session_.reset();
  }

 private:
  std::filesystem::path dir_;
  std::unique_ptr<BoardSession> session_;
  bool trst_ = false;
  std::optional<double> tck_hz_;
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
    if (VcdWriter *w = serve::wave()) {
      try {
        w->tck(b.tap_state(), tms, tdi, tdo);
      } catch (const PlatformError &e) {
        serve::wave_failed(e);
      }
    }
    b.clock(tms, tdi);
    serve::note_wave_end_state(b.tap_state());
    return tdo;
  }
  void set_resets(bool trst, bool srst) override { hold_.set_resets(trst, srst); }
  void set_tck_hz(std::optional<double> hz) override { hold_.set_tck_hz(hz); }
  bool held() const override { return hold_.held(); }
  void release() override { hold_.release(); }

 private:
  BoardHold hold_;
};

// Waits for `fd` to be readable; false when a stop signal came.
bool wait_readable(int fd) {
  while (!serve::stop_requested()) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, kStopCheckMs);
    if (r > 0) return true;
    if (r < 0 && errno != EINTR) return false;
  }
  return false;
}

}  // namespace

void serve_rbb_client(int client, const std::filesystem::path &dir) {
  SimRbbBoard board(dir);
  serve::serve_rbb_client(client, board);
}

std::optional<std::filesystem::path> served_board_dir(const char *platform) {
  const std::string_view text = platform == nullptr ? std::string_view("sim") : std::string_view(platform);
  if (text != "sim" && !text.starts_with("sim:")) return std::nullopt;
  const std::string dir = BackendArguments(text, "sim", "dir").get("dir");
  return dir.empty() ? default_state_dir() : std::filesystem::path(dir);
}

std::optional<std::string> serve_remote_bitbang(const std::filesystem::path &dir, int port, const std::string &wave,
                                                const std::function<void(int port)> &listening) {
  serve::watch_stop_signals();
  int bound = 0;
  const UniqueFd listener = serve::listen_on("127.0.0.1", port, bound);
  if (!wave.empty()) serve::open_wave(wave);
  listening(bound);
  while (wait_readable(listener.get())) {
    // The client's socket closes only after its session let the board go.
    const UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (client.valid()) serve_rbb_client(client.get(), dir);
  }
  return serve::close_wave();
}

}  // namespace jtag::sim
