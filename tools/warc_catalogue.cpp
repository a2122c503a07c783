// What a WARC import hands the catalogue: its entries read back from the ledger in address
// order, and the tables of its own (capture dates, start pages).
#include <string>
#include <vector>

#include "warc_disc.h"
#include "warc_ledger.h"

namespace quillon::disc {

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

}  // namespace

WarcImport::WarcImport(std::unique_ptr<Ledger> ledger, fs::path stage)
    : ledger_(std::move(ledger)), stage_(std::move(stage)) {}
WarcImport::~WarcImport() = default;
WarcImport::WarcImport(WarcImport&&) noexcept = default;
WarcImport& WarcImport::operator=(WarcImport&&) noexcept = default;

void WarcImport::ForEachDocument(const std::function<void(const WarcEntry&)>& visit) {
  // A bit a payload: which have gone to an address already.
  std::vector<bool> used;
  std::size_t copies = 0;
  ledger_->ForEachCapture(false, [&](const std::string& url, const Capture& capture) {
    const Payload payload = ledger_->GetPayload(capture.payload);
    WarcEntry entry{url,
                    payload.extension,
                    payload.contentType,
                    "",
                    payload.lastModified,
                    stage_ / payload.file,
                    payload.size,
                    capture.date / kNanosPerSecond,
                    payload.sha1};
    const auto id = static_cast<std::size_t>(capture.payload);
    if (used.size() <= id) used.resize(id + 1, false);
    if (used[id]) {
      // One payload for several addresses (revisits, identical answers): a file for each.
      entry.staged = stage_ / ("copy-" + std::to_string(copies++));
      fs::copy_file(stage_ / payload.file, entry.staged);
    }
    used[id] = true;
    visit(entry);
  });
}

void WarcImport::ForEachRedirect(const std::function<void(const WarcEntry&)>& visit) {
  ledger_->ForEachCapture(true, [&](const std::string& url, const Capture& capture) {
    WarcEntry entry;
    entry.url = url;
    entry.redirectUrl = capture.location;
    entry.captured = capture.date / kNanosPerSecond;
    visit(entry);
  });
}

CaptureTables::CaptureTables(viewer::Database& db) : db_(db) {
  db_.Execute(
      "CREATE TABLE IF NOT EXISTS captures (number INTEGER PRIMARY KEY, captured INTEGER NOT NULL);"
      "CREATE TABLE IF NOT EXISTS start_pages (url TEXT PRIMARY KEY, title TEXT NOT NULL DEFAULT "
      "'');");
  capture_ = std::make_unique<viewer::Statement>(
      db_, "INSERT OR REPLACE INTO captures (number, captured) VALUES (?1, ?2)");
}

CaptureTables::~CaptureTables() = default;

void CaptureTables::Add(std::int64_t number, std::int64_t captured) {
  if (captured <= 0) return;
  capture_->Bind(1, number).Bind(2, captured);
  capture_->Step();
  capture_->Reset();
}

void CaptureTables::Add(const std::vector<StartPage>& pages) {
  viewer::Statement insert(db_, "INSERT OR IGNORE INTO start_pages (url, title) VALUES (?1, ?2)");
  for (const StartPage& page : pages) {
    insert.Bind(1, page.url).Bind(2, page.title);
    insert.Step();
    insert.Reset();
  }
}

}  // namespace quillon::disc
