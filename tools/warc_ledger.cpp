#include "warc_ledger.h"

#include <system_error>

namespace quillon::disc {

namespace fs = std::filesystem;
using viewer::Statement;

namespace {

// The ledger is scratch: no journal, no syncs. Its cache is bounded (KiB, as SQLite counts a
// negative size), so memory stays flat however large it grows.
constexpr const char kSchema[] = R"sql(
PRAGMA journal_mode = OFF;
PRAGMA synchronous = OFF;
PRAGMA cache_size = -4096;
PRAGMA temp_store = FILE;
CREATE TABLE payloads (id INTEGER PRIMARY KEY, file TEXT NOT NULL, size INTEGER NOT NULL,
  sha1 TEXT NOT NULL, extension TEXT NOT NULL, content_type TEXT NOT NULL,
  last_modified INTEGER NOT NULL, location TEXT NOT NULL, skipped TEXT NOT NULL);
CREATE TABLE keys (kind INTEGER NOT NULL, key TEXT NOT NULL, id INTEGER NOT NULL,
  PRIMARY KEY (kind, key)) WITHOUT ROWID;
CREATE TABLE originals (url TEXT PRIMARY KEY, date INTEGER NOT NULL, id INTEGER NOT NULL)
  WITHOUT ROWID;
CREATE TABLE latest (url TEXT PRIMARY KEY, date INTEGER NOT NULL, ord INTEGER NOT NULL,
  redirect INTEGER NOT NULL, payload INTEGER NOT NULL, location TEXT NOT NULL) WITHOUT ROWID;
CREATE TABLE pending (seq INTEGER PRIMARY KEY, url TEXT NOT NULL, date INTEGER NOT NULL,
  ord INTEGER NOT NULL, refers_to TEXT NOT NULL, refers_to_uri TEXT NOT NULL,
  refers_to_date TEXT NOT NULL, digest TEXT NOT NULL, record_id TEXT NOT NULL,
  date_key TEXT NOT NULL);
BEGIN;
)sql";

constexpr const char kCaptureColumns[] = "url, date, ord, redirect, payload, location";

Capture ReadCapture(const Statement& s, int from) {
  return {s.Integer(from), static_cast<std::uint64_t>(s.Integer(from + 1)),
          s.Integer(from + 2) != 0, s.Integer(from + 3), s.Text(from + 4)};
}

}  // namespace

struct Ledger::Statements {
  Statement addPayload, getPayload, fileKey, replaceKey, findKey, offerOriginal, findOriginal,
      offer, hasCapture, latest, makeRedirect, addPending, nextPending, dropPending, nextFolder;
  explicit Statements(const viewer::Database& db)
      : addPayload(db,
                   "INSERT INTO payloads (file, size, sha1, extension, content_type, "
                   "last_modified, location, skipped) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)"),
        getPayload(db,
                   "SELECT file, size, sha1, extension, content_type, last_modified, location, "
                   "skipped FROM payloads WHERE id = ?1"),
        fileKey(db, "INSERT OR IGNORE INTO keys (kind, key, id) VALUES (?1, ?2, ?3)"),
        replaceKey(db, "INSERT OR REPLACE INTO keys (kind, key, id) VALUES (?1, ?2, ?3)"),
        findKey(db, "SELECT id FROM keys WHERE kind = ?1 AND key = ?2"),
        offerOriginal(db,
                      "INSERT INTO originals (url, date, id) VALUES (?1, ?2, ?3) "
                      "ON CONFLICT (url) DO UPDATE SET date = excluded.date, id = excluded.id "
                      "WHERE excluded.date >= originals.date"),
        findOriginal(db, "SELECT id FROM originals WHERE url = ?1"),
        offer(db,
              "INSERT INTO latest (url, date, ord, redirect, payload, location) "
              "VALUES (?1, ?2, ?3, ?4, ?5, ?6) ON CONFLICT (url) DO UPDATE SET "
              "date = excluded.date, ord = excluded.ord, redirect = excluded.redirect, "
              "payload = excluded.payload, location = excluded.location "
              "WHERE excluded.date > latest.date OR "
              "(excluded.date = latest.date AND excluded.ord > latest.ord)"),
        hasCapture(db, "SELECT 1 FROM latest WHERE url = ?1"),
        latest(db, "SELECT date, ord, redirect, payload, location FROM latest WHERE url = ?1"),
        makeRedirect(db, "UPDATE latest SET redirect = 1, location = ?2 WHERE url = ?1"),
        addPending(db,
                   "INSERT INTO pending (url, date, ord, refers_to, refers_to_uri, "
                   "refers_to_date, digest, record_id, date_key) "
                   "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"),
        nextPending(db,
                    "SELECT seq, url, date, ord, refers_to, refers_to_uri, refers_to_date, "
                    "digest, record_id, date_key FROM pending WHERE seq > ?1 ORDER BY seq "
                    "LIMIT 1"),
        dropPending(db, "DELETE FROM pending WHERE seq = ?1"),
        nextFolder(db,
                   "SELECT url, date, ord, redirect, payload, location FROM latest "
                   "WHERE url > ?1 AND redirect = 0 AND url LIKE '%/' ORDER BY url LIMIT 1") {}
};

