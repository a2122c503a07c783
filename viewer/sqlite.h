// Thin ownership wrappers over SQLite handles, and errors as exceptions with SQLite's message.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillon::viewer {

class SqliteError : public std::runtime_error {
 public:
  SqliteError(const std::string& message, int code) : std::runtime_error(message), code_(code) {}
  int code() const { return code_; }  // SQLite's primary result code
  // What went wrong in words for people: "in use by another program" rather than SQLite's own.
  std::string Explained() const;

 private:
  int code_;
};

class Statement;

class Database {
 public:
  // flags as sqlite3_open_v2 takes them.
  Database(const std::string& path, int flags);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  void Execute(const char* sql);
  sqlite3* handle() const { return db_; }
  [[noreturn]] void Fail(const std::string& what) const;

 private:
  sqlite3* db_ = nullptr;
};

class Statement {
 public:
  Statement(const Database& db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, std::string_view text);
  // The text is not copied: it must stay as it is until the next Reset.
  Statement& BindUncopied(int index, std::string_view text);
  // True while a row is there to read; false at the end.
  bool Step();
  void Reset();
  std::int64_t Integer(int column) const;
  std::string Text(int column) const;
  // The column's text as SQLite holds it, valid until the next Step or Reset; never null.
  const char* TextPointer(int column) const;

 private:
  const Database& db_;
  sqlite3_stmt* statement_ = nullptr;
};

}  // namespace quillon::viewer
