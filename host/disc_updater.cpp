#include "disc_updater.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>

#include "address.h"
#include "common/ascii.h"
#include "disc.h"
#include "search.h"

namespace quillon::host {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHtmlType = "text/html";
constexpr std::size_t kLongestExtension = 8;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The scheme and host of an address ("https://host:port"): a site's pages over http:// and over
// https:// are two sites.
std::string HostOf(std::string_view url) {
  for (const std::string_view scheme : {"http://", "https://"}) {
    if (url.starts_with(scheme)) return std::string(url.substr(0, url.find('/', scheme.size())));
  }
  return {};
}

// The extension a new document is stored with: a page is "htm"; anything else keeps the
// extension of its address's last name, when it has a plain one.
std::string NewExtension(std::string_view url, std::string_view contentType) {
  if (StartsWithIgnoreCase(contentType, kHtmlType)) return "htm";
  url = url.substr(0, url.find_first_of("?#"));
  const std::string_view name = url.substr(url.rfind('/') + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  const std::string extension = AsciiLowered(name.substr(dot + 1));
  if (extension.size() > kLongestExtension ||
      extension.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") != std::string::npos) {
    return {};
  }
  return extension;
}

}  // namespace

DiscUpdater::Copy::~Copy() {
  if (fd_ >= 0) ::close(fd_);
  std::error_code ignored;
  if (!temporary_.empty()) fs::remove(temporary_, ignored);
}

void DiscUpdater::Copy::Append(std::string_view data) {
  if (failed_) return;
  size_ += data.size();
  if (size_ > kMostUpdateBytes) {
    failed_ = true;
    return;
  }
  while (!data.empty()) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n <= 0) {
      failed_ = true;
      return;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

DiscUpdater::DiscUpdater(const fs::path& disc, bool addNewPages)
    : disc_(disc), addNewPages_(addNewPages), db_(viewer::OpenCatalogue(disc, true)) {
  // Copies a killed proxy left unfinished are of no use.
  fs::remove_all(disc_ / kUpdatesFolder);
  fs::create_directories(disc_ / kUpdatesFolder);
  // A new page's file is renamed into place inside its transaction: a proxy killed before the
  // commit left the file of the next free number, which nothing names.
  viewer::Statement next(*db_, "SELECT COALESCE(MAX(number) + 1, 0) FROM documents");
  next.Step();
  const fs::path stray = viewer::DocumentFilePath(next.Integer(0), "");
  std::error_code ec;
  for (fs::directory_iterator it(disc_ / stray.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().stem() == stray.filename()) fs::remove(it->path(), ec);
  }
  viewer::Statement urls(*db_, "SELECT url FROM documents");
  while (urls.Step()) hosts_.insert(HostOf(urls.TextPointer(0)));
}

std::unique_ptr<DiscUpdater::Copy> DiscUpdater::Begin(std::string_view url, unsigned status,
                                                      std::string_view contentType,
                                                      std::string_view contentEncoding) {
  if (status != 200 || !(contentEncoding.empty() || contentEncoding == "identity")) return nullptr;
  std::string normalized = viewer::NormalizeAddress(url);
  std::lock_guard lock(mutex_);
  try {
    viewer::Statement row(*db_, "SELECT redirect_url = '' FROM documents WHERE url = ?1");
    row.Bind(1, normalized);
    if (row.Step() ? row.Integer(0) == 0 : !(addNewPages_ && hosts_.count(HostOf(normalized)))) {
      return nullptr;  // a redirect entry, or an address the disc does not take
    }
  } catch (const viewer::SqliteError&) {
    return nullptr;
  }
  auto copy = std::make_unique<Copy>();
  copy->temporary_ = disc_ / kUpdatesFolder / ("copy-" + std::to_string(++copies_));
  copy->fd_ = ::open(copy->temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (copy->fd_ < 0) return nullptr;
  copy->url_ = std::move(normalized);
  copy->contentType_ = contentType;
  return copy;
}

bool DiscUpdater::Commit(Copy& copy) {
  if (copy.failed_ || copy.fd_ < 0) return false;
  // The copy is whole on the disc before anything names it.
  const bool synced = ::fsync(copy.fd_) == 0;
  ::close(copy.fd_);
  copy.fd_ = -1;
  if (!synced) return false;
  std::lock_guard lock(mutex_);
  try {
    db_->Execute("BEGIN IMMEDIATE");
    viewer::Statement row(*db_,
                          "SELECT number, extension FROM documents WHERE url = ?1 AND "
                          "redirect_url = ''");
    row.Bind(1, copy.url_);
    std::int64_t number;
    std::string extension;
    const bool known = row.Step();
    if (known) {
      number = row.Integer(0);
      extension = row.Text(1);
    } else {
      viewer::Statement next(*db_, "SELECT COALESCE(MAX(number) + 1, 0) FROM documents");
      next.Step();
      number = next.Integer(0);
      if (number > viewer::kHighestDocumentNumber) throw viewer::DiscError("the disc is full");
      extension = NewExtension(copy.url_, copy.contentType_);
    }
    const fs::path target = disc_ / viewer::DocumentFilePath(number, extension);
    fs::create_directories(target.parent_path());
    fs::rename(copy.temporary_, target);
    copy.temporary_.clear();
    if (known) {
      viewer::Statement update(*db_, "UPDATE documents SET last_modified = ?2 WHERE number = ?1");
      update.Bind(1, number).Bind(2, Now());
      update.Step();
    } else {
      const std::string type = extension == "htm" ? std::string() : std::string(copy.contentType_);
      viewer::Statement insert(*db_,
                               "INSERT INTO documents (number, url, extension, content_type, "
                               "last_modified) VALUES (?1, ?2, ?3, ?4, ?5)");
      insert.Bind(1, number).Bind(2, copy.url_).Bind(3, extension).Bind(4, type).Bind(5, Now());
      insert.Step();
    }
    if (extension == "htm" && viewer::HasSearchTable(*db_)) {
      viewer::IndexPageFile(*db_, number, target);
    }
    db_->Execute("COMMIT");
    return true;
  } catch (const std::exception&) {
    try {
      db_->Execute("ROLLBACK");
    } catch (const viewer::SqliteError&) {
      // no transaction was open
    }
    return false;
  }
}

}  // namespace quillon::host
