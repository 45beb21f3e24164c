#include "sim/board_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <set>

#include "base/errno_text.h"
#include "base/state_dir.h"
#include "base/unique_fd.h"

namespace jtag::sim {
namespace fs = std::filesystem;

fs::path default_state_dir() { return user_state_dir("jtag-sim", "the simulated board"); }

namespace {

// A saved board holds every key a board saves: a row that lost one (a blank
// latches text, a TAP row gone) is damage, never a part powered up anew.
// `fresh` is a board as powered up, which saves every key; the board about
// to be loaded serves, so that no second board is built at every start.
void require_every_key(const StateMap &state, const Board &fresh) {
  StateMap full;
  fresh.save(full);
  for (const auto &entry : full.entries())
    if (!state.contains(entry.first)) throw StateError("missing key '" + entry.first + "'");
}

}  // namespace

BoardSession::BoardSession(const fs::path &dir, StoreOptions options)
    : store_(std::make_unique<BoardStore>(dir, std::move(options))), board_(std::make_unique<Board>(store_.get())) {
  try {
    board_->set_chain_faults(ChainFaults::from_entries(store_->faults()));
    StateMap state = store_->small_state();
    if (state.entries().empty()) return;  // never saved: the board as powered up
    require_every_key(state, *board_);
    board_->load(state);
    state.check_all_taken();
  } catch (const StateError &e) {
    throw SessionError("the simulated board in " + (dir / kBoardFile).string() + " cannot be read (" + e.what() +
                       "); 'jtag-sim reset' powers the board up fresh");
  }
}

void BoardSession::save() {
  board_->save_changes(*store_);
  store_->commit();
}

void BoardSession::load_state(StateMap &state) {
  auto fresh = std::make_unique<Board>(store_.get());
  fresh->set_chain_faults(board_->chain_faults());
  fresh->load(state);
  state.check_all_taken();
  board_ = std::move(fresh);
}

void BoardSession::set_chain_faults(const ChainFaults &faults) {
  board_->set_chain_faults(faults);
  store_->put_faults(faults.entries());
}

void BoardSession::power_up_fresh() {
  if (store_->exists()) store_->clear();
  board_ = std::make_unique<Board>(store_.get());
  save();
}

namespace {

// The first line of a board kept in the old text format.
constexpr const char *kOldStateHeader = "jtag-sim board state 1";

// The names a board has made in its directory, today and in the old text
// format (board.state, its temporary file, the lock file, chains/*.bits).
const std::set<std::string> kBoardNames = {kBoardFile,    "board.db-journal", "board.db-wal", "board.db-shm",
                                           "board.state", "board.state.tmp",  "lock",         "chains"};

bool is_regular(const fs::path &file) {
  struct stat st {};
  return ::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool is_real_directory(const fs::path &file) {
  struct stat st {};
  return ::lstat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void remove_regular(const fs::path &file) {
  if (is_regular(file) && ::unlink(file.c_str()) != 0)
    throw SessionError("cannot remove " + file.string() + ": " + errno_text());
}

// Whether a regular file begins with `header` (read through no link).
bool begins_with(const fs::path &file, const std::string &header) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::string head(header.size(), '\0');
  return ::pread(fd.get(), head.data(), head.size(), 0) == ssize_t(head.size()) && head == header;
}

bool present(const fs::path &file) { return fs::exists(fs::symlink_status(file)); }

// What reset may remove.  A directory holding only names a board makes is a
// board (an empty one is a board not yet used), whatever state its files
// are in.  A directory that also holds other files is a board only when
// its board files are provably ours: a database with our header or a state
// file of the old text format; then those go and the other files stay.
// Anything else is refused before a file is touched, so a board.db of
// someone else's among their files is never removed.
void check_is_board(const fs::path &dir) {
  std::error_code ec;
  bool others = false;
  for (const auto &entry : fs::directory_iterator(dir, ec))
    others = others || kBoardNames.count(entry.path().filename().string()) == 0;
  if (ec) throw SessionError("cannot read the board directory " + dir.string() + ": " + ec.message());
  if (!others) return;
  const bool database = present(dir / kBoardFile);
  const bool old_state = present(dir / "board.state");
  const bool database_ours = database && !board_file_problem(dir / kBoardFile);
  const bool old_state_ours = old_state && begins_with(dir / "board.state", std::string(kOldStateHeader) + "\n");
  if ((!database && !old_state) || (database && !database_ours) || (old_state && !old_state_ours))
    throw SessionError(dir.string() + " holds files that are not a simulated board's; nothing removed");
}

void remove_database_files(const fs::path &dir) {
  remove_regular(dir / kBoardFile);
  for (const char *name : kBoardCompanions) remove_regular(dir / name);
}

void remove_old_format_files(const fs::path &dir) {
  for (const char *name : {"board.state", "board.state.tmp", "lock"}) remove_regular(dir / name);
  const fs::path chains = dir / "chains";
  if (!is_real_directory(chains)) return;
  std::error_code ec;
  for (const auto &entry : fs::directory_iterator(chains, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.size() > 5 && (name.ends_with(".bits") || name.ends_with(".bits.tmp"))) remove_regular(entry.path());
  }
  ::rmdir(chains.c_str());  // only when nothing else is left in it
}

}  // namespace

void reset_board(const fs::path &dir) {
  make_board_dir(dir);
  check_is_board(dir);
  // Anything that is not a regular file at the board's names was not made
  // by the board: refuse before removing anything.
  check_board_file_kinds(dir, "nothing removed");
  // A database of ours is emptied under the board's lock, so a command that
  // holds the board finishes first, whatever its rows and pages hold: it is
  // never read.  Anything else the board made goes.
  if (board_file_problem(dir / kBoardFile)) remove_database_files(dir);
  remove_old_format_files(dir);
  StoreOptions options;
  options.wipe = true;
  BoardSession session(dir, options);
  session.power_up_fresh();
}

}  // namespace jtag::sim
