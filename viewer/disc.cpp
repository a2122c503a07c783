#include "disc.h"

#include "address.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <limits>

namespace quillon::viewer {

namespace fs = std::filesystem;

const char kDiscSchema[] = R"sql(
CREATE TABLE disc (
  format_version INTEGER NOT NULL,
  title          TEXT    NOT NULL,
  created        INTEGER NOT NULL
);
CREATE TABLE documents (
  number        INTEGER PRIMARY KEY CHECK (number BETWEEN 0 AND 1048575),
  url           TEXT    NOT NULL UNIQUE,
  extension     TEXT    NOT NULL DEFAULT '',
  content_type  TEXT    NOT NULL DEFAULT '',
  redirect_url  TEXT    NOT NULL DEFAULT '',
  stale_after   INTEGER NOT NULL DEFAULT 0,
  last_modified INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE files (
  number INTEGER PRIMARY KEY,
  size   INTEGER NOT NULL,
  sha1   TEXT    NOT NULL
);
CREATE TRIGGER files_changed AFTER UPDATE OF number, extension, redirect_url, last_modified
  ON documents BEGIN DELETE FROM files WHERE number = OLD.number; END;
CREATE TRIGGER files_removed AFTER DELETE ON documents
  BEGIN DELETE FROM files WHERE number = OLD.number; END;
)sql";

namespace {

constexpr const char kColumns[] =
    "number, url, extension, content_type, redirect_url, stale_after, last_modified";

std::string Select(const char* where) {
  return std::string("SELECT ") + kColumns + " FROM documents WHERE " + where;
}

bool InWalMode(const Database& db) {
  Statement mode(db, "PRAGMA journal_mode");
  return mode.Step() && std::string_view(mode.TextPointer(0)) == "wal";
}

HttpTime ClampTime(std::int64_t value) {
  if (value < 0) return 0;
  if (value > std::numeric_limits<HttpTime>::max()) return std::numeric_limits<HttpTime>::max();
  return static_cast<HttpTime>(value);
}

}  // namespace

namespace {

// The catalogue opened and checked to be one. `name` is a path, or a URI with SQLITE_OPEN_URI.
std::unique_ptr<Database> OpenChecked(const std::string& name, const fs::path& file, bool writable,
                                      CatalogueReads reads, int uriFlag) {
  auto db = std::make_unique<Database>(
      name, (writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY) | uriFlag);
  // Lookups land anywhere in a large catalogue: read it through a memory map rather than a
  // system call per page. The catalogue is written in WAL mode, so that a proxy's reads and
  // the writes of `quillon-disc add` or of the proxy's own updates never wait for each other;
  // writers wait their turn.
  db->Execute(writable ? "PRAGMA cache_size = -16384; PRAGMA busy_timeout = 10000; "
                         "PRAGMA journal_mode = WAL;"
                       : "PRAGMA cache_size = -16384; PRAGMA busy_timeout = 10000;");
  if (!writable && reads == CatalogueReads::kMapped) db->Execute("PRAGMA mmap_size = 4294967296");
  Statement id(*db, "PRAGMA application_id");
  if (!id.Step() || id.Integer(0) != kDiscApplicationId) {
    throw DiscError(file.string() + ": not a Quillon disc catalogue");
  }
  if (ReadDiscInfo(*db).formatVersion != kDiscFormatVersion) {
    throw DiscError(file.string() + ": unsupported disc format version");
  }
  return db;
}

// The catalogue as a URI that tells SQLite the file cannot change: no locks, no -shm file.
std::string ImmutableUri(const fs::path& file) {
  std::string uri = "file:";
  for (const char c : file.string()) {
    if (c == '%' || c == '?' || c == '#') {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
      uri += escaped;
    } else {
      uri += c;
    }
  }
  return uri + "?immutable=1";
}

}  // namespace

std::unique_ptr<Database> OpenCatalogue(const fs::path& disc, bool writable, CatalogueReads reads) {
  const fs::path file = disc / kCatalogueFile;
  std::error_code ec;
  if (!fs::is_directory(disc, ec)) throw DiscError(disc.string() + ": no such disc folder");
  if (!fs::is_regular_file(file, ec)) throw DiscError(disc.string() + ": no " + kCatalogueFile);
  try {
    try {
      return OpenChecked(file.string(), file, writable, reads, 0);
    } catch (const SqliteError& e) {
      // A reader of a WAL catalogue makes its -shm file when no writer has: impossible in a folder
      // it may not write (a read-only medium, a service's read-only view of the disc). No writer
      // is at work then, and the catalogue is read as it stands; a `quillon-disc add` started
      // later is seen after the server restarts.
      const int code = e.code();
      if (writable || (code != SQLITE_CANTOPEN && code != SQLITE_READONLY) ||
          ::access(disc.c_str(), W_OK) == 0) {
        throw;
      }
      return OpenChecked(ImmutableUri(file), file, false, reads, SQLITE_OPEN_URI);
    }
  } catch (const SqliteError& e) {
    throw DiscError(disc.string() + ": unreadable catalogue (" + e.Explained() + ")");
  }
}

DiscInfo ReadDiscInfo(const Database& db) {
  Statement query(db, "SELECT format_version, title, created FROM disc LIMIT 1");
  DiscInfo info;
  if (query.Step()) {
    info.formatVersion = static_cast<int>(query.Integer(0));
    info.title = query.Text(1);
    info.created = query.Integer(2);
  }
  return info;
}

std::vector<StartPageLink> ReadStartPages(const Database& db, std::size_t limit) {
  Statement table(db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'start_pages'");
  if (!table.Step()) return {};
  // Rows go in as the crawl lists them: the rowid keeps its order.
  Statement query(db, "SELECT url, title FROM start_pages ORDER BY rowid LIMIT ?1");
  query.Bind(1, static_cast<std::int64_t>(std::min<std::size_t>(limit, INT32_MAX)));
  std::vector<StartPageLink> pages;
  while (query.Step()) pages.push_back({query.Text(0), query.Text(1)});
  return pages;
}

DiscCatalogue::DiscCatalogue(const Database& db, const fs::path& disc, CatalogueMemory memory)
    : db_(db),
      begin_(db, "BEGIN"),
      commit_(db, "COMMIT"),
      sharesReads_(InWalMode(db)),
      byNumber_(db, Select("number = ?1").c_str()),
      byUrl_(db, Select("url = ?1").c_str()),
      variants_(db, Select("url >= ?1 AND url < ?2 ORDER BY url LIMIT ?3").c_str()),
      watch_(disc),
      memory_(memory),
      // A write just before the watch began may not be visible yet.
      settledAt_(std::chrono::steady_clock::now() + memory.settle) {}

DiscCatalogue::~DiscCatalogue() { EndReading(); }

void DiscCatalogue::BeginReading(std::chrono::steady_clock::time_point now) {
  try {
    begin_.Step();
    begin_.Reset();
    reading_ = true;
    readingSince_ = now;
  } catch (const SqliteError&) {
    begin_.Reset();  // each query then reads on its own
  }
}

void DiscCatalogue::EndReading() {
  reading_ = false;
  if (sqlite3_get_autocommit(db_.handle()) != 0) return;
  try {
    commit_.Step();
    commit_.Reset();
  } catch (const SqliteError&) {
    commit_.Reset();
    sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

template <class Key, class Query>
int DiscCatalogue::Remembered(std::unordered_map<Key, Answer>& answers, Key key, Query query) {
  if (!watch_.ok()) return query(key);  // changes would go unseen: nothing is remembered
  const auto now = std::chrono::steady_clock::now();
  bool changed = false;
  if (now - watchedAt_ >= memory_.recheck) {
    watchedAt_ = now;
    changed = watch_.Changed();
  }
  if (changed) {
    urlAnswers_.clear();
    numberAnswers_.clear();
    settledAt_ = now + memory_.settle;
    EndReading();
  }
  const bool settled = now >= settledAt_;
  if (settled) {
    const auto it = answers.find(key);
    if (it != answers.end() && now - it->second.asked < memory_.trust) {
      ++remembered_;
      if (it->second.found) current_ = it->second.record;
      return it->second.found ? 1 : 0;
    }
  }
  if (reading_ && now - readingSince_ >= memory_.trust) EndReading();
  if (settled && sharesReads_ && !reading_) BeginReading(now);
  const int found = query(key);
  if (settled) {
    if (answers.size() >= memory_.limit) answers.clear();
    answers.insert_or_assign(std::move(key),
                             Answer{found != 0, found != 0 ? current_ : Record{}, now});
  }
  return found;
}

void DiscCatalogue::Read(const Statement& statement, Record& record) {
  record.number = static_cast<DocumentNumber>(statement.Integer(0));
  record.url = statement.TextPointer(1);
  record.extension = statement.TextPointer(2);
  record.contentType = statement.TextPointer(3);
  record.redirectUrl = statement.TextPointer(4);
  record.staleAfter = ClampTime(statement.Integer(5));
  record.lastModified = ClampTime(statement.Integer(6));
}

int DiscCatalogue::Take(Statement& statement) {
  // A failed seek leaves the current record as it was.
  const bool found = statement.Step();
  if (found) Read(statement, current_);
  statement.Reset();
  return found ? 1 : 0;
}

bool DiscCatalogue::Exact(const std::string& url, Record& record) {
  byUrl_.BindUncopied(1, url);
  const bool found = byUrl_.Step();
  if (found) Read(byUrl_, record);
  byUrl_.Reset();
  return found;
}

int DiscCatalogue::SeekNumber(DocumentNumber number) {
  return Remembered(numberAnswers_, number,
                    [this](DocumentNumber asked) { return QueryNumber(asked); });
}

int DiscCatalogue::SeekUrl(const char* address) {
  return Remembered(urlAnswers_, std::string(address != nullptr ? address : ""),
                    [this](const std::string& asked) { return QueryUrl(asked.c_str()); });
}

int DiscCatalogue::QueryNumber(DocumentNumber number) {
  try {
    byNumber_.Bind(1, number);
    return Take(byNumber_);
  } catch (const SqliteError&) {
    byNumber_.Reset();
    return 0;  // the filter knows no errors: a catalogue it cannot read holds nothing
  }
}

int DiscCatalogue::QueryUrl(const char* address) {
  try {
    const std::string normalized = NormalizeAddress(address);
    byUrl_.BindUncopied(1, normalized);
    if (Take(byUrl_) != 0) return 1;
    if (Forgiving(normalized) != 0) return 1;
    // A folder asked for without its slash: sent to the slashed address, as a web server does.
    const std::string slashed = WithFolderSlash(normalized);
    if (slashed.empty()) return 0;
    byUrl_.BindUncopied(1, slashed);
    if (Take(byUrl_) == 0) return 0;
    current_.url = normalized;
    current_.redirectUrl = slashed;
    current_.extension.clear();
    current_.contentType.clear();
    current_.staleAfter = 0;
    current_.lastModified = 0;
    return 1;
  } catch (const SqliteError&) {
    byUrl_.Reset();
    variants_.Reset();
    return 0;
  }
}

// An address the disc does not hold as asked: the same one with cache-busting parameters
// ignored on both sides, then, for a page, the path alone when the disc holds no query of it
// (a site's search page saved once, asked with other words).
int DiscCatalogue::Forgiving(const std::string& normalized) {
  const std::string bare = WithoutCacheBusters(normalized);
  Record found;
  if (bare != normalized && Exact(bare, found)) {
    current_ = std::move(found);
    return 1;
  }
  const std::string path(WithoutQuery(normalized));
  variants_.Bind(1, path + "?").Bind(2, path + "@").Bind(3, kMostQueryVariants);
  bool anyQuery = false;
  bool matched = false;
  while (variants_.Step()) {
    anyQuery = true;
    if (WithoutCacheBusters(variants_.TextPointer(1)) == bare) {
      Read(variants_, found);
      matched = true;
      break;
    }
  }
  variants_.Reset();
  if (!matched && !anyQuery && path.size() != normalized.size() && Exact(path, found) &&
      found.extension == kPageExtension && found.redirectUrl.empty()) {
    matched = true;
  }
  if (matched) current_ = std::move(found);
  return matched ? 1 : 0;
}

namespace {
std::string RootPathOf(const fs::path& disc) {
  std::string root = fs::absolute(disc).lexically_normal().string();
  if (root.empty() || root.back() != '/') root.push_back('/');
  return root;
}
}  // namespace

fs::path DocumentFilePath(std::int64_t number, std::string_view extension) {
  char name[40];
  std::snprintf(name, sizeof name, "lum%05llx/lum%05llx",
                static_cast<unsigned long long>(number / 256),
                static_cast<unsigned long long>(number));
  std::string file = name;
  if (!extension.empty()) file.append(".").append(extension);
  return fs::path("docs") / file;
}

DiscLock::DiscLock(const fs::path& disc, Kind kind) {
  // A replacement renames the folder away: a lock taken on the old one is taken again.
  for (int attempt = 0; attempt < 8; ++attempt) {
    fd_ = ::open(disc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    if (::flock(fd_, kind == kServing ? LOCK_SH : LOCK_EX | LOCK_NB) != 0) {
      ::close(fd_);
      fd_ = -1;
      throw DiscError(disc.string() +
                      ": in use by another program (a quillon-proxy serving it): stop that first");
    }
    struct stat locked {
    }, named{};
    if (::fstat(fd_, &locked) == 0 && ::stat(disc.c_str(), &named) == 0 &&
        locked.st_ino == named.st_ino && locked.st_dev == named.st_dev) {
      return;
    }
    ::close(fd_);
    fd_ = -1;
  }
}

DiscLock::~DiscLock() {
  if (fd_ >= 0) ::close(fd_);
}

DiscViewer::DiscViewer(const fs::path& disc, std::int32_t mode, CatalogueMemory memory)
    : lock_(disc, DiscLock::kServing),
      rootPath_(RootPathOf(disc)),
      db_(OpenCatalogue(disc, false)),
      info_(ReadDiscInfo(*db_)),
      catalogue_(*db_, disc, memory),
      mode_(mode) {}

}  // namespace quillon::viewer
