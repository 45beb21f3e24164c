#include "sim/board_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>
#include <thread>

#include "base/errno_text.h"
#include "base/notice.h"

namespace jtag::sim {
namespace fs = std::filesystem;
namespace {

// SQLite's rollback-journal locks are POSIX locks on bytes past the first
// gigabyte of the file (its file-format description, "the lock-byte page").
constexpr off_t kPendingByte = 0x40000000;
constexpr off_t kReservedByte = kPendingByte + 1;
constexpr off_t kLockBytes = 2 + 510;  // pending, reserved, the shared range
constexpr size_t kHeaderBytes = 100;
constexpr size_t kUserVersionAt = 60;
constexpr size_t kApplicationIdAt = 68;
constexpr auto kSayBusyAfter = std::chrono::seconds(1);
constexpr const char *kWhatToDo = "; 'jtag-sim reset' powers the board up fresh";
constexpr auto kBusyPoll = std::chrono::milliseconds(5);
// How long a command waits for the board another process holds.
constexpr int kBusyWaitSeconds = 30;

// Ours, in the header of the file ("jtgb"), and the layout of the tables.
constexpr int32_t kBoardApplicationId = 0x6a746762;
constexpr int32_t kBoardSchemaVersion = 3;
// Version 1 had no SRST columns, version 2 no fault table; a command that
// writes such a board adds them (with SRST released, never asserted, and no
// fault), one that only reads it sees the same without writing.
constexpr int32_t kOldestBoardSchemaVersion = 1;
constexpr const char *kAddSrstColumns =
    "ALTER TABLE board ADD COLUMN srst INTEGER NOT NULL DEFAULT 0;"
    "ALTER TABLE board ADD COLUMN srst_assertions INTEGER NOT NULL DEFAULT 0;"
    "PRAGMA user_version = 2";
constexpr const char *kAddFaultTable =
    "CREATE TABLE fault (name TEXT PRIMARY KEY, value TEXT NOT NULL) STRICT;"
    "PRAGMA user_version = 3";

// STRICT: a value of the wrong type is refused when a person seeds it.
constexpr const char *kSchema = R"sql(
CREATE TABLE board (
  id INTEGER PRIMARY KEY CHECK (id = 1),
  scan_mode INTEGER NOT NULL, tms INTEGER NOT NULL, tdi INTEGER NOT NULL,
  unrouted_tap TEXT NOT NULL, accelerator INTEGER NOT NULL,
  reset_hang INTEGER NOT NULL, accel_on_fail INTEGER NOT NULL, accel_off_fail INTEGER NOT NULL,
  srst INTEGER NOT NULL, srst_assertions INTEGER NOT NULL) STRICT;
CREATE TABLE tap_device (
  name TEXT PRIMARY KEY, state TEXT NOT NULL, instruction INTEGER NOT NULL,
  ir_cells INTEGER NOT NULL, latches TEXT NOT NULL) STRICT;
CREATE TABLE fpga_register (address INTEGER PRIMARY KEY, value INTEGER NOT NULL) STRICT;
CREATE TABLE control_register (
  cpu INTEGER NOT NULL, address INTEGER NOT NULL, value INTEGER NOT NULL,
  PRIMARY KEY (cpu, address)) WITHOUT ROWID, STRICT;
CREATE TABLE l2_word (
  cpu INTEGER NOT NULL, address INTEGER NOT NULL, value INTEGER NOT NULL,
  PRIMARY KEY (cpu, address)) WITHOUT ROWID, STRICT;
CREATE TABLE scan_chain (key TEXT PRIMARY KEY, length INTEGER NOT NULL, contents BLOB) STRICT;
CREATE TABLE fault (name TEXT PRIMARY KEY, value TEXT NOT NULL) STRICT;
)sql";

constexpr const char *kBoardColumns[] = {"scan_mode",     "tms",
                                         "tdi",           "unrouted_tap",
                                         "accelerator",   "reset_hang",
                                         "accel_on_fail", "accel_off_fail",
                                         "srst",          "srst_assertions"};
constexpr int kBoardColumnCount = int(std::size(kBoardColumns));

bool known_version(int64_t version) { return version >= kOldestBoardSchemaVersion && version <= kBoardSchemaVersion; }

uint32_t big_endian_at(const unsigned char *p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

// A board's file may be absent (a new board) or a regular file; anything
// else at that name was not made by the board.  `outcome` ends the line.
void check_regular_or_absent(const fs::path &file, const char *outcome) {
  struct stat st {};
  if (::lstat(file.c_str(), &st) != 0) {
    if (errno == ENOENT) return;
    throw StoreError("cannot read " + file.string() + ": " + errno_text());
  }
  if (!S_ISREG(st.st_mode))
    throw StoreError(file.string() + " is not a regular file (a symbolic link, a FIFO or a directory): the board " +
                     "does not use it; " + outcome);
}

uint64_t number_or_zero(const StateMap &state, const std::string &key) {
  const auto it = state.entries().find(key);
  if (it == state.entries().end()) return 0;
  return parse_number(it->second).value_or(0);
}

std::string text_of(const StateMap &state, const std::string &key) {
  const auto it = state.entries().find(key);
  return it == state.entries().end() ? std::string() : it->second;
}

// A TAP row as text, to tell whether the run changed it.
std::string tap_row(const std::string &state, uint64_t ir, uint64_t ir_cells, const std::string &latches) {
  std::string row = state;
  row += '\n';
  row += hex_text(ir);
  row += '\n';
  row += hex_text(ir_cells);
  row += '\n';
  row += latches;
  return row;
}

// A chain's row is read and written in pieces of this many bytes, so that
// neither end holds a second copy of a long chain.
constexpr size_t kChainPieceBytes = size_t{1} << 20;

// An open BLOB of one row, for reading or writing it in pieces.
class BlobHandle {
 public:
  BlobHandle(Database &db, const char *column, int64_t row, bool write) : db_(db) {
    if (sqlite3_blob_open(db.handle(), "main", "scan_chain", column, row, write ? 1 : 0, &blob_) != SQLITE_OK)
      db.fail("cannot use");
  }
  ~BlobHandle() { sqlite3_blob_close(blob_); }
  BlobHandle(const BlobHandle &) = delete;
  BlobHandle &operator=(const BlobHandle &) = delete;

  void read(unsigned char *to, size_t bytes, size_t at) {
    if (sqlite3_blob_read(blob_, to, int(bytes), int(at)) != SQLITE_OK) db_.fail("cannot read");
  }
  void write(const unsigned char *from, size_t bytes, size_t at) {
    if (sqlite3_blob_write(blob_, from, int(bytes), int(at)) != SQLITE_OK) db_.fail("cannot write");
  }

 private:
  Database &db_;
  sqlite3_blob *blob_ = nullptr;
};

std::optional<std::string> header_problem(int fd, const fs::path &file) {
  unsigned char header[kHeaderBytes] = {};
  const ssize_t got = ::pread(fd, header, kHeaderBytes, 0);
  if (got < 0) throw StoreError("cannot read " + file.string() + ": " + errno_text());
  if (got == 0) return std::nullopt;  // made, never written: a new board
  const std::string what_to_do = kWhatToDo;
  if (size_t(got) < kHeaderBytes || std::memcmp(header, "SQLite format 3", 16) != 0 ||
      big_endian_at(header + kApplicationIdAt) != uint32_t(kBoardApplicationId))
    return file.string() + " is not a simulated board's database" + what_to_do;
  const uint32_t version = big_endian_at(header + kUserVersionAt);
  if (!known_version(version))
    return file.string() + " is a board of version " + std::to_string(version) + ", not " +
           std::to_string(kBoardSchemaVersion) + what_to_do;
  return std::nullopt;
}

}  // namespace

std::optional<std::string> board_file_problem(const fs::path &file) {
  const UniqueFd fd(::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::nullopt;
    throw StoreError("cannot read " + file.string() + ": " + errno_text());
  }
  return header_problem(fd.get(), file);
}

void make_board_dir(const fs::path &dir) {
  std::error_code ec;
  if (fs::is_directory(dir, ec)) return;
  fs::create_directories(dir, ec);
  if (ec) throw StoreError("cannot make the board directory " + dir.string() + ": " + ec.message());
}

void check_board_file_kinds(const fs::path &dir, const char *outcome) {
  check_regular_or_absent(dir / kBoardFile, outcome);
  for (const char *name : kBoardCompanions) check_regular_or_absent(dir / name, outcome);
}

void check_board_files(const fs::path &dir) {
  check_board_file_kinds(dir, "nothing changed");
  struct stat st {};
  if (::lstat((dir / kBoardFile).c_str(), &st) != 0 && ::lstat((dir / "board.state").c_str(), &st) == 0)
    throw StoreError("the simulated board in " + dir.string() +
                     " is in the old text format (board.state); 'jtag-sim reset' powers it up fresh in the new one");
}

BoardStore::BoardStore(fs::path dir, StoreOptions options)
    : dir_(std::move(dir)), file_(dir_ / kBoardFile), options_(std::move(options)) {
  if (options_.write) make_board_dir(dir_);
  check_board_files(dir_);
  open_database();
  if (db_ && options_.wipe) wipe();
  if (db_) take_board();
}

BoardStore::~BoardStore() {
  statements_.clear();
  if (in_transaction_ && db_) sqlite3_exec(db_->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  db_.reset();  // before probe_ closes
}

// Reads the header through a descriptor of our own before SQLite opens the
// file: a file that is not ours is refused without a byte written to it.
void BoardStore::open_database() {
  probe_.emplace(::open(file_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (probe_fd() < 0 && errno != ENOENT) throw StoreError("cannot read " + file_.string() + ": " + errno_text());
  if (probe_fd() < 0 && !options_.write) return;  // never saved: the board as powered up
  if (probe_fd() >= 0) {
    if (auto problem = header_problem(probe_fd(), file_)) throw StoreError(*problem);
  }
  const int flags = options_.write ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE;
  try {
    db_ = std::make_unique<Database>(file_, flags);
  } catch (const SqliteError &e) {
    throw StoreError(e.what());
  }
  db_->set_damage_hint(kWhatToDo);
  if (probe_fd() < 0) {
    probe_.reset();  // none was open: closing it drops no lock
    probe_.emplace(::open(file_.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  }
  sqlite3_busy_handler(db_->handle(), &BoardStore::on_busy, this);
}

// A run that may change the board must be able to save it: found out
// before the TAP is touched, not when the run ends.  As root, only a
// read-only file system refuses.
void BoardStore::check_writable() const {
  const std::string cannot = "the simulated board in " + dir_.string() + " cannot be saved: ";
  if (sqlite3_db_readonly(db_->handle(), "main") == 1)
    throw StoreError(cannot + file_.string() + " may not be written; nothing changed");
  if (::faccessat(AT_FDCWD, dir_.c_str(), W_OK, AT_EACCESS) != 0)
    throw StoreError(cannot + "cannot write in " + dir_.string() + ": " + errno_text() + "; nothing changed");
}

// The line for a wait that ended without the board, or for SQLite's error.
StoreError BoardStore::not_taken(const SqliteError &e) const {
  if (gave_up_) return StoreError("gave up waiting for the simulated board in " + dir_.string());
  if ((sqlite3_errcode(db_->handle()) & 0xff) == SQLITE_BUSY)
    return StoreError("the simulated board in " + dir_.string() + " is busy: another process has held it for " +
                      std::to_string(kBusyWaitSeconds) + " s");
  return StoreError(e.what());
}

// jtag-sim reset on a database of ours, whatever state its pages and rows
// are in: SQLite's own reset makes it an empty database (VACUUM waits for
// a command that holds the board, like any writer), which take_board()
// then makes a new board.
void BoardStore::wipe() {
  check_writable();
  sqlite3 *handle = db_->handle();
  sqlite3_db_config(handle, SQLITE_DBCONFIG_RESET_DATABASE, 1, nullptr);
  wait_started_ = std::chrono::steady_clock::now();
  try {
    db_->execute("VACUUM");
  } catch (const SqliteError &e) {
    sqlite3_db_config(handle, SQLITE_DBCONFIG_RESET_DATABASE, 0, nullptr);
    throw not_taken(e);
  }
  sqlite3_db_config(handle, SQLITE_DBCONFIG_RESET_DATABASE, 0, nullptr);
}

void BoardStore::take_board() {
  if (options_.write) check_writable();
  try {
    db_->execute("PRAGMA synchronous = OFF");
    wait_started_ = std::chrono::steady_clock::now();
    // A reader waits for a holder too, so that it sees the board as the
    // command before it left it; it writes nothing.  A file it may not
    // write it can still read.
    db_->execute(sqlite3_db_readonly(db_->handle(), "main") == 1 ? "BEGIN" : "BEGIN IMMEDIATE");
    in_transaction_ = true;
    // Reading the header checks it again now that the board is ours: a
    // file made meanwhile by another process is checked as well.
    const int64_t id = db_->integer("PRAGMA application_id");
    const int64_t version = db_->integer("PRAGMA user_version");
    if (id == 0 && version == 0 && db_->integer("SELECT count(*) FROM sqlite_schema") == 0) {
      if (options_.write) {
        create_schema();
      } else {  // made by a writer that has not committed yet: as powered up
        db_->execute("ROLLBACK");
        in_transaction_ = false;
        db_.reset();
      }
      return;
    }
    if (id != kBoardApplicationId || !known_version(version))
      throw StoreError(file_.string() + " is not a simulated board's database of version " +
                       std::to_string(kBoardSchemaVersion) + "; 'jtag-sim reset' powers the board up fresh");
    version_ = version;
    if (version_ < kBoardSchemaVersion && options_.write) {
      if (version_ < 2) db_->execute(kAddSrstColumns);
      db_->execute(kAddFaultTable);
      version_ = kBoardSchemaVersion;
      wrote();
    }
  } catch (const SqliteError &e) {
    throw not_taken(e);
  }
}

void BoardStore::create_schema() {
  db_->execute(kSchema);
  const std::string pragmas = "PRAGMA application_id = " + std::to_string(kBoardApplicationId) +
                              "; PRAGMA user_version = " + std::to_string(kBoardSchemaVersion);
  db_->execute(pragmas.c_str());
  wrote();
}

int BoardStore::on_busy(void *self, int count) { return static_cast<BoardStore *>(self)->wait_turn(count); }

// Waits in short steps; after a second it says once who holds the board, so
// that a command ended by its watchdog while waiting is not taken for a
// hung TAP.
int BoardStore::wait_turn(int count) {
  const auto now = std::chrono::steady_clock::now();
  if (count == 0) wait_started_ = now;
  if (options_.give_up && options_.give_up()) {
    gave_up_ = true;
    return 0;
  }
  if (now - wait_started_ > std::chrono::seconds(kBusyWaitSeconds)) return 0;
  if (!said_busy_ && now - wait_started_ >= kSayBusyAfter) {
    said_busy_ = true;
    std::string holder;
    for (const auto &[start, length] : {std::pair{kReservedByte, off_t{1}}, std::pair{kPendingByte, kLockBytes}}) {
      struct flock probe {};
      probe.l_type = F_WRLCK;
      probe.l_whence = SEEK_SET;
      probe.l_start = start;
      probe.l_len = length;
      if (holder.empty() && probe_fd() >= 0 && ::fcntl(probe_fd(), F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK &&
          probe.l_pid > 0)
        holder = " (held by process " + std::to_string(probe.l_pid) + ")";
    }
    notice("the simulated board in " + dir_.string() + " is busy" + holder + "; waiting up to " +
           std::to_string(kBusyWaitSeconds) + " s");
  }
  std::this_thread::sleep_for(kBusyPoll);
  return 1;
}

Statement &BoardStore::statement(const std::string &name, const char *sql) {
  auto &s = statements_[name];
  if (!s) s = std::make_unique<Statement>(*db_, sql);
  return *s;
}

StateMap BoardStore::small_state() {
  StateMap state;
  if (!db_) return state;
  Statement board(*db_, version_ < 2 ? "SELECT scan_mode, tms, tdi, unrouted_tap, accelerator, reset_hang, "
                                       "accel_on_fail, accel_off_fail, 0, 0 FROM board WHERE id = 1"
                                     : "SELECT scan_mode, tms, tdi, unrouted_tap, accelerator, reset_hang, "
                                       "accel_on_fail, accel_off_fail, srst, srst_assertions FROM board WHERE id = 1");
  if (board.step()) {
    std::string row;
    for (int c = 0; c < kBoardColumnCount; ++c) {
      const std::string value = c == 3 ? board.text(c) : hex_text(uint64_t(board.integer(c)));
      state.put(kBoardColumns[c], value);
      row += value + "\n";
    }
    small_rows_[""] = row;
  }
  Statement taps(*db_, "SELECT name, state, instruction, ir_cells, latches FROM tap_device");
  while (taps.step()) {
    const std::string p = taps.text(0) + ".";
    state.put(p + "tap", taps.text(1));
    state.put_number(p + "ir", uint64_t(taps.integer(2)));
    state.put_number(p + "ir_cells", uint64_t(taps.integer(3)));
    const std::string latches = taps.text(4);
    const StateMap unit_keys = StateMap::parse(latches);
    for (const auto &[key, value] : unit_keys.entries()) state.put(p + key, value);
    small_rows_[taps.text(0)] = tap_row(taps.text(1), uint64_t(taps.integer(2)), uint64_t(taps.integer(3)), latches);
  }
  return state;
}

void BoardStore::put_small_state(const StateMap &state) {
  put_board_row(state);
  // Each device's keys: NAME.tap, NAME.ir, NAME.ir_cells and its latches.
  std::map<std::string, StateMap> latches;
  for (const auto &[key, value] : state.entries()) {
    const auto dot = key.find('.');
    if (dot == std::string::npos) continue;
    const std::string name = key.substr(0, dot), rest = key.substr(dot + 1);
    StateMap &device = latches[name];
    if (rest != "tap" && rest != "ir" && rest != "ir_cells") device.put(rest, value);
  }
  for (const auto &[name, rest] : latches) put_tap_row(state, name, rest.serialize());
}

void BoardStore::put_board_row(const StateMap &state) {
  std::string row;
  for (const char *column : kBoardColumns) {
    row += text_of(state, column);
    row += '\n';
  }
  if (small_rows_[""] == row) return;
  Statement put(*db_, "INSERT OR REPLACE INTO board VALUES (1, ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
  for (int c = 0; c < kBoardColumnCount; ++c) {
    if (c == 3)
      put.bind(c + 1, text_of(state, kBoardColumns[c]));
    else
      put.bind(c + 1, int64_t(number_or_zero(state, kBoardColumns[c])));
  }
  put.run();
  small_rows_[""] = row;
  wrote();
}

void BoardStore::put_tap_row(const StateMap &state, const std::string &name, const std::string &latches) {
  const std::string p = name + ".";
  const std::string tap = text_of(state, p + "tap");
  const uint64_t ir = number_or_zero(state, p + "ir"), ir_cells = number_or_zero(state, p + "ir_cells");
  const std::string row = tap_row(tap, ir, ir_cells, latches);
  if (small_rows_[name] == row) return;
  Statement put(*db_, "INSERT OR REPLACE INTO tap_device VALUES (?1, ?2, ?3, ?4, ?5)");
  put.bind(1, name).bind(2, tap).bind(3, int64_t(ir)).bind(4, int64_t(ir_cells)).bind(5, latches).run();
  small_rows_[name] = row;
  wrote();
}

std::optional<uint64_t> BoardStore::lookup(const char *name, const char *sql, int cpu, uint64_t address) {
  if (!db_) return std::nullopt;
  Statement &s = statement(name, sql);
  s.bind(1, int64_t(cpu)).bind(2, int64_t(address));
  std::optional<uint64_t> value;
  try {
    if (s.step()) value = uint64_t(s.integer(0));
  } catch (...) {
    s.reset();
    throw;
  }
  s.reset();
  return value;
}

// Rows are looked up by address, so only a row's value can be out of range
// for its part; a summary also reads the addresses.
void BoardStore::check_row(const char *table, uint64_t address, uint64_t value) const {
  const bool fpga = std::strcmp(table, "fpga_register") == 0;
  const bool creg = std::strcmp(table, "control_register") == 0;
  const bool address_fits = fpga   ? address <= 0xffffffffu
                            : creg ? address < (uint64_t{1} << 40)
                                   : address % 8 == 0 && address < (uint64_t{1} << 56);
  if (!address_fits || (fpga && value > 0xff))
    throw StoreError(file_.string() + " holds a row of " + table + " that no board has (address " + hex_text(address) +
                     ", value " + hex_text(value) + ")" + kWhatToDo);
}

std::optional<uint64_t> BoardStore::fpga_register(uint64_t address) {
  const auto value = lookup("fpga", "SELECT value FROM fpga_register WHERE ?1 >= 0 AND address = ?2", 0, address);
  if (value) check_row("fpga_register", address, *value);
  return value;
}
std::optional<uint64_t> BoardStore::control_register(int cpu, uint64_t address) {
  return lookup("creg", "SELECT value FROM control_register WHERE cpu = ?1 AND address = ?2", cpu, address);
}
std::optional<uint64_t> BoardStore::l2_word(int cpu, uint64_t address) {
  return lookup("l2", "SELECT value FROM l2_word WHERE cpu = ?1 AND address = ?2", cpu, address);
}

void BoardStore::put_fpga_register(uint64_t address, uint64_t value) {
  statement("put fpga", "INSERT OR REPLACE INTO fpga_register VALUES (?1, ?2)")
      .bind(1, int64_t(address))
      .bind(2, int64_t(value))
      .run();
  wrote();
}
void BoardStore::put_control_register(int cpu, uint64_t address, uint64_t value) {
  statement("put creg", "INSERT OR REPLACE INTO control_register VALUES (?1, ?2, ?3)")
      .bind(1, int64_t(cpu))
      .bind(2, int64_t(address))
      .bind(3, int64_t(value))
      .run();
  wrote();
}
void BoardStore::put_l2_word(int cpu, uint64_t address, uint64_t value) {
  statement("put l2", "INSERT OR REPLACE INTO l2_word VALUES (?1, ?2, ?3)")
      .bind(1, int64_t(cpu))
      .bind(2, int64_t(address))
      .bind(3, int64_t(value))
      .run();
  wrote();
}

RowSummary BoardStore::summary(const char *table, int cpu, size_t first) {
  RowSummary out;
  if (!db_) return out;
  const std::string where = std::strcmp(table, "fpga_register") == 0 ? " WHERE ?1 >= 0" : " WHERE cpu = ?1";
  const std::string counts = std::string("SELECT count(*), min(address), max(address) FROM ") + table + where;
  Statement count(*db_, counts.c_str());
  count.bind(1, int64_t(cpu));
  if (count.step()) out.count = uint64_t(count.integer(0));
  if (out.count > 0) {
    out.lowest = uint64_t(count.integer(1));
    out.highest = uint64_t(count.integer(2));
  }
  const std::string rows = std::string("SELECT address, value FROM ") + table + where + " ORDER BY address LIMIT ?2";
  Statement list(*db_, rows.c_str());
  list.bind(1, int64_t(cpu)).bind(2, int64_t(first));
  while (list.step()) {
    out.first.emplace_back(uint64_t(list.integer(0)), uint64_t(list.integer(1)));
    check_row(table, out.first.back().first, out.first.back().second);
  }
  if (out.count > 0) check_row(table, out.highest, 0);
  return out;
}

RowSummary BoardStore::fpga_registers(size_t first) { return summary("fpga_register", 0, first); }
RowSummary BoardStore::control_registers(int cpu, size_t first) { return summary("control_register", cpu, first); }
RowSummary BoardStore::l2_words(int cpu, size_t first) { return summary("l2_word", cpu, first); }

std::optional<uint64_t> BoardStore::chain_length(const std::string &key) {
  if (!db_) return std::nullopt;
  Statement &s = statement("chain length", "SELECT length FROM scan_chain WHERE key = ?1");
  s.bind(1, key);
  std::optional<uint64_t> length;
  if (s.step()) length = uint64_t(s.integer(0));
  s.reset();
  return length;
}

bool BoardStore::chain_contents(const std::string &key, BitVector &into) {
  if (!db_) return false;
  Statement row(*db_, "SELECT rowid, length(contents) FROM scan_chain WHERE key = ?1 AND contents IS NOT NULL");
  row.bind(1, key);
  if (!row.step()) return false;
  const auto bytes = size_t(row.integer(1));
  if (bytes != (into.size() + 7) / 8)
    throw StoreError("the scan chain " + key + " in " + file_.string() + " holds " + std::to_string(bytes) +
                     " bytes for " + std::to_string(into.size()) + " bits; 'jtag-sim reset' powers the board up fresh");
  BlobHandle blob(*db_, "contents", row.integer(0), false);
  std::vector<unsigned char> piece(std::min(bytes, kChainPieceBytes));
  for (size_t at = 0; at < bytes; at += piece.size()) {
    const size_t n = std::min(piece.size(), bytes - at);
    blob.read(piece.data(), n, at);
    for (size_t b = 0; b < n; ++b) {
      const size_t bit = 8 * (at + b);
      into.set_bits(bit, unsigned(std::min<size_t>(8, into.size() - bit)), piece[b]);
    }
  }
  return true;
}

void BoardStore::put_chain(const std::string &key, uint64_t length, const ShiftRegister *cells) {
  wrote();
  if (cells == nullptr) {
    Statement(*db_, "INSERT OR REPLACE INTO scan_chain VALUES (?1, ?2, NULL)")
        .bind(1, key)
        .bind(2, int64_t(length))
        .run();
    return;
  }
  // The row is made at its full size, then filled in place.
  const size_t bytes = (length + 7) / 8;
  Statement(*db_, "INSERT OR REPLACE INTO scan_chain VALUES (?1, ?2, zeroblob(?3))")
      .bind(1, key)
      .bind(2, int64_t(length))
      .bind(3, int64_t(bytes))
      .run();
  BlobHandle blob(*db_, "contents", sqlite3_last_insert_rowid(db_->handle()), true);
  std::vector<unsigned char> piece(std::min(bytes, kChainPieceBytes));
  for (size_t at = 0; at < bytes; at += piece.size()) {
    const size_t n = std::min(piece.size(), bytes - at);
    for (size_t b = 0; b < n; ++b) {
      const size_t bit = 8 * (at + b);
      piece[b] = static_cast<unsigned char>(cells->get_bits(bit, unsigned(std::min<size_t>(8, length - bit))));
    }
    blob.write(piece.data(), n, at);
  }
}

void BoardStore::forget_chain(const std::string &key) {
  if (!db_) return;
  Statement s(*db_, "DELETE FROM scan_chain WHERE key = ?1");
  s.bind(1, key).run();
  if (sqlite3_changes(db_->handle()) > 0) wrote();
}

std::vector<std::pair<std::string, std::string>> BoardStore::faults() {
  std::vector<std::pair<std::string, std::string>> rows;
  if (!db_ || version_ < 3) return rows;
  Statement s(*db_, "SELECT name, value FROM fault ORDER BY rowid");
  while (s.step()) rows.emplace_back(s.text(0), s.text(1));
  return rows;
}

void BoardStore::put_faults(const std::vector<std::pair<std::string, std::string>> &rows) {
  db_->execute("DELETE FROM fault");
  Statement insert(*db_, "INSERT INTO fault (name, value) VALUES (?1, ?2)");
  for (const auto &[name, value] : rows) {
    insert.bind(1, name).bind(2, value).run();
    insert.reset();
  }
  wrote();
}

void BoardStore::clear() {
  db_->execute(
      "DELETE FROM board; DELETE FROM tap_device; DELETE FROM fpga_register; DELETE FROM control_register; "
      "DELETE FROM l2_word; DELETE FROM scan_chain; DELETE FROM fault");
  small_rows_.clear();
  wrote();
}

void BoardStore::commit() {
  if (!in_transaction_) return;
  statements_.clear();
  try {
    db_->execute(wrote_ ? "COMMIT" : "ROLLBACK");
    in_transaction_ = false;
    wrote_ = false;
    if (options_.keep) data_version_ = db_->integer("PRAGMA data_version");
  } catch (const SqliteError &e) {
    throw StoreError(e.what());
  }
}

bool BoardStore::retake() {
  if (!db_ || in_transaction_ || !options_.write || !options_.keep || probe_fd() < 0) return false;
  check_writable();
  try {
    wait_started_ = std::chrono::steady_clock::now();
    said_busy_ = false;
    db_->execute("BEGIN IMMEDIATE");
    in_transaction_ = true;
  } catch (const SqliteError &e) {
    throw not_taken(e);
  }
  // Checked with the board held: nobody replaces or commits meanwhile.
  struct stat path_st {};
  struct stat open_st {};
  const bool same_file = ::lstat(file_.c_str(), &path_st) == 0 && ::fstat(probe_fd(), &open_st) == 0 &&
                         path_st.st_ino == open_st.st_ino && path_st.st_dev == open_st.st_dev;
  try {
    if (same_file && db_->integer("PRAGMA data_version") == data_version_) return true;
    db_->execute("ROLLBACK");
  } catch (const SqliteError &e) {
    throw StoreError(e.what());
  }
  in_transaction_ = false;
  return false;
}

}  // namespace jtag::sim
