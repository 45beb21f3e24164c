#include "backends/sim/sim_backend.h"

#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/call_deadline.h"
#include "base/error.h"
#include "sim/board_session.h"

namespace jtag::sim {
namespace {

StoreOptions g_lock_wait{true, {}};

// The boards a library caller's runs left, kept open between its runs
// (keep_boards_between_runs): the next run on the same folder takes the
// board again and goes on from the board already loaded, unless another
// process changed it meanwhile.  A handful at most; each is in use by one
// run at a time (taken out while it runs).
class KeptBoards {
 public:
  static constexpr size_t kMost = 8;

  std::unique_ptr<BoardSession> take(const std::filesystem::path &dir) {
    const std::lock_guard<std::mutex> hold(mutex_);
    for (auto it = kept_.begin(); it != kept_.end(); ++it) {
      if ((*it)->dir() != dir) continue;
      std::unique_ptr<BoardSession> session = std::move(*it);
      kept_.erase(it);
      return session;
    }
    return nullptr;
  }

  void keep(std::unique_ptr<BoardSession> session) {
    const std::lock_guard<std::mutex> hold(mutex_);
    if (kept_.size() == kMost) kept_.erase(kept_.begin());
    kept_.push_back(std::move(session));
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<BoardSession>> kept_;
};

std::atomic<bool> g_keep_boards{false};
KeptBoards g_kept;

// The board in `dir`: the one kept from the last run where it is still as
// that run left it, else loaded from its store.
std::unique_ptr<BoardSession> take_board(const std::filesystem::path &dir) {
  if (g_keep_boards) {
    if (std::unique_ptr<BoardSession> kept = g_kept.take(dir); kept && kept->resume()) return kept;
  }
  StoreOptions options = g_lock_wait;
  options.keep = g_keep_boards;
  return std::make_unique<BoardSession>(dir, std::move(options));
}

class SimLines final : public BackendLines, public BoardServices {
 public:
  explicit SimLines(const std::filesystem::path &dir) : session_(take_board(dir)) {}
  ~SimLines() override {
    if (saved_ && g_keep_boards) g_kept.keep(std::move(session_));
  }
  SimLines(const SimLines &) = delete;
  SimLines &operator=(const SimLines &) = delete;

  Board &board() { return session_->board(); }

  bool clock(bool tms, bool tdi) override { return board().clock(tms, tdi); }

  BitVector shift_bulk(const BitVector &in, bool recycle) override {
    if (!board().chain_is_shifting()) return shift_bits(in, recycle);
    return board().shift_bulk(in, recycle);
  }

  BitVector shift_staying(const BitVector &in, bool read) override {
    if (!board().chain_is_shifting()) return BackendLines::shift_staying(in, read);
    BitVector out = board().shift_staying(in);
    return read ? out : BitVector();
  }

  void reset_tap(bool tdi) override {
    if (board().faults().reset_hang) {
      // The fault: the reset never comes back.  A program's watchdog (a
      // signal) ends this; a library caller's deadline ends it with a
      // Timeout error.
      if (const std::optional<Deadline> until = call_deadline()) {
        std::this_thread::sleep_until(*until);
        throw PlatformError("the reset did not come back", ErrorKind::Timeout);
      }
      for (;;) ::pause();
    }
    BackendLines::reset_tap(tdi);
  }

  // The board's TCK is whatever its source runs: it takes any rate, and
  // knows it for the faults that depend on it (tdo-errors' above=).
  std::optional<double> set_tck_hz(double hz) override {
    board().set_tck_hz(hz);
    return hz;
  }

  bool has_trst() const override { return true; }
  void set_trst(bool asserted) override { board().set_trst(asserted); }
  bool has_srst() const override { return true; }
  void set_srst(bool asserted) override { board().set_srst(asserted); }

  void finish() override {
    try {
      session_->save();
      saved_ = true;
    } catch (const SessionError &e) {
      throw PlatformError(e.what());
    }
  }

  void select_scan_mode(unsigned word) override { board().select_scan_mode(word); }
  unsigned scan_control() override { return board().scan_control(); }
  uint8_t fpga_read(uint32_t address) override { return board().fpga_read(address); }
  void fpga_write(uint32_t address, uint8_t value) override { board().fpga_write(address, value); }
  bool set_scan_dump_accelerator(bool on) override { return board().set_accelerator(on); }

 private:
  std::unique_ptr<BoardSession> session_;
  bool saved_ = false;  // the run went well: the board may be kept
};

class SimRecord final : public TapRecordStore {
 public:
  explicit SimRecord(Board &board) : board_(board) {}
  TapRecord load() override { return {board_.tap_state(), board_.tms_level(), board_.tdi_level()}; }
  void save(const TapRecord &) override {}  // the board moved with its lines

 private:
  Board &board_;
};

}  // namespace

void set_sim_lock_wait(std::function<bool()> give_up) { g_lock_wait.give_up = std::move(give_up); }

void keep_boards_between_runs(bool keep) { g_keep_boards = keep; }

Backend open_sim_backend(const BackendArguments &arguments) {
  const std::string dir = arguments.get("dir");
  try {
    const std::filesystem::path where = dir.empty() ? default_state_dir() : std::filesystem::path(dir);
    auto lines = std::make_unique<SimLines>(where);
    Backend b;
    b.record = std::make_unique<SimRecord>(lines->board());
    b.services = lines.get();
    b.lines = std::move(lines);
    return b;
  } catch (const SessionError &e) {
    throw PlatformError(e.what());
  }
}

}  // namespace jtag::sim
