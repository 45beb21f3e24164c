// Small owners of SQLite's handles: a database connection and a prepared
// statement, each finalized with its owner, and every failure turned into
// one SqliteError whose text is the line a user reads.
#ifndef JTAGBOX_SIM_SQLITE_DB_H
#define JTAGBOX_SIM_SQLITE_DB_H

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "base/error.h"

namespace jtag::sim {

// A PlatformError, so that a command that meets it mid-run ends with its line.
class SqliteError : public PlatformError {
 public:
  using PlatformError::PlatformError;
};

class Statement;

class Database {
 public:
  // Opens `file` with SQLite's `flags` (SQLITE_OPEN_*); never through a
  // symbolic link.  Throws SqliteError.
  Database(const std::filesystem::path &file, int flags);
  ~Database();
  Database(const Database &) = delete;
  Database &operator=(const Database &) = delete;

  sqlite3 *handle() const { return db_; }
  // Runs statements that return no rows.  Throws SqliteError.
  void execute(const char *sql);
  // The one integer a statement such as "PRAGMA user_version" returns.
  int64_t integer(const char *sql);
  // The text of SQLite's last error on this connection, with `what` before
  // it (and the damage hint after it when the file is damaged).
  [[noreturn]] void fail(const std::string &what) const;
  // Says what to do about a damaged file, after the error's text.
  void set_damage_hint(std::string hint) { damage_hint_ = std::move(hint); }
  // A value of the wrong type in column `column` of a row.
  [[noreturn]] void wrong_type(const char *column, const char *expected) const;

 private:
  std::filesystem::path file_;
  std::string damage_hint_;
  sqlite3 *db_ = nullptr;
};

class Statement {
 public:
  Statement(Database &db, const char *sql);
  ~Statement();
  Statement(const Statement &) = delete;
  Statement &operator=(const Statement &) = delete;

  Statement &bind(int index, int64_t value);
  Statement &bind(int index, std::string_view text);
  Statement &bind_blob(int index, const void *data, size_t bytes);
  Statement &bind_null(int index);
  // The next row: true while there is one.  Throws SqliteError.
  bool step();
  // Runs a statement that returns no rows, then makes it ready again.
  void run();
  void reset();

  // A column's value, refused (SqliteError) when the row holds a value of
  // another type: a damaged file can hold anything, whatever its table
  // says, and a value read is never a value guessed.
  int64_t integer(int column) const;
  std::string text(int column) const;
  bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
  const unsigned char *blob(int column, size_t &bytes) const;

 private:
  Database &db_;
  sqlite3_stmt *stmt_ = nullptr;
};

}  // namespace jtag::sim

#endif
