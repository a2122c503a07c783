#include "sqlite.h"

namespace quillon::viewer {

Database::Database(const std::string& path, int flags) {
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    std::string message = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    const int code = db_ != nullptr ? sqlite3_errcode(db_) & 0xFF : SQLITE_NOMEM;
    sqlite3_close(db_);
    db_ = nullptr;
    throw SqliteError(path + ": " + message, code);
  }
  sqlite3_extended_result_codes(db_, 1);
}

Database::~Database() { sqlite3_close(db_); }

void Database::Fail(const std::string& what) const {
  throw SqliteError(what + ": " + sqlite3_errmsg(db_), sqlite3_errcode(db_) & 0xFF);
}

std::string SqliteError::Explained() const {
  switch (code_) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
      return "in use by another program (a quillon-proxy serving it, or another quillon-disc): "
             "stop that first";
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
      return "cannot be written (check the permissions)";
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return "the catalogue is damaged";
    case SQLITE_FULL:
      return "the file system is full";
    case SQLITE_CONSTRAINT:
      return "breaks a rule of the catalogue (" + std::string(what()) + ")";
    default:
      return what();
  }
}

void Database::Execute(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string message = error != nullptr ? error : "failed";
    sqlite3_free(error);
    throw SqliteError(message, sqlite3_errcode(db_) & 0xFF);
  }
}

Statement::Statement(const Database& db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v3(db.handle(), sql, -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr) !=
      SQLITE_OK) {
    db.Fail("prepare");
  }
}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::Bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(statement_, index, value) != SQLITE_OK) db_.Fail("bind");
  return *this;
}

Statement& Statement::Bind(int index, std::string_view text) {
  if (sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_TRANSIENT) != SQLITE_OK) {
    db_.Fail("bind");
  }
  return *this;
}

Statement& Statement::BindUncopied(int index, std::string_view text) {
  if (sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                        SQLITE_STATIC) != SQLITE_OK) {
    db_.Fail("bind");
  }
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(statement_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_.Fail("step");
}

void Statement::Reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
}

std::int64_t Statement::Integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string Statement::Text(int column) const { return TextPointer(column); }

const char* Statement::TextPointer(int column) const {
  const unsigned char* text = sqlite3_column_text(statement_, column);
  return text != nullptr ? reinterpret_cast<const char*>(text) : "";
}

}  // namespace quillon::viewer
