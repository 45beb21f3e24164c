// A board held by one process.  The board's state lives in a directory, like
// the hardware keeps its state between runs:
//   DIR/lock         flock()ed for as long as a process holds the board, so
//                    two commands on one board run one after the other
//   DIR/board.state  "jtag-sim board state 1", then key=value lines
// The state is written to a temporary file and renamed into place, so a
// process killed at any point leaves either the old state or the new one.
#ifndef JTAGBOX_SIM_BOARD_SESSION_H
#define JTAGBOX_SIM_BOARD_SESSION_H

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "sim/board.h"

namespace jtag::sim {

inline constexpr const char *kStateHeader = "jtag-sim board state 1";
inline constexpr int kLockWaitSeconds = 30;

// $XDG_STATE_HOME/jtag-sim, else $HOME/.local/state/jtag-sim.
std::filesystem::path default_state_dir();

// The board directory that a JTAG_PLATFORM value names ("sim" or "sim:DIR",
// or unset); empty when the value names some other platform.
std::filesystem::path sim_dir_for_platform(const char *value, bool &is_sim);

class BoardSession {
 public:
  // Takes the lock (waiting up to kLockWaitSeconds, or until `give_up`
  // answers true: it is asked every few milliseconds) and loads the board.
  // Failures throw SessionError with the line to print.
  explicit BoardSession(std::filesystem::path dir, const std::function<bool()> &give_up = {});
  BoardSession(const BoardSession &) = delete;
  BoardSession &operator=(const BoardSession &) = delete;

  Board &board() { return *board_; }
  const std::filesystem::path &dir() const { return dir_; }

  void save();  // throws SessionError
  // Replaces the board with one loaded from `state` (throws StateError;
  // the board is unchanged then).
  void load_state(StateMap &state);
  void power_up_fresh();  // forget everything; the board as delivered

 private:
  // The flock()ed lock file.  Closing it lets the board go, also when the
  // constructor throws after taking it (an unreadable state file): a server
  // that goes on running must not keep the board by accident.
  class Lock {
   public:
    Lock(const std::filesystem::path &dir, const std::function<bool()> &give_up);
    ~Lock();
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;

   private:
    int fd_;
  };

  std::filesystem::path dir_;
  Lock lock_;
  std::unique_ptr<Board> board_;
};

class SessionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace jtag::sim

#endif
