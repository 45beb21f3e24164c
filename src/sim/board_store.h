// Where the simulated board keeps its state between processes: one SQLite
// database, DIR/board.db (README.md, "The board's database", describes the
// tables for people who open it with sqlite3).
//
// A process that drives the board holds an immediate transaction for the
// whole run: SQLite's RESERVED lock makes a second command wait, and a
// killed holder lets go at once (its POSIX locks die with it).  Nothing is
// written before the end of the run, and then only what changed, in one
// commit: a process killed at any point leaves the state of the run before.
// A reader such as `jtag-sim show` takes the board the same way, so it waits
// for a command that holds it and shows the state that command left, and
// then writes nothing.  The database keeps a rollback journal (not WAL), so
// a reader needs no file of its own and leaves board.db as it was;
// synchronous=OFF, since the board must survive a killed process, not a
// power cut.
//
// Large parts are read on demand, each row when it is first needed: L2
// words, control registers, FPGA registers and scan chains.  The scalars
// and the TAP rows are small and read when the store opens.
#ifndef JTAGBOX_SIM_BOARD_STORE_H
#define JTAGBOX_SIM_BOARD_STORE_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/bits.h"
#include "base/unique_fd.h"
#include "sim/shift_register.h"
#include "sim/sqlite_db.h"
#include "sim/state_map.h"

namespace jtag::sim {

inline constexpr const char *kBoardFile = "board.db";

// The files a board directory may hold that the board itself made:
// today's database and its journal, and those of the old text format.
inline constexpr const char *kBoardCompanions[] = {"board.db-journal", "board.db-wal", "board.db-shm"};

class StoreError : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

// Rows of a part that holds many (L2 words, registers): how many, the
// lowest and highest address, and the first few.
struct RowSummary {
  uint64_t count = 0;
  uint64_t lowest = 0, highest = 0;
  std::vector<std::pair<uint64_t, uint64_t>> first;
};

struct StoreOptions {
  bool write = true;              // hold the board for a run that may change it
  std::function<bool()> give_up;  // asked while waiting: true ends the wait
  bool wipe = false;              // empty the database first, whatever it holds (reset)
  bool keep = false;              // kept between runs: retake() may follow commit()
};

class BoardStore {
 public:
  // Opens DIR/board.db (a writer creates the directory and the database),
  // checks that it is a board of this version and takes the board.
  // Throws StoreError with the line to print.
  BoardStore(std::filesystem::path dir, StoreOptions options);
  ~BoardStore();
  BoardStore(const BoardStore &) = delete;
  BoardStore &operator=(const BoardStore &) = delete;

  const std::filesystem::path &dir() const { return dir_; }
  bool exists() const { return db_ != nullptr; }

  // For a caller that keeps the store between runs (a library's board,
  // held per call): after commit(), takes the board again as the first
  // take did, waiting for a holder.  False, with nothing taken, when the
  // database is no longer what this store last committed (another
  // connection committed since, or the file was replaced): the caller
  // opens the board anew.  Throws StoreError when it cannot be taken.
  bool retake();

  // The scalars and TAP rows as state keys ("scan_mode", "cpu0.tap", ...),
  // empty for a board never saved.
  StateMap small_state();
  // Writes the rows of `state` that differ from what small_state() read.
  void put_small_state(const StateMap &state);

  std::optional<uint64_t> fpga_register(uint64_t address);
  std::optional<uint64_t> control_register(int cpu, uint64_t address);
  std::optional<uint64_t> l2_word(int cpu, uint64_t address);
  void put_fpga_register(uint64_t address, uint64_t value);
  void put_control_register(int cpu, uint64_t address, uint64_t value);
  void put_l2_word(int cpu, uint64_t address, uint64_t value);

  RowSummary fpga_registers(size_t first);
  RowSummary control_registers(int cpu, size_t first);
  RowSummary l2_words(int cpu, size_t first);

  // A chain's stored length, when it differs from power-up or it was shifted.
  std::optional<uint64_t> chain_length(const std::string &key);
  // Its stored contents (bit i in bit i%8 of byte i/8); false when none.
  bool chain_contents(const std::string &key, BitVector &into);
  // cells == nullptr: powered up afresh at `length`.  The contents go to
  // the row in pieces, never copied whole.
  void put_chain(const std::string &key, uint64_t length, const ShiftRegister *cells);
  void forget_chain(const std::string &key);  // back to power-up

  // The wiring faults set (name, value; sim/chain_faults.h), in the order
  // they were put; none on a board of an older layout.
  std::vector<std::pair<std::string, std::string>> faults();
  // Replaces them (jtag-sim fault, fault clear).
  void put_faults(const std::vector<std::pair<std::string, std::string>> &rows);

  // Empties every table (jtag-sim reset on a board that is ours).
  void clear();
  // Ends the run: commits what was written, or writes nothing at all.
  void commit();

 private:
  void open_database();
  void take_board();
  void check_writable() const;
  void wipe();
  StoreError not_taken(const SqliteError &e) const;
  void create_schema();
  void put_board_row(const StateMap &state);
  void put_tap_row(const StateMap &state, const std::string &name, const std::string &latches);
  Statement &statement(const std::string &name, const char *sql);
  std::optional<uint64_t> lookup(const char *name, const char *sql, int cpu, uint64_t address);
  RowSummary summary(const char *table, int cpu, size_t first);
  void check_row(const char *table, uint64_t address, uint64_t value) const;
  void wrote() { wrote_ = true; }
  static int on_busy(void *self, int count);
  int wait_turn(int count);

  std::filesystem::path dir_;
  std::filesystem::path file_;
  StoreOptions options_;
  int probe_fd() const { return probe_ ? probe_->get() : -1; }

  // Open for as long as SQLite's own descriptor: closing a descriptor of
  // the file would drop every POSIX lock this process holds on it.
  std::optional<UniqueFd> probe_;
  std::unique_ptr<Database> db_;
  std::map<std::string, std::unique_ptr<Statement>> statements_;
  std::map<std::string, std::string> small_rows_;  // as read: row name -> its text
  bool in_transaction_ = false;
  bool wrote_ = false;
  int64_t version_ = 0;       // of the layout the open database has
  int64_t data_version_ = 0;  // SQLite's count of others' commits, after this one's last
  bool gave_up_ = false;
  bool said_busy_ = false;
  std::chrono::steady_clock::time_point wait_started_;
};

// Makes the board directory when it is not there.  Throws StoreError.
void make_board_dir(const std::filesystem::path &dir);
// Refuses anything at board.db or its journals' names that is not a regular
// file (a symbolic link, FIFO or directory the board did not make);
// `outcome` ends the line ("nothing changed").  Throws StoreError.
void check_board_file_kinds(const std::filesystem::path &dir, const char *outcome);
// Checks what a board directory holds before anything opens it: board.db
// and its journals are regular files (never a symbolic link, FIFO or
// directory), and the directory is not a board of the old text format.
// Throws StoreError.
void check_board_files(const std::filesystem::path &dir);
// Why `file` (a regular file, or none) is not a board of this version, as
// the line to print; nullopt when it is one, or empty, or absent.  Reads
// only its header.  Throws StoreError when it cannot be read.
std::optional<std::string> board_file_problem(const std::filesystem::path &file);

}  // namespace jtag::sim

#endif
