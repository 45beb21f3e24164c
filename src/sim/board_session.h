// A board held by one process.  The board's state lives in a directory, like
// the hardware keeps its state between runs, in DIR/board.db (see
// board_store.h): a process that may change the board holds it for its whole
// run, so two commands on one board run one after the other, and writes
// what it changed in one transaction at the end; a process killed at any
// point leaves the state of the run before.
#ifndef JTAGBOX_SIM_BOARD_SESSION_H
#define JTAGBOX_SIM_BOARD_SESSION_H

#include <filesystem>
#include <memory>
#include <string>

#include "sim/board.h"
#include "sim/board_store.h"

namespace jtag::sim {

using SessionError = StoreError;

// The user's state directory (base/state_dir.h) / "jtag-sim".
std::filesystem::path default_state_dir();

class BoardSession {
 public:
  // Takes the board (see StoreOptions: a reader only looks) and loads its
  // small state.  Failures throw SessionError with the line to print.
  explicit BoardSession(const std::filesystem::path &dir, StoreOptions options = {});
  BoardSession(const BoardSession &) = delete;
  BoardSession &operator=(const BoardSession &) = delete;

  Board &board() { return *board_; }
  const std::filesystem::path &dir() const { return store_->dir(); }

  // Writes what the run changed and lets the board go.  Throws SessionError.
  void save();
  // Takes the board again for another run after save(), as it was left;
  // false when it changed since (the caller opens it anew).  Throws
  // SessionError.
  bool resume() { return store_->retake(); }
  // Replaces the board with one loaded from `state` (throws StateError;
  // the board is unchanged then).
  void load_state(StateMap &state);
  // Puts the wiring faults on the board and in its store, for save().
  void set_chain_faults(const ChainFaults &faults);
  void power_up_fresh();  // forget everything, faults too; the board as delivered

 private:
  std::unique_ptr<BoardStore> store_;
  std::unique_ptr<Board> board_;
};

// jtag-sim reset: makes DIR a freshly powered-up board.  Removes only what
// a board made (its database and journals, the files of the old text
// format) and refuses a directory that holds anything else and no board.
// Throws SessionError.
void reset_board(const std::filesystem::path &dir);

}  // namespace jtag::sim

#endif