Ledger::Ledger(const fs::path& file) : file_(file) {
  std::error_code ignored;
  fs::remove(file_, ignored);
  db_ = std::make_unique<viewer::Database>(file_.string(),
                                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  db_->Execute(kSchema);
  statements_ = std::make_unique<Statements>(*db_);
}

Ledger::~Ledger() {
  statements_.reset();
  db_.reset();
  std::error_code ignored;
  fs::remove(file_, ignored);
}

std::int64_t Ledger::AddPayload(const Payload& payload) {
  Statement& add = statements_->addPayload;
  add.Bind(1, payload.file)
      .Bind(2, static_cast<std::int64_t>(payload.size))
      .Bind(3, payload.sha1)
      .Bind(4, payload.extension)
      .Bind(5, payload.contentType)
      .Bind(6, payload.lastModified)
      .Bind(7, payload.location)
      .Bind(8, payload.skipped);
  add.Step();
  add.Reset();
  return sqlite3_last_insert_rowid(db_->handle());
}

Payload Ledger::GetPayload(std::int64_t id) {
  Statement& get = statements_->getPayload;
  get.Bind(1, id);
  Payload payload;
  if (get.Step()) {
    payload = {get.Text(0), static_cast<std::uint64_t>(get.Integer(1)),
               get.Text(2), get.Text(3),
               get.Text(4), get.Integer(5),
               get.Text(6), get.Text(7)};
  }
  get.Reset();
  return payload;
}

void Ledger::File(Key kind, std::string_view key, std::int64_t id, bool replace) {
  if (key.empty()) return;
  Statement& file = replace ? statements_->replaceKey : statements_->fileKey;
  file.Bind(1, static_cast<std::int64_t>(kind)).Bind(2, key).Bind(3, id);
  file.Step();
  file.Reset();
}

std::optional<std::int64_t> Ledger::Find(Key kind, std::string_view key) {
  if (key.empty()) return std::nullopt;
  Statement& find = statements_->findKey;
  find.Bind(1, static_cast<std::int64_t>(kind)).Bind(2, key);
  std::optional<std::int64_t> id;
  if (find.Step()) id = find.Integer(0);
  find.Reset();
  return id;
}

void Ledger::OfferOriginal(std::string_view url, std::int64_t date, std::int64_t id) {
  Statement& offer = statements_->offerOriginal;
  offer.Bind(1, url).Bind(2, date).Bind(3, id);
  offer.Step();
  offer.Reset();
}

std::optional<std::int64_t> Ledger::FindOriginal(std::string_view url) {
  if (url.empty()) return std::nullopt;
  Statement& find = statements_->findOriginal;
  find.Bind(1, url);
  std::optional<std::int64_t> id;
  if (find.Step()) id = find.Integer(0);
  find.Reset();
  return id;
}

void Ledger::Offer(std::string_view url, const Capture& capture) {
  Statement& offer = statements_->offer;
  offer.Bind(1, url)
      .Bind(2, capture.date)
      .Bind(3, static_cast<std::int64_t>(capture.order))
      .Bind(4, std::int64_t{capture.redirect ? 1 : 0})
      .Bind(5, capture.payload)
      .Bind(6, capture.location);
  offer.Step();
  offer.Reset();
}

bool Ledger::HasCapture(std::string_view url) { return Latest(url).has_value(); }

std::optional<Capture> Ledger::Latest(std::string_view url) {
  Statement& latest = statements_->latest;
  latest.Bind(1, url);
  std::optional<Capture> capture;
  if (latest.Step()) capture = ReadCapture(latest, 0);
  latest.Reset();
  return capture;
}

void Ledger::MakeRedirect(std::string_view url, std::string_view location) {
  Statement& make = statements_->makeRedirect;
  make.Bind(1, url).Bind(2, location);
  make.Step();
  make.Reset();
}

void Ledger::AddPending(const Revisit& revisit) {
  Statement& add = statements_->addPending;
  add.Bind(1, revisit.url)
      .Bind(2, revisit.capture.date)
      .Bind(3, static_cast<std::int64_t>(revisit.capture.order))
      .Bind(4, revisit.refersTo)
      .Bind(5, revisit.refersToUri)
      .Bind(6, revisit.refersToDate)
      .Bind(7, revisit.digest)
      .Bind(8, revisit.recordId)
      .Bind(9, revisit.dateKey);
  add.Step();
  add.Reset();
}

void Ledger::ForEachPending(const std::function<bool(const Revisit&)>& resolve) {
  // One row at a time past the last seen: `resolve` writes to the ledger meanwhile.
  Statement& next = statements_->nextPending;
  for (std::int64_t after = -1;;) {
    next.Bind(1, after);
    if (!next.Step()) {
      next.Reset();
      return;
    }
    after = next.Integer(0);
    Revisit revisit{
        next.Text(1), {next.Integer(2), static_cast<std::uint64_t>(next.Integer(3)), false, -1, {}},
        next.Text(4), next.Text(5),
        next.Text(6), next.Text(7),
        next.Text(8), next.Text(9)};
    next.Reset();
    if (resolve(revisit)) {
      Statement& drop = statements_->dropPending;
      drop.Bind(1, after);
      drop.Step();
      drop.Reset();
    }
  }
}

std::size_t Ledger::PendingCount() {
  Statement count(*db_, "SELECT count(*) FROM pending");
  count.Step();
  return static_cast<std::size_t>(count.Integer(0));
}

bool Ledger::NextFolder(std::string& after, Capture& capture) {
  Statement& next = statements_->nextFolder;
  next.Bind(1, after);
  const bool found = next.Step();
  if (found) {
    after = next.Text(0);
    capture = ReadCapture(next, 1);
  }
  next.Reset();
  return found;
}

void Ledger::ForEachCapture(
    bool redirects, const std::function<void(const std::string& url, const Capture&)>& visit) {
  Statement all(*db_, (std::string("SELECT ") + kCaptureColumns +
                       " FROM latest WHERE redirect = ?1 ORDER BY url")
                          .c_str());
  all.Bind(1, std::int64_t{redirects ? 1 : 0});
  while (all.Step()) visit(all.Text(0), ReadCapture(all, 1));
}

std::size_t Ledger::CountCaptures(bool redirects) {
  Statement count(*db_, "SELECT count(*) FROM latest WHERE redirect = ?1");
  count.Bind(1, std::int64_t{redirects ? 1 : 0});
  count.Step();
  return static_cast<std::size_t>(count.Integer(0));
}

}  // namespace quillon::disc
