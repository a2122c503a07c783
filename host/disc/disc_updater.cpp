#include "disc_updater.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <limits>
#include <utility>

#include "address.h"
#include "common/ascii.h"
#include "disc.h"
#include "platform/disc_open.h"
#include "search.h"

namespace quillon::host {

namespace fs = std::filesystem;

namespace {

namespace http = boost::beast::http;

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

// Byte-size units of --update-limit.
constexpr std::pair<std::string_view, std::uint64_t> kSizeUnits[] = {
    {"", 1},
    {"b", 1},
    {"k", 1ULL << 10},
    {"kib", 1ULL << 10},
    {"m", 1ULL << 20},
    {"mib", 1ULL << 20},
    {"g", 1ULL << 30},
    {"gib", 1ULL << 30},
    {"t", 1ULL << 40},
    {"tib", 1ULL << 40},
    {"kb", 1000ULL},
    {"mb", 1000ULL * 1000},
    {"gb", 1000ULL * 1000 * 1000},
    {"tb", 1000ULL * 1000 * 1000 * 1000},
};

// Leading decimal digits as a number, the text after them; nullopt without digits or on overflow.
std::optional<std::pair<std::uint64_t, std::string_view>> LeadingNumber(std::string_view text) {
  std::uint64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto digit = static_cast<std::uint64_t>(text[i] - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (i == 0) return std::nullopt;
  return std::pair{value, text.substr(i)};
}

constexpr bool IsTokenSpace(char c) { return c == ' ' || c == '\t'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsTokenSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsTokenSpace(text.back())) text.remove_suffix(1);
  return text;
}

// Whether any Cache-Control field of the head holds the directive (a name, with or without an
// argument; a comma inside a quoted argument separates nothing).
bool HasDirective(const Fields& head, std::string_view name) {
  const auto [first, last] = head.equal_range(http::field::cache_control);
  for (auto field = first; field != last; ++field) {
    const std::string_view value = field->value();
    std::size_t start = 0;
    bool quoted = false;
    for (std::size_t i = 0; i <= value.size(); ++i) {
      if (i < value.size()) {
        if (quoted && value[i] == '\\') {
          ++i;
          continue;
        }
        if (value[i] == '"') quoted = !quoted;
        if (quoted || value[i] != ',') continue;
      }
      const std::string_view directive = value.substr(start, i - start);
      if (AsciiEqualsIgnoreCase(Trimmed(directive.substr(0, directive.find('='))), name)) {
        return true;
      }
      start = i + 1;
    }
  }
  return false;
}

}  // namespace

std::optional<UpdateLimit> ParseUpdateLimit(std::string_view text) {
  const std::size_t comma = text.find(',');
  const auto pages = LeadingNumber(text.substr(0, comma));
  if (!pages || !pages->second.empty()) return std::nullopt;
  UpdateLimit limit;
  limit.pages = pages->first;
  if (comma == std::string_view::npos) return limit;
  const auto size = LeadingNumber(text.substr(comma + 1));
  if (!size) return std::nullopt;
  const std::string unit = AsciiLowered(size->second);
  for (const auto& [name, factor] : kSizeUnits) {
    if (unit != name) continue;
    if (size->first > std::numeric_limits<std::uint64_t>::max() / factor) return std::nullopt;
    limit.bytes = size->first * factor;
    return limit;
  }
  return std::nullopt;
}

bool MayShare(const RequestHead& request, const ResponseHead& answer) {
  if (request.count(http::field::cookie) > 0 || request.count(http::field::authorization) > 0 ||
      answer.count(http::field::set_cookie) > 0) {
    return false;
  }
  return !HasDirective(request, "no-store") && !HasDirective(answer, "no-store") &&
         !HasDirective(answer, "private");
}

std::optional<Coding> CodingOf(std::string_view contentEncoding) {
  const std::string_view name = Trimmed(contentEncoding);
  constexpr std::pair<std::string_view, Coding> kCodings[] = {
      {"", Coding::kIdentity},   {"identity", Coding::kIdentity}, {"gzip", Coding::kGzip},
      {"x-gzip", Coding::kGzip}, {"deflate", Coding::kDeflate},   {"br", Coding::kBrotli},
      {"zstd", Coding::kZstd},
  };
  for (const auto& [known, coding] : kCodings) {
    if (AsciiEqualsIgnoreCase(name, known)) return coding;
  }
  return std::nullopt;
}

std::string NewDocumentExtension(std::string_view contentType) {
  return viewer::TypeOfNetworkAnswer(contentType).extension;
}

namespace {

// Renames `from` to `relative` under `disc`, each folder on the way made or opened beneath the
// disc: a hostile disc's folder that is a link must not take the copy out of it. Throws on
// failure.
void PlaceBeneath(const fs::path& disc, const fs::path& from, const fs::path& relative) {
  const auto fail = [&](const char* what) {
    throw fs::filesystem_error(what, disc / relative,
                               std::error_code(errno, std::generic_category()));
  };
  int folder = ::open(disc.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) fail("cannot open the disc");
  fs::path reached;
  for (const fs::path& name : relative.parent_path()) {
    reached /= name;
    if (::mkdirat(folder, name.c_str(), 0755) != 0 && errno != EEXIST) {
      ::close(folder);
      fail("cannot make a folder of the disc");
    }
    ::close(folder);
    folder = platform::OpenBeneath(disc.string(), reached.string(), O_RDONLY | O_DIRECTORY);
    if (folder < 0) fail("a folder of the disc leads out of it");
  }
  const bool placed = ::renameat(AT_FDCWD, from.c_str(), folder, relative.filename().c_str()) == 0;
  ::close(folder);
  if (!placed) fail("cannot place the copy");
}

}  // namespace

DiscUpdater::Copy::~Copy() {
  if (fd_ >= 0) ::close(fd_);
  std::error_code ignored;
  if (!temporary_.empty()) fs::remove(temporary_, ignored);
}

void DiscUpdater::Copy::Drop(const char* why) {
  if (failed_) return;
  failed_ = true;
  std::fprintf(stderr, "quillon-proxy: --update-disc: %s is not stored: %s\n",
               LogEscape(url_).c_str(), why);
}

void DiscUpdater::Copy::Write(std::string_view data) {
  while (!data.empty() && !failed_) {
    const ssize_t n = ::write(fd_, data.data(), data.size());
    if (n <= 0) {
      Drop("its copy cannot be written");
      return;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

void DiscUpdater::Copy::Append(std::string_view data) {
  if (failed_) return;
  if (decoder_) {
    if (!decoder_->Feed(data, [this](std::string_view decoded) { Write(decoded); })) {
      Drop(decoder_->error());
    }
    size_ = decoder_->size();
    return;
  }
  size_ += data.size();
  if (size_ > kMostUpdateBytes) {
    Drop("it passes the size limit");
    return;
  }
  Write(data);
}

DiscUpdater::DiscUpdater(const fs::path& disc, bool addNewPages, UpdateLimit limit)
    : disc_(disc),
      addNewPages_(addNewPages),
      db_(viewer::OpenCatalogue(disc, true)),
      writer_(std::make_unique<viewer::CatalogueWriter>(
          *db_, disc,
          viewer::CatalogueWriter::Options{
              .bulk = false,
              .place = [disc](const fs::path& from,
                              const fs::path& relative) { PlaceBeneath(disc, from, relative); }})),
      limit_(limit) {
  RemoveUnfinished(disc_);
  fs::create_directories(disc_ / kUpdatesFolder);
  // A new page's file is renamed into place inside its transaction: a proxy killed before the
  // commit left the file of the next free number, which nothing names.
  const fs::path stray = viewer::DocumentFilePath(writer_->next(), "");
  std::error_code ec;
  for (fs::directory_iterator it(disc_ / stray.parent_path(), ec), end; !ec && it != end;
       it.increment(ec)) {
    if (it->path().stem() == stray.filename()) fs::remove(it->path(), ec);
  }
  viewer::Statement urls(*db_, "SELECT url FROM documents");
  while (urls.Step()) hosts_.insert(HostOf(urls.TextPointer(0)));
}

void DiscUpdater::RemoveUnfinished(const fs::path& disc) noexcept {
  // Copies a stopped proxy left unfinished are of no use, and would stay for good on a disc
  // served without --update-disc.
  std::error_code ignored;
  fs::remove_all(disc / kUpdatesFolder, ignored);
}

std::unique_ptr<DiscUpdater::Copy> DiscUpdater::Begin(std::string_view url,
                                                      const RequestHead& request,
                                                      const ResponseHead& answer) {
  // Codings given in several fields are stacked: CodingOf sees their comma and refuses them.
  std::string contentEncoding;
  for (const auto& field : answer) {
    if (field.name() != http::field::content_encoding) continue;
    if (!contentEncoding.empty()) contentEncoding += ',';
    contentEncoding += field.value();
  }
  const auto coding = CodingOf(contentEncoding);
  if (answer.result_int() != 200 || !coding || !MayShare(request, answer)) return nullptr;
  std::string normalized = viewer::NormalizeAddress(url);
  std::lock_guard lock(mutex_);
  try {
    viewer::Statement row(*db_, "SELECT redirect_url = '' FROM documents WHERE url = ?1");
    row.Bind(1, normalized);
    if (row.Step()) {
      if (row.Integer(0) == 0) return nullptr;  // a redirect entry
    } else if (!addNewPages_ || !hosts_.count(HostOf(normalized)) ||
               normalized.size() > kLongestDiscAddress || limitReached_) {
      return nullptr;  // an address the disc does not take
    }
  } catch (const viewer::SqliteError&) {
    return nullptr;
  }
  auto copy = std::make_unique<Copy>();
  copy->temporary_ = disc_ / kUpdatesFolder / ("copy-" + std::to_string(++copies_));
  copy->fd_ = ::open(copy->temporary_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (copy->fd_ < 0) return nullptr;
  copy->url_ = std::move(normalized);
  copy->contentType_ = answer[http::field::content_type];
  if (*coding != Coding::kIdentity) {
    copy->decoder_ = std::make_unique<BodyDecoder>(*coding, kMostUpdateBytes);
    if (copy->decoder_->error() != nullptr) return nullptr;
  }
  return copy;
}

bool DiscUpdater::Commit(Copy& copy) {
  if (copy.decoder_ && !copy.decoder_->Finished()) copy.Drop("its coded stream ends early");
  if (copy.failed_ || copy.fd_ < 0) return false;
  // The copy is whole on the disc before anything names it.
  const bool synced = ::fsync(copy.fd_) == 0;
  ::close(copy.fd_);
  copy.fd_ = -1;
  if (!synced) {
    std::fprintf(stderr, "quillon-proxy: %s was not put on the disc: %s\n",
                 LogEscape(copy.url_).c_str(), std::strerror(errno));
    return false;
  }
  std::lock_guard lock(mutex_);
  try {
    writer_->Begin();
    const auto known = writer_->FindDocument(copy.url_);
    if (known) {
      writer_->ReplaceDocument(*known, copy.temporary_, Now());
    } else {
      if (writer_->next() > viewer::kHighestDocumentNumber) {
        throw viewer::DiscError("the disc is full");
      }
      if (limitReached_ || newPages_ + 1 > limit_.pages || copy.size_ > limit_.bytes - newBytes_) {
        if (!limitReached_) {
          std::fprintf(stderr,
                       "quillon-proxy: --update-limit reached (%llu new pages, %llu bytes); no "
                       "more new pages are added in this run\n",
                       static_cast<unsigned long long>(newPages_),
                       static_cast<unsigned long long>(newBytes_));
        }
        limitReached_ = true;
        writer_->Rollback();
        return false;
      }
      writer_->AddDocument({copy.url_, viewer::TypeOfNetworkAnswer(copy.contentType_), Now(), 0},
                           copy.temporary_, viewer::CatalogueWriter::Placing::kRename);
    }
    copy.temporary_.clear();
    writer_->Commit();
    if (!known) {
      ++newPages_;
      newBytes_ += copy.size_;
    }
    return true;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "quillon-proxy: %s was not put on the disc: %s\n",
                 LogEscape(copy.url_).c_str(), error.what());
    writer_->Rollback();
    return false;
  }
}

}  // namespace quillon::host
