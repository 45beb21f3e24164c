#include "sim/sqlite_db.h"

#include <new>

namespace jtag::sim {

namespace {

// A command opens one small database once: SQLite's up-front allocations
// (a lookaside buffer per connection, a bulk of page-cache slots) would
// only cost page faults at every start.  Settable only before SQLite's
// first use, so once per process.
void configure_once() {
  static const bool configured = [] {
    sqlite3_config(SQLITE_CONFIG_LOOKASIDE, 0, 0);
    sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0);
    return true;
  }();
  (void)configured;
}

}  // namespace

Database::Database(const std::filesystem::path &file, int flags) : file_(file) {
  configure_once();
  const int rc = sqlite3_open_v2(file.c_str(), &db_, flags | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_EXRESCODE, nullptr);
  if (rc != SQLITE_OK) {
    const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    if (rc == SQLITE_NOMEM) throw std::bad_alloc();
    throw SqliteError("cannot open " + file.string() + ": " + why);
  }
}

Database::~Database() { sqlite3_close(db_); }

void Database::fail(const std::string &what) const {
  const int code = sqlite3_errcode(db_) & 0xff;  // the primary code of an extended one
  if (code == SQLITE_NOMEM) throw std::bad_alloc();
  // Our statements are fixed: one that fails on a table or a value is
  // failing on a file that is no longer as the board made it.
  const bool damaged = code == SQLITE_CORRUPT || code == SQLITE_NOTADB || code == SQLITE_ERROR ||
                       code == SQLITE_MISMATCH || code == SQLITE_CONSTRAINT || code == SQLITE_FORMAT;
  throw SqliteError(what + " " + file_.string() + ": " + sqlite3_errmsg(db_) + (damaged ? damage_hint_ : ""));
}

void Database::wrong_type(const char *column, const char *expected) const {
  throw SqliteError(file_.string() + " holds a value that is not " + expected + " in column " + column + damage_hint_);
}

void Database::execute(const char *sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) fail("cannot use");
}

int64_t Database::integer(const char *sql) {
  Statement s(*this, sql);
  return s.step() ? s.integer(0) : 0;
}

Statement::Statement(Database &db, const char *sql) : db_(db) {
  if (sqlite3_prepare_v2(db.handle(), sql, -1, &stmt_, nullptr) != SQLITE_OK) db.fail("cannot read");
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement &Statement::bind(int index, int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_.fail("cannot use");
  return *this;
}

Statement &Statement::bind(int index, std::string_view text) {
  if (sqlite3_bind_text(stmt_, index, text.data(), int(text.size()), SQLITE_TRANSIENT) != SQLITE_OK)
    db_.fail("cannot use");
  return *this;
}

Statement &Statement::bind_blob(int index, const void *data, size_t bytes) {
  if (sqlite3_bind_blob64(stmt_, index, data, bytes, SQLITE_STATIC) != SQLITE_OK) db_.fail("cannot use");
  return *this;
}

Statement &Statement::bind_null(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_.fail("cannot use");
  return *this;
}

bool Statement::step() {
  const int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  db_.fail("cannot use");
}

void Statement::run() {
  step();
  reset();
}

void Statement::reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

int64_t Statement::integer(int column) const {
  if (sqlite3_column_type(stmt_, column) != SQLITE_INTEGER)
    db_.wrong_type(sqlite3_column_name(stmt_, column), "a number");
  return sqlite3_column_int64(stmt_, column);
}

std::string Statement::text(int column) const {
  if (sqlite3_column_type(stmt_, column) != SQLITE_TEXT) db_.wrong_type(sqlite3_column_name(stmt_, column), "a text");
  const auto *p = sqlite3_column_text(stmt_, column);
  if (p == nullptr) throw std::bad_alloc();  // the only other reason for no text
  return std::string(reinterpret_cast<const char *>(p), size_t(sqlite3_column_bytes(stmt_, column)));
}

const unsigned char *Statement::blob(int column, size_t &bytes) const {
  const auto *p = static_cast<const unsigned char *>(sqlite3_column_blob(stmt_, column));
  bytes = size_t(sqlite3_column_bytes(stmt_, column));
  return p;
}

}  // namespace jtag::sim
