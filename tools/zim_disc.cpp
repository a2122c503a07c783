#include "zim_disc.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zim/archive.h>
#include <zim/entry.h>
#include <zim/error.h>
#include <zim/item.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <set>

#include "address.h"
#include "common/ascii.h"
#include "disc.h"
#include "search.h"
#include "warc_disc.h"

namespace quillon::disc {

namespace {

using viewer::Database;
using viewer::Statement;

constexpr std::size_t kLongestHost = 253;
constexpr std::size_t kLongestUrl = 1023;
// A document is copied out of the archive in pieces of this size.
constexpr std::uint64_t kPiece = 1024 * 1024;
// Metadata read whole (Title, Name, Source, Date) longer than this is taken as absent.
constexpr std::uint64_t kLongestMetadata = 4096;
// Old-scheme namespaces that hold no pages: metadata, title indexes, the full-text index.
constexpr std::string_view kUnservedNamespaces = "MXZ";

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IsLabelByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Lower case, bytes a label cannot hold made '-', no hyphen at either end, at most 63 bytes.
std::string AsLabel(std::string_view text) {
  std::string label;
  for (unsigned char c : text) {
    const auto lower = static_cast<unsigned char>(AsciiLower(static_cast<char>(c)));
    label.push_back(IsLabelByte(lower) ? static_cast<char>(lower) : '-');
  }
  if (label.size() > kLongestLabel) label.resize(kLongestLabel);
  const auto first = label.find_first_not_of('-');
  if (first == std::string::npos) return "";
  return label.substr(first, label.find_last_not_of('-') - first + 1);
}

// The host of "scheme://[user@]host[:port]/...", lower case; empty when there is none.
std::string HostOfAddress(std::string_view address) {
  const auto scheme = address.find("://");
  if (scheme == std::string_view::npos) return "";
  std::string_view rest = address.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  rest = rest.substr(0, rest.find(':'));
  std::string host;
  for (char c : rest) host.push_back(AsciiLower(c));
  if (!host.empty() && host.back() == '.') host.pop_back();
  return host;
}

// Every failure of libzim, whatever it throws, as a ZimError naming the file; the importer's
// own errors pass as they are.
template <typename F>
auto FromZim(const fs::path& file, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const ToolError&) {
    throw;
  } catch (const viewer::SqliteError&) {
    throw;
  } catch (const std::exception& e) {
    throw ZimError(file.string() + ": damaged ZIM file: " + e.what());
  }
}

// A metadata value, or empty when the archive has none (or one too long to be what it names).
std::string Metadata(const zim::Archive& archive, const std::string& name) {
  try {
    const zim::Item item = archive.getMetadataItem(name);
    if (item.getSize() > kLongestMetadata) return "";
    return std::string(item.getData());
  } catch (const zim::EntryNotFound&) {
    return "";
  }
}

// SHA-1 of what passes through, in lower-case hexadecimal, as the `files` table records it.
class Sha1 {
 public:
  Sha1() : context_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha1(), nullptr) != 1) {
      throw ToolError("SHA-1 is not available");
    }
  }
  void Update(std::string_view data) { EVP_DigestUpdate(context_.get(), data.data(), data.size()); }
  std::string Hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context_.get(), digest, &length);
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < length; ++i) {
      hex.push_back(kHex[digest[i] >> 4]);
      hex.push_back(kHex[digest[i] & 15]);
    }
    return hex;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context_;
};

// The pieces of one document's bytes, one after another; an empty piece ends them.
using Pieces = std::function<std::string_view()>;

