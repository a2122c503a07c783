#include "disc_builder.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <system_error>

#include "address.h"
#include "common/ascii.h"
#include "disc.h"
#include "names/document_name.h"
#include "search.h"
#include "warc_disc.h"

namespace quillon::disc {

namespace {

using viewer::Database;
using viewer::Statement;

// The extensions wget --adjust-extension adds by an answer's type, whatever the name was.
constexpr std::string_view kWgetTypeExtensions[] = {"html", "css"};

constexpr std::size_t kLongestUrl = 1023;
// The list of a mirror's files, in the disc being built while it is made.
constexpr const char kMirrorListFile[] =
    ".mirror-files.db";  // the filter reads addresses into 1024 bytes
constexpr std::size_t kMostDocuments = static_cast<std::size_t>(viewer::kHighestDocumentNumber) + 1;

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t ClampToHttpTime(std::int64_t t) {
  return std::clamp<std::int64_t>(t, 0, std::numeric_limits<std::int32_t>::max());
}

std::int64_t ModifiedTime(const fs::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) throw ToolError(file.string() + ": cannot read its time");
  return ClampToHttpTime(static_cast<std::int64_t>(info.st_mtime));
}

bool BrowserEscapes(unsigned char c) {
  return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>' || c == '`' || c == '{' ||
         c == '}' || c == '|' || c == '^' || c == '\\';
}

// A mirror's first level names hosts: "www.example.org", "localhost", "10.0.0.1:8080". A folder
// without a dot there ("en", "docs") means --from points one level too deep.
bool LooksLikeHost(std::string_view folder) {
  const std::string_view host = folder.substr(0, folder.rfind(':'));
  return host.find('.') != std::string_view::npos || AsciiEqualsIgnoreCase(host, "localhost");
}

std::vector<std::pair<std::string, std::string>> ReadRedirects(const fs::path& file) {
  std::ifstream in(file);
  if (!in) throw ToolError(file.string() + ": cannot read the redirects file");
  std::vector<std::pair<std::string, std::string>> redirects;
  std::string line;
  for (int lineNumber = 1; std::getline(in, line); ++lineNumber) {
    std::istringstream words(line);
    std::string from, to, more;
    if (!(words >> from) || from[0] == '#') continue;
    if (!(words >> to) || (words >> more)) {
      throw ToolError(file.string() + ":" + std::to_string(lineNumber) +
                      ": expected \"URL TARGET\"");
    }
    redirects.emplace_back(viewer::NormalizeAddress(from), to);
  }
  return redirects;
}

void CreateTables(Database& db, const std::string& title) {
  // No journal and no syncs while building: the finished disc is synced once, before its rename.
  // A larger page cache keeps the search index's pages from being written and read back.
  db.Execute(
      "PRAGMA page_size = 16384; PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; "
      "PRAGMA cache_size = -16384;");
  db.Execute(("PRAGMA application_id = " + std::to_string(viewer::kDiscApplicationId)).c_str());
  db.Execute(viewer::kDiscSchema);
  Statement info(db, "INSERT INTO disc (format_version, title, created) VALUES (?1, ?2, ?3)");
  info.Bind(1, viewer::kDiscFormatVersion).Bind(2, title).Bind(3, Now());
  info.Step();
}

DocumentRow ReadRow(const Statement& s) {
  return {s.Integer(0), s.Text(1), s.Text(2), s.Text(3), s.Text(4), s.Integer(5), s.Integer(6)};
}

const char kSelectAll[] =
    "SELECT number, url, extension, content_type, redirect_url, stale_after, last_modified "
    "FROM documents";

// A mirror's files, listed in a database of their own beside the disc being built: sorted and
// checked for addresses given twice there, so that memory stays flat however many there are.
class MirrorList {
 public:
  explicit MirrorList(const fs::path& file)
      : file_(file), db_(file.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) {
    db_.Execute(
        "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; "
        "CREATE TABLE files (url TEXT PRIMARY KEY, source TEXT NOT NULL, extension TEXT NOT NULL, "
        "size INTEGER NOT NULL, modified INTEGER NOT NULL) WITHOUT ROWID; BEGIN;");
  }
  ~MirrorList() {
    std::error_code ignored;
    fs::remove(file_, ignored);
  }
  MirrorList(const MirrorList&) = delete;
  MirrorList& operator=(const MirrorList&) = delete;

  void Scan(const fs::path& mirror, std::string_view scheme);
  std::size_t count() const { return count_; }
  // The files in address order: url, source, extension, size, modified.
  std::unique_ptr<Statement> InOrder() const {
    return std::make_unique<Statement>(
        db_, "SELECT url, source, extension, size, modified FROM files ORDER BY url");
  }
  std::unique_ptr<Statement> IndexPages() const {
    // "dir/index.html" also answers for "dir/".
    return std::make_unique<Statement>(
        db_, "SELECT url FROM files WHERE url LIKE '%/index.html' ORDER BY url");
  }

 private:
  fs::path file_;
  Database db_;
  std::size_t count_ = 0;
};

void MirrorList::Scan(const fs::path& mirror, std::string_view scheme) {
  std::error_code ec;
  if (!fs::is_directory(mirror, ec)) throw ToolError(mirror.string() + ": no such folder");
  std::set<std::string> hosts;
  Statement insert(db_,
                   "INSERT INTO files (url, source, extension, size, modified) "
                   "VALUES (?1, ?2, ?3, ?4, ?5)");
  for (auto it = fs::recursive_directory_iterator(mirror); it != fs::recursive_directory_iterator();
       ++it) {
    if (!it->is_regular_file()) continue;
    const fs::path relative = it->path().lexically_relative(mirror);
    if (std::distance(relative.begin(), relative.end()) < 2) {
      throw ToolError(it->path().string() + ": not under a host folder");
    }
    const std::string host = relative.begin()->string();
    if (hosts.insert(host).second && !LooksLikeHost(host)) {
      throw ToolError(mirror.string() + ": \"" + host +
                      "\" is not a host name; --from names the folder that holds the host "
                      "folders (host or host:port), as wget --mirror writes them");
    }
    const std::string url = viewer::NormalizeAddress(MirrorUrl(relative, scheme));
    insert.Bind(1, url)
        .Bind(2, it->path().string())
        .Bind(3, SplitMirrorName(relative.filename().string()).extension)
        .Bind(4, static_cast<std::int64_t>(it->file_size()))
        .Bind(5, ModifiedTime(it->path()));
    try {
      insert.Step();
    } catch (const viewer::SqliteError& e) {
      insert.Reset();
      if (e.code() != SQLITE_CONSTRAINT) throw;
      Statement other(db_, "SELECT source FROM files WHERE url = ?1");
      other.Bind(1, url);
      other.Step();
      throw ToolError(it->path().string() + ": answers for the same address as " + other.Text(0));
    }
    insert.Reset();
    if (++count_ > kMostDocuments) {
      throw ToolError(mirror.string() + ": more than " + std::to_string(kMostDocuments) +
                      " files, more than a disc can number");
    }
  }
  db_.Execute("COMMIT");
  if (count_ == 0) throw ToolError(mirror.string() + ": no files to put on a disc");
}

fs::path TemporarySibling(const fs::path& disc, const char* what) {
  std::random_device random;
  char suffix[32];
  std::snprintf(suffix, sizeof suffix, ".%s-%08x", what, random());
  return disc.parent_path() / (disc.filename().string() + suffix);
}

void CopyTree(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  if (!fs::is_directory(from, ec)) throw ToolError(from.string() + ": no such folder");
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

// Pages only: the search finds what a reader sees, not style sheets or pictures.
void IndexFile(Database& db, std::int64_t number, std::string_view extension,
               const fs::path& file) {
  if (FoldExtension(extension).extension != "htm") return;
  viewer::IndexPageFile(db, number, file);
}

}  // namespace

std::int64_t ParseDuration(std::string_view text) {
  std::int64_t value = 0;
  std::size_t i = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 100LL * 365 * 86400) throw ToolError("duration too long: " + std::string(text));
  }
  if (i == 0 || i + 1 != text.size()) {
    throw ToolError("bad duration \"" + std::string(text) + "\": a number and s, m, h or d");
  }
  switch (text[i]) {
    case 's':
      return value;
    case 'm':
      return value * 60;
    case 'h':
      return value * 3600;
    case 'd':
      return value * 86400;
    default:
      throw ToolError("bad duration \"" + std::string(text) + "\": a number and s, m, h or d");
  }
}

MirrorName SplitMirrorName(std::string_view fileName) {
  std::size_t query = fileName.find('?');
  if (query == std::string_view::npos) {
    // wget --restrict-file-names=windows writes '@' for the '?'.
    query = fileName.find('@');
    if (query != std::string_view::npos && fileName.find('=', query) == std::string_view::npos) {
      query = std::string_view::npos;
    }
  }
  const std::string_view base = fileName.substr(0, query);
  std::string extension = fs::path(base).extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  extension = AsciiLowered(extension);
  if (query == std::string_view::npos) return {std::string(fileName), extension};
  std::string_view rest = fileName.substr(query + 1);
  // wget --adjust-extension gives a file whose name does not end in its type's extension that
  // extension, and with a query the name ends in the query: "a.html?x=1.html",
  // "pydoctheme.css?2022.1.css", "page.php?id=3.html". The added extension is no part of the
  // address, and gives the type.
  const std::size_t dot = rest.rfind('.');
  if (dot != std::string_view::npos) {
    const std::string added = AsciiLowered(rest.substr(dot + 1));
    const bool byType = std::find(std::begin(kWgetTypeExtensions), std::end(kWgetTypeExtensions),
                                  added) != std::end(kWgetTypeExtensions);
    if (!added.empty() && (added == extension || byType)) {
      rest = rest.substr(0, dot);
      extension = added;
    }
  }
  return {std::string(base) + "?" + std::string(rest), extension};
}

std::string EscapedAddress(std::string_view address) {
  std::string out;
  out.reserve(address.size());
  for (unsigned char c : address) {
    if (c < 0x20 || c == 0x7F) return {};
    if (BrowserEscapes(c)) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

bool IsDiscAddress(std::string_view normalized) {
  return (normalized.starts_with("http://") || normalized.starts_with("https://")) &&
         normalized.size() <= kLongestUrl;
}

std::string MirrorUrl(const fs::path& relative, std::string_view scheme) {
  if (scheme != "http" && scheme != "https") {
    throw ToolError("scheme \"" + std::string(scheme) + "\": http or https");
  }
  auto part = relative.begin();
  std::string url = std::string(scheme) + "://" + AsciiLowered(part->string());
  for (++part; part != relative.end(); ++part) {
    url.push_back('/');
    const bool last = std::next(part) == relative.end();
    const std::string name = last ? SplitMirrorName(part->string()).name : part->string();
    const std::string escaped = EscapedAddress(name);
    if (escaped.empty() && !name.empty()) {
      throw ToolError(relative.string() + ": a file name with control characters has no address");
    }
    url += escaped;
  }
  if (url.size() > kLongestUrl) {
    throw ToolError(relative.string() + ": its address is longer than " +
                    std::to_string(kLongestUrl) + " bytes");
  }
  return url;
}

fs::path DocumentPath(std::int64_t number, std::string_view extension) {
  return viewer::DocumentFilePath(number, extension);
}

namespace {

using viewer::FileFacts;

// Reads a file once: its size and SHA-1.
FileFacts ReadFile(const fs::path& file) {
  try {
    return viewer::ReadFileFacts(file);
  } catch (const viewer::DiscError& e) {
    throw ToolError(e.what());
  }
}

bool HasFilesTable(const Database& db) {
  Statement query(db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'files'");
  return query.Step();
}

// Writes out everything cached for the file system holding `folder`: one sync for a whole disc
// rather than one a file.
void SyncFileSystem(const fs::path& folder) {
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) throw ToolError(folder.string() + ": " + std::strerror(errno));
  const bool failed = ::syncfs(fd) != 0;
  const int error = errno;
  ::close(fd);
  if (failed)
    throw ToolError(folder.string() + ": cannot be written (" + std::strerror(error) + ")");
}

}  // namespace

CreateSummary CreateDisc(const CreateOptions& options) {
  std::error_code ec;
  if (fs::exists(options.disc, ec) && !options.force) {
    throw ToolError(options.disc.string() + ": already exists (use --force to replace it)");
  }
  NewDisc made(options.disc);
  const bool fromWarc = !options.warcs.empty();
  const auto redirects = options.redirects ? ReadRedirects(*options.redirects)
                                           : std::vector<std::pair<std::string, std::string>>{};

  const fs::path& building = made.folder();
  std::unique_ptr<MirrorList> mirror;
  if (!fromWarc) {
    mirror = std::make_unique<MirrorList>(building / kMirrorListFile);
    mirror->Scan(options.mirror, options.scheme);
  }
  if (options.extra) CopyTree(*options.extra, building);

  CreateSummary summary;
  std::optional<WarcImport> imported;
  const fs::path stage = building / ".stage";
  if (fromWarc) {
    fs::create_directories(stage);
    imported.emplace(ReadWarcs(options.warcs, stage, options.onWarcProblem, options.progress));
    summary.warc = imported->summary;
    if (summary.warc.documents == 0 && summary.warc.redirects == 0) {
      throw ToolError("the archives hold no answer to put on a disc");
    }
    if (summary.warc.documents + summary.warc.redirects > kMostDocuments) {
      throw ToolError("more than " + std::to_string(kMostDocuments) +
                      " documents, more than a disc can number");
    }
  }
  {
    Database db((building / viewer::kCatalogueFile).string(),
                SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    CreateTables(db, options.title);
    viewer::CreateSearchTable(db);
    viewer::CatalogueWriter writer(db, building, {.bulk = true, .place = {}});
    writer.Begin();
    std::optional<CaptureTables> captures;
    if (fromWarc) captures.emplace(db);
    const std::int64_t staleAfter =
        options.staleAfter ? ClampToHttpTime(Now() + *options.staleAfter) : 0;
    auto addDocument = [&](const WarcEntry& entry, viewer::CatalogueWriter::Placing placing) {
      const viewer::FileFacts facts{entry.size, entry.sha1};
      const std::int64_t number = writer.AddDocument(
          {entry.url, {entry.extension, entry.contentType}, entry.lastModified, staleAfter},
          entry.staged, placing, entry.sha1.empty() ? nullptr : &facts);
      if (captures) captures->Add(number, entry.captured);
      summary.bytes += entry.size;
      ++summary.documents;
    };
    if (imported) {
      imported->ForEachDocument([&](const WarcEntry& entry) {
        addDocument(entry, viewer::CatalogueWriter::Placing::kRename);
      });
    }
    if (mirror) {
      // One file at a time, in address order, from the list: nothing held per file.
      const auto files = mirror->InOrder();
      while (files->Step()) {
        const FoldedType type = FoldExtension(files->TextPointer(2));
        addDocument(
            WarcEntry{files->Text(0), type.extension, type.contentType, "", files->Integer(4),
                      files->TextPointer(1), static_cast<std::uint64_t>(files->Integer(3)), 0, ""},
            viewer::CatalogueWriter::Placing::kCopy);
        if (options.progress) options.progress(summary.documents, mirror->count());
      }
    }

    auto addRedirect = [&](const std::string& from, const std::string& to) {
      if (writer.next() > viewer::kHighestDocumentNumber) {
        throw ToolError("more documents than a disc can number");
      }
      if (writer.Holds(from)) return false;
      const std::int64_t number = writer.AddRedirect(from, to);
      ++summary.redirects;
      return number >= 0;
    };
    if (imported) {
      imported->ForEachRedirect([&](const WarcEntry& entry) {
        if (addRedirect(entry.url, entry.redirectUrl)) {
          captures->Add(writer.next() - 1, entry.captured);
        }
      });
      captures->Add(imported->startPages);
    }
    if (mirror) {
      // A folder's index page also answers for the folder's own address.
      constexpr std::string_view kIndex = "/index.html";
      const auto pages = mirror->IndexPages();
      while (pages->Step()) {
        const std::string url = pages->Text(0);
        if (url.size() > kIndex.size() && url.ends_with(kIndex)) {
          addRedirect(url.substr(0, url.size() - kIndex.size() + 1), url);
        }
      }
    }
    for (const auto& [from, to] : redirects) {
      if (!addRedirect(from, to))
        throw ToolError(from + ": redirect for an address the disc holds");
    }
    writer.Finish();
    writer.Commit();
    db.Execute("PRAGMA journal_mode = WAL");
  }
  mirror.reset();
  imported.reset();
  if (fromWarc) fs::remove_all(stage);
  made.PutInPlace();
  return summary;
}

NewDisc::NewDisc(const fs::path& disc)
    : disc_(disc),
      replacing_(std::make_unique<viewer::DiscLock>(disc, viewer::DiscLock::kReplacing)) {
  building_ = TemporarySibling(disc, "building");
  fs::create_directories(building_ / "docs");
}

NewDisc::~NewDisc() {
  std::error_code ignored;
  if (!building_.empty()) fs::remove_all(building_, ignored);
}

void NewDisc::PutInPlace() {
  SyncFileSystem(building_);
  std::error_code ec;
  if (fs::exists(disc_, ec)) {
    const fs::path old = TemporarySibling(disc_, "replaced");
    fs::rename(disc_, old);
    fs::rename(building_, disc_);
    building_.clear();
    // The old disc is unlocked only once it is gone from the disc's name.
    replacing_.reset();
    fs::remove_all(old);
  } else {
    fs::rename(building_, disc_);
    building_.clear();
  }
}

WarcSummary AddFromWarc(const fs::path& disc, const std::vector<fs::path>& warcs,
                        const WarcProblemSink& onProblem,
                        const std::function<void(std::uint64_t, std::uint64_t)>& progress) {
  auto db = viewer::OpenCatalogue(disc, true);
  // Staged inside the disc folder, so that the files are renamed into place.
  const fs::path stage = TemporarySibling(disc / ".stage", "warc");
  struct Cleanup {
    fs::path path;
    ~Cleanup() {
      std::error_code ignored;
      fs::remove_all(path, ignored);
    }
  } cleanup{stage};
  fs::create_directories(stage);
  WarcImport imported = ReadWarcs(warcs, stage, onProblem, progress);
  WarcSummary summary = std::move(imported.summary);
  summary.documents = summary.redirects = 0;
  viewer::CatalogueWriter writer(*db, disc);
  try {
    writer.Begin();
    auto held = [&](const std::string& url) {
      const bool found = writer.Holds(url);
      if (found) ++summary.skipped["already on the disc"];
      return found;
    };
    CaptureTables captures(*db);
    captures.Add(imported.startPages);
    imported.ForEachDocument([&](const WarcEntry& entry) {
      if (held(entry.url)) return;
      const viewer::FileFacts facts{entry.size, entry.sha1};
      const std::int64_t number =
          writer.AddDocument({entry.url, {entry.extension, entry.contentType}, entry.lastModified},
                             entry.staged, viewer::CatalogueWriter::Placing::kRename, &facts);
      captures.Add(number, entry.captured);
      ++summary.documents;
    });
    imported.ForEachRedirect([&](const WarcEntry& entry) {
      if (held(entry.url)) return;
      captures.Add(writer.AddRedirect(entry.url, entry.redirectUrl), entry.captured);
      ++summary.redirects;
    });
    writer.Commit();
  } catch (const viewer::SqliteError& e) {
    writer.Rollback();
    throw ToolError(disc.string() + ": " + e.Explained());
  } catch (const viewer::DiscError& e) {
    writer.Rollback();
    throw ToolError(disc.string() + ": " + e.what());
  } catch (...) {
    writer.Rollback();
    throw;
  }
  return summary;
}

DocumentRow AddDocument(const fs::path& disc, const AddOptions& options) {
  const std::string url = viewer::NormalizeAddress(options.url);
  // The rules `check` holds a disc to, before anything is written.
  if (url.empty() || url.size() > kLongestUrl) {
    throw ToolError("an address of 1 to " + std::to_string(kLongestUrl) + " bytes is needed");
  }
  if (!IsDiscAddress(url)) throw ToolError(options.url + ": not an http:// or https:// address");
  if (!options.file && options.redirectUrl.empty()) {
    throw ToolError("a document needs a file or a redirect");
  }
  if (options.file && !options.redirectUrl.empty()) {
    throw ToolError("a document has a file or a redirect, not both");
  }
  std::error_code ec;
  if (options.file && !fs::is_regular_file(*options.file, ec)) {
    throw ToolError(options.file->string() + ": no such file");
  }
  auto db = viewer::OpenCatalogue(disc, true);
  viewer::CatalogueWriter writer(*db, disc);
  try {
    writer.Begin();
    if (writer.Holds(url)) throw ToolError(url + ": already on the disc");
    DocumentRow row;
    row.url = url;
    row.redirectUrl = options.redirectUrl;
    if (options.staleAfter) row.staleAfter = ClampToHttpTime(Now() + *options.staleAfter);
    if (writer.next() > viewer::kHighestDocumentNumber) throw ToolError("the disc is full");
    if (options.file) {
      std::string extension = options.file->extension().string();
      if (!extension.empty()) extension.erase(0, 1);
      const FoldedType type = FoldExtension(extension);
      row.extension = type.extension;
      row.contentType = options.contentType.empty() ? type.contentType : options.contentType;
      row.lastModified = ModifiedTime(*options.file);
      row.number = writer.AddDocument(
          {url, {row.extension, row.contentType}, row.lastModified, row.staleAfter}, *options.file,
          viewer::CatalogueWriter::Placing::kCopy);
    } else {
      row.number = writer.AddRedirect(url, row.redirectUrl, row.staleAfter);
    }
    writer.Commit();
    return row;
  } catch (const viewer::SqliteError& e) {
    writer.Rollback();
    throw ToolError(disc.string() + ": " + e.Explained());
  } catch (...) {
    writer.Rollback();
    throw;
  }
}

viewer::DiscInfo ReadDiscInformation(const fs::path& disc) {
  return viewer::ReadDiscInfo(*viewer::OpenCatalogue(disc, false));
}

std::size_t IndexDisc(const fs::path& disc) {
  auto db = viewer::OpenCatalogue(disc, true);
  try {
    db->Execute("BEGIN IMMEDIATE");
    viewer::CreateSearchTable(*db);
    db->Execute("DELETE FROM search");
    Statement pages(*db, "SELECT number, extension FROM documents WHERE redirect_url = ''");
    std::size_t indexed = 0;
    while (pages.Step()) {
      const std::int64_t number = pages.Integer(0);
      const std::string extension = pages.Text(1);
      if (extension != "htm") continue;
      IndexFile(*db, number, extension, disc / DocumentPath(number, extension));
      ++indexed;
    }
    viewer::OptimizeSearchTable(*db);
    db->Execute("COMMIT");
    return indexed;
  } catch (const viewer::SqliteError& e) {
    throw ToolError(disc.string() + ": " + e.Explained());
  }
}

std::vector<DocumentRow> ListDocuments(const fs::path& disc) {
  auto db = viewer::OpenCatalogue(disc, false);
  Statement all(*db, (std::string(kSelectAll) + " ORDER BY number").c_str());
  std::vector<DocumentRow> rows;
  while (all.Step()) rows.push_back(ReadRow(all));
  return rows;
}

std::optional<DocumentRow> FindDocument(const fs::path& disc, std::string_view urlOrNumber) {
  auto db = viewer::OpenCatalogue(disc, false);
  const bool isNumber = !urlOrNumber.empty() &&
                        std::all_of(urlOrNumber.begin(), urlOrNumber.end(),
                                    [](char c) { return c >= '0' && c <= '9'; }) &&
                        urlOrNumber.size() < 10;
  Statement query(
      *db,
      (std::string(kSelectAll) + (isNumber ? " WHERE number = ?1" : " WHERE url = ?1")).c_str());
  if (isNumber) {
    query.Bind(1, std::stoll(std::string(urlOrNumber)));
  } else {
    query.Bind(1, viewer::NormalizeAddress(urlOrNumber));
  }
  if (!query.Step()) return std::nullopt;
  return ReadRow(query);
}

std::vector<std::string> CheckDisc(const fs::path& disc, bool deep) {
  std::vector<std::string> problems;
  std::set<fs::path> expected;
  auto db = viewer::OpenCatalogue(disc, false);
  // With the size and digest recorded at build time, where the disc has them.
  Statement rows(*db, HasFilesTable(*db)
                          ? "SELECT d.number, d.url, d.extension, d.redirect_url, f.size, f.sha1 "
                            "FROM documents d LEFT JOIN files f ON f.number = d.number "
                            "ORDER BY d.number"
                          : "SELECT number, url, extension, redirect_url, NULL, NULL "
                            "FROM documents ORDER BY number");
  while (rows.Step()) {
    const std::int64_t number = rows.Integer(0);
    const std::string url = rows.Text(1);
    const std::string id = "document " + std::to_string(number) + " (" + url + ")";
    if (url.size() > kLongestUrl) problems.push_back(id + ": address too long");
    if (!url.starts_with("http://") && !url.starts_with("https://")) {
      problems.push_back(id + ": not an http:// or https:// address");
    }
    if (!rows.Text(3).empty()) continue;
    const fs::path file = DocumentPath(number, rows.Text(2));
    expected.insert(file);
    std::error_code ec;
    if (!fs::is_regular_file(disc / file, ec)) {
      problems.push_back(id + ": missing file " + file.string());
      continue;
    }
    const std::string recordedSha1 = rows.Text(5);
    if (recordedSha1.empty()) continue;  // nothing recorded to compare with
    const auto recordedSize = static_cast<std::uintmax_t>(rows.Integer(4));
    const std::uintmax_t size = fs::file_size(disc / file, ec);
    if (ec || size != recordedSize) {
      problems.push_back(id + ": " + file.string() + " has " + std::to_string(size) + " bytes, " +
                         std::to_string(recordedSize) + " recorded");
    } else if (deep && ReadFile(disc / file).sha1 != recordedSha1) {
      problems.push_back(id + ": " + file.string() + " differs from the recorded SHA-1");
    }
  }
  // Every file in a lum folder must be a document's, named as its number gives it.
  std::error_code ec;
  for (fs::directory_iterator folder(disc / "docs", ec), end; !ec && folder != end; ++folder) {
    const std::string name = folder->path().filename().string();
    if (name == "lummisc0" || name == "lumother" || !name.starts_with("lum")) continue;
    for (const auto& entry : fs::directory_iterator(folder->path())) {
      const fs::path relative = entry.path().lexically_relative(disc);
      if (expected.count(relative) == 0) {
        const DocumentNumber parsed = ParseDocumentNumber("/" + relative.generic_string());
        problems.push_back(relative.string() + (parsed < 0
                                                    ? ": not a document file name"
                                                    : ": no catalogue entry names this file"));
      }
    }
  }
  return problems;
}

}  // namespace quillon::disc