// The one place a ZIM import writes a disc: the catalogue rows, the files under docs/, the search
// text. Everything between construction and Commit() is one transaction; the files of an
// import that does not commit are removed.
class ZimCatalogue {
 public:
  ZimCatalogue(Database& db, fs::path root) : db_(db), root_(std::move(root)) {
    db_.Execute("BEGIN IMMEDIATE");
    Statement next(db_, "SELECT COALESCE(MAX(number) + 1, 0) FROM documents");
    next.Step();
    first_ = next_ = next.Integer(0);
    indexed_ = viewer::HasSearchTable(db_);
    Statement files(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'files'");
    if (files.Step()) {
      record_ = std::make_unique<Statement>(
          db_, "INSERT OR REPLACE INTO files (number, size, sha1) VALUES (?1, ?2, ?3)");
    }
  }
  ~ZimCatalogue() {
    if (committed_) return;
    try {
      db_.Execute("ROLLBACK");
    } catch (const std::exception&) {
      // The transaction is gone with the failure that brought us here.
    }
    RemoveFilesFrom(first_);
  }
  ZimCatalogue(const ZimCatalogue&) = delete;
  ZimCatalogue& operator=(const ZimCatalogue&) = delete;

  bool Holds(const std::string& url) {
    held_.Bind(1, url);
    const bool found = held_.Step();
    held_.Reset();
    return found;
  }

  void SetTitle(const std::string& title) {
    Statement set(db_, "UPDATE disc SET title = ?1");
    set.Bind(1, title).Step();
  }

  // Writes the bytes to the document's file, then its rows; returns the bytes written.
  std::uint64_t AddDocument(const std::string& url, const FoldedType& type,
                            std::int64_t lastModified, const Pieces& pieces) {
    const std::int64_t number = Take();
    const fs::path target = root_ / DocumentPath(number, type.extension);
    if (folders_.insert(target.parent_path()).second) fs::create_directories(target.parent_path());
    const bool isPage = type.extension == viewer::kPageExtension;
    std::string page;
    Sha1 sha1;
    std::uint64_t size = 0;
    {
      std::unique_ptr<std::FILE, decltype(&std::fclose)> out(std::fopen(target.c_str(), "wb"),
                                                             std::fclose);
      if (!out) throw ToolError(target.string() + ": " + std::strerror(errno));
      for (std::string_view piece = pieces(); !piece.empty(); piece = pieces()) {
        if (std::fwrite(piece.data(), 1, piece.size(), out.get()) != piece.size()) {
          throw ToolError(target.string() + ": " + std::strerror(errno));
        }
        sha1.Update(piece);
        if (isPage && page.size() < viewer::kMostReadPage) {
          page.append(piece.substr(0, viewer::kMostReadPage - page.size()));
        }
        size += piece.size();
      }
      if (std::fclose(out.release()) != 0) {
        throw ToolError(target.string() + ": " + std::strerror(errno));
      }
    }
    Insert(number, url, type.extension, type.contentType, "", lastModified);
    if (record_) {
      record_->Bind(1, number).Bind(2, static_cast<std::int64_t>(size)).Bind(3, sha1.Hex());
      record_->Step();
      record_->Reset();
    }
    if (isPage && indexed_) viewer::IndexPage(db_, number, viewer::ExtractPageText(page));
    return size;
  }

  void AddRedirect(const std::string& url, const std::string& target) {
    Insert(Take(), url, "", "", target, 0);
  }

  void AddStartPage(const std::string& url, const std::string& title) {
    CaptureTables tables(db_);
    tables.Add({StartPage{url, title}});
  }

  void Commit() {
    db_.Execute("COMMIT");
    committed_ = true;
  }

 private:
  std::int64_t Take() {
    if (next_ > viewer::kHighestDocumentNumber) throw ToolError("the disc is full");
    return next_++;
  }

  void Insert(std::int64_t number, const std::string& url, const std::string& extension,
              const std::string& contentType, const std::string& redirect,
              std::int64_t lastModified) {
    insert_.Bind(1, number)
        .Bind(2, url)
        .Bind(3, extension)
        .Bind(4, contentType)
        .Bind(5, redirect)
        .Bind(6, std::int64_t{0})
        .Bind(7, lastModified);
    insert_.Step();
    insert_.Reset();
  }

  // The files numbered from `first` on: those of this import, which no row names any more.
  void RemoveFilesFrom(std::int64_t first) {
    std::error_code ec;
    for (const fs::path& folder : folders_) {
      for (fs::directory_iterator file(folder, ec), end; !ec && file != end; file.increment(ec)) {
        const std::string stem = file->path().stem().string();
        const long number =
            stem.starts_with("lum") ? std::strtol(stem.c_str() + 3, nullptr, 16) : -1;
        if (number >= first) fs::remove(file->path(), ec);
      }
    }
  }

  Database& db_;
  fs::path root_;
  Statement insert_{db_,
                    "INSERT INTO documents (number, url, extension, content_type, redirect_url, "
                    "stale_after, last_modified) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"};
  Statement held_{db_, "SELECT 1 FROM documents WHERE url = ?1"};
  std::unique_ptr<Statement> record_;
  std::int64_t first_ = 0, next_ = 0;
  bool indexed_ = false;
  bool committed_ = false;
  std::set<fs::path> folders_;
};

// Opens the archive and checks what can be checked before anything is read from it.
std::unique_ptr<zim::Archive> OpenZim(const ZimOptions& options) {
  std::error_code ec;
  const fs::path path = ZimOpenPath(options.zim);
  if (!fs::exists(path, ec) && !fs::exists(path.string() + "aa", ec)) {
    throw ToolError(options.zim.string() + ": no such file");
  }
  return FromZim(options.zim, [&] {
    auto archive = std::make_unique<zim::Archive>(path.string());
    // Pointers out of range make libzim read past its tables: refused before any entry is read.
    for (const auto check : {zim::IntegrityCheck::DIRENT_PTRS, zim::IntegrityCheck::CLUSTER_PTRS,
                             zim::IntegrityCheck::DIRENT_MIMETYPES}) {
      if (!archive->checkIntegrity(check)) {
        throw ZimError(options.zim.string() + ": damaged ZIM file: " +
                       (check == zim::IntegrityCheck::DIRENT_PTRS ? "entry pointers out of range"
                        : check == zim::IntegrityCheck::CLUSTER_PTRS
                            ? "cluster pointers out of range"
                            : "bad MIME type numbers"));
      }
    }
    if (options.verify && !archive->check()) {
      throw ZimError(options.zim.string() + (archive->hasChecksum()
                                                 ? ": damaged ZIM file: the checksum does not match"
                                                 : ": the ZIM file has no checksum to verify"));
    }
    return archive;
  });
}

// The entry a redirect chain ends at; throws for a loop.
zim::Entry Followed(const zim::Archive& archive, zim::Entry entry) {
  for (int hops = 0; entry.isRedirect(); ++hops) {
    if (hops == kMostMainRedirects) throw ZimError("the main page's redirects go round in a loop");
    entry = archive.getEntryByPath(entry.getRedirectEntryIndex());
  }
  return entry;
}

void Import(const zim::Archive& archive, ZimCatalogue& catalogue, const ZimOptions& options,
            ZimSummary& summary, bool setTitle) {
  const bool newNamespaces = archive.hasNewNamespaceScheme();
  const std::int64_t date = ParseZimDate(Metadata(archive, "Date"));
  summary.title = Metadata(archive, "Title");
  if (summary.host.empty()) {
    summary.host = ZimHost(Metadata(archive, "Source"), Metadata(archive, "Name"),
                           options.zim.stem().string());
  }
  if (setTitle) catalogue.SetTitle(options.title.empty() ? summary.title : options.title);
  const std::uint64_t total = archive.getEntryCount();
  std::string buffer;
  for (const zim::Entry& entry : archive.iterByPath()) {
    ++summary.entries;
    if (options.progress) options.progress(summary.entries, total);
    const std::string path = entry.getPath();
    if (!IsServedZimPath(path, newNamespaces)) {
      ++summary.skipped["metadata or index"];
      continue;
    }
    const std::string url = ZimAddress(summary.host, path);
    if (url.empty()) {
      ++summary.skipped["address a disc cannot hold"];
      continue;
    }
    if (catalogue.Holds(url)) {
      ++summary.skipped["already on the disc"];
      continue;
    }
    if (entry.isRedirect()) {
      const std::string target =
          ZimAddress(summary.host, archive.getEntryByPath(entry.getRedirectEntryIndex()).getPath());
      if (target.empty()) {
        ++summary.skipped["address a disc cannot hold"];
        continue;
      }
      catalogue.AddRedirect(url, target);
      ++summary.redirects;
      continue;
    }
    const zim::Item item = entry.getItem();
    const std::uint64_t size = item.getSize();
    std::uint64_t offset = 0;
    zim::Blob piece;
    summary.bytes += catalogue.AddDocument(
        url, TypeOfAnswer(ZimContentType(item.getMimetype()), url), date, [&] {
          if (offset >= size) return std::string_view();
          const std::uint64_t length = std::min(kPiece, size - offset);
          piece = item.getData(offset, length);
          if (piece.size() != length) throw ZimError("an entry's data is cut short");
          offset += length;
          return std::string_view(piece.data(), piece.size());
        });
    ++summary.documents;
  }
  if (archive.hasMainEntry()) {
    const std::string main =
        ZimAddress(summary.host, Followed(archive, archive.getMainEntry()).getPath());
    const std::string root = "http://" + summary.host + "/";
    if (!main.empty() && catalogue.Holds(main)) {
      catalogue.AddStartPage(main, summary.title);
      if (!catalogue.Holds(root)) {
        catalogue.AddRedirect(root, main);
        ++summary.redirects;
      }
    }
  }
}

fs::path TemporarySibling(const fs::path& disc, const char* what) {
  std::random_device random;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%s-%08x", what, random());
  return disc.parent_path() / (disc.filename().string() + suffix);
}

void SyncFileSystem(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw ToolError(folder.string() + ": " + std::strerror(errno));
  const bool failed = ::syncfs(fd) != 0;
  ::close(fd);
  if (failed) throw ToolError(folder.string() + ": cannot be written");
}

}  // namespace

bool IsDnsName(std::string_view host) {
  if (host.empty() || host.size() > kLongestHost) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, dot - start);
    if (label.empty() || label.size() > kLongestLabel || label.front() == '-' ||
        label.back() == '-') {
      return false;
    }
    for (char c : label) {
      if (!IsLabelByte(static_cast<unsigned char>(AsciiLower(c)))) return false;
    }
    if (dot == host.size()) return true;
    start = dot + 1;
  }
}

std::string ZimHost(std::string_view source, std::string_view name, std::string_view fallback) {
  const std::string fromSource = HostOfAddress(source);
  if (IsDnsName(fromSource)) return fromSource;
  std::string label = AsLabel(name);
  if (label.empty()) label = AsLabel(fallback);
  if (label.empty()) label = "archive";
  return label + "." + std::string(kZimTopLabel);
}

bool IsServedZimPath(std::string_view path, bool newNamespaces) {
  if (path.empty()) return false;
  if (newNamespaces) return true;
  return !(path.size() >= 2 && path[1] == '/' &&
           kUnservedNamespaces.find(path[0]) != std::string_view::npos);
}

std::string ZimAddress(std::string_view host, std::string_view path) {
  std::string raw;
  for (char c : path) {
    if (c == '%') {
      raw += "%25";
    } else if (c == '?') {
      raw += "%3F";
    } else if (c == '#') {
      raw += "%23";
    } else {
      raw.push_back(c);
    }
  }
  const std::string escaped = EscapedAddress(raw);
  if (escaped.empty() && !raw.empty()) return "";
  const std::string url = viewer::NormalizeAddress("http://" + std::string(host) + "/" + escaped);
  return url.size() > kLongestUrl ? "" : url;
}

std::string ZimContentType(std::string_view mimeType) {
  std::string type(mimeType);
  if (StartsWithIgnoreCase(type, "text/") &&
      AsciiLowered(type).find("charset") == std::string::npos) {
    type += "; charset=utf-8";
  }
  return type;
}

std::int64_t ParseZimDate(std::string_view date) {
  using namespace std::chrono;
  int y = 0;
  unsigned m = 0, d = 0;
  char tail = 0;
  const std::string text(date);
  if (std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &y, &m, &d, &tail) != 3) return 0;
  const year_month_day ymd{year{y}, month{m}, day{d}};
  if (!ymd.ok() || y < 1970 || y > 2037) return 0;
  return sys_days{ymd}.time_since_epoch() / seconds{1};
}

fs::path ZimOpenPath(const fs::path& file) {
  const std::string name = file.string();
  std::error_code ec;
  if (name.ends_with(".zimaa")) {
    const fs::path base = name.substr(0, name.size() - 2);
    if (!fs::exists(base, ec)) return base;
  }
  return file;
}

ZimSummary CreateFromZim(const fs::path& disc, const ZimOptions& options) {
  if (!options.host.empty() && !IsDnsName(options.host)) {
    throw ToolError(options.host + ": not a valid host name");
  }
  std::error_code ec;
  if (fs::exists(disc, ec) && !options.force) {
    throw ToolError(disc.string() + ": already exists (use --force to replace it)");
  }
  const auto archive = OpenZim(options);
  auto replacing = std::make_unique<viewer::DiscLock>(disc, viewer::DiscLock::kReplacing);
  const fs::path building = TemporarySibling(disc, "building");
  struct Cleanup {
    fs::path path;
    ~Cleanup() {
      std::error_code ignored;
      if (!path.empty()) fs::remove_all(path, ignored);
    }
  } cleanup{building};
  fs::create_directories(building / "docs");
  ZimSummary summary;
  summary.host = AsciiLowered(options.host);
  {
    Database db((building / viewer::kCatalogueFile).string(),
                SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    // No journal and no syncs while building: the finished disc is synced once, before its rename.
    db.Execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -24576;");
    db.Execute(("PRAGMA application_id = " + std::to_string(viewer::kDiscApplicationId)).c_str());
    db.Execute(viewer::kDiscSchema);
    Statement info(db, "INSERT INTO disc (format_version, title, created) VALUES (?1, '', ?2)");
    info.Bind(1, viewer::kDiscFormatVersion).Bind(2, Now()).Step();
    viewer::CreateSearchTable(db);
    ZimCatalogue catalogue(db, building);
    FromZim(options.zim, [&] { Import(*archive, catalogue, options, summary, true); });
    if (summary.documents + summary.redirects == 0) {
      throw ToolError(options.zim.string() + ": no entries to put on a disc");
    }
    catalogue.Commit();
    viewer::OptimizeSearchTable(db);
    db.Execute("PRAGMA journal_mode = WAL");
  }
  SyncFileSystem(building);
  if (fs::exists(disc, ec)) {
    const fs::path old = TemporarySibling(disc, "replaced");
    fs::rename(disc, old);
    fs::rename(building, disc);
    cleanup.path.clear();
    replacing.reset();
    fs::remove_all(old);
  } else {
    fs::rename(building, disc);
  }
  cleanup.path.clear();
  return summary;
}

ZimSummary AddFromZim(const fs::path& disc, const ZimOptions& options) {
  if (!options.host.empty() && !IsDnsName(options.host)) {
    throw ToolError(options.host + ": not a valid host name");
  }
  const auto archive = OpenZim(options);
  auto db = viewer::OpenCatalogue(disc, true);
  ZimSummary summary;
  summary.host = AsciiLowered(options.host);
  try {
    ZimCatalogue catalogue(*db, disc);
    FromZim(options.zim, [&] { Import(*archive, catalogue, options, summary, false); });
    catalogue.Commit();
  } catch (const viewer::SqliteError& e) {
    throw ToolError(disc.string() + ": " + e.Explained());
  }
  return summary;
}

}  // namespace quillon::disc
