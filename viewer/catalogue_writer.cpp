#include "catalogue_writer.h"

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <exception>
#include <fstream>
#include <mutex>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#include "address.h"
#include "common/ascii.h"
#include "disc.h"
#include "search.h"

namespace quillon::viewer {

namespace fs = std::filesystem;

namespace {

constexpr std::size_t kReadBlock = 256 * 1024;
// The longest extension an address's name gives a document; a longer "extension" is a name.
constexpr std::size_t kLongestAddressExtension = 8;
// FTS5's settings while a disc is made: no merging as the index grows (one at the end), and
// 8 MiB of new entries held before they are written as a segment rather than 1 MiB, which
// leaves an eighth of the segments to merge. Then FTS5's defaults again, for later additions.
constexpr int kBulkAutomerge = 0;
constexpr int kBulkHashBytes = 8 * 1024 * 1024;
constexpr int kDefaultAutomerge = 4;
constexpr int kDefaultHashBytes = 1024 * 1024;
// Pages read or indexed-to-be between the page thread and the writer while a disc is made: each
// holds at most kMostIndexedText of text (and the one being read up to kMostReadPage of HTML).
constexpr std::size_t kPagesInFlight = 8;
// HTML handed to the page thread in memory (a copied or written page's first kMostReadPage
// bytes) waits there up to this much; a page larger than the rest waits alone.
constexpr std::size_t kMostHtmlInFlight = 8 * 1024 * 1024;

void ConfigureSearch(Database& db, std::string_view setting, int value) {
  Statement set(db, "INSERT INTO search (search, rank) VALUES (?1, ?2)");
  set.Bind(1, setting).Bind(2, std::int64_t{value});
  set.Step();
}

struct TypeRow {
  std::string_view mediaType;
  std::string_view extension;
};

// The document types of the web by media type, with the extension each is stored with. The
// network's new documents are held to these (IsWebDocumentExtension): the launch route opens a
// disc file with the desktop's default action, so nothing that would run gets a name of its own.
constexpr TypeRow kWebTypes[] = {
    {"text/html", "htm"},
    {"application/xhtml+xml", "xhtml"},
    {"text/css", "css"},
    {"text/javascript", "js"},
    {"application/javascript", "js"},
    {"application/x-javascript", "js"},
    {"text/plain", "txt"},
    {"text/csv", "csv"},
    {"text/xml", "xml"},
    {"application/xml", "xml"},
    {"application/rss+xml", "xml"},
    {"application/atom+xml", "xml"},
    {"application/json", "json"},
    {"application/pdf", "pdf"},
    {"image/gif", "gif"},
    {"image/jpeg", "jpg"},
    {"image/pjpeg", "jpg"},
    {"image/png", "png"},
    {"image/webp", "webp"},
    {"image/avif", "avif"},
    {"image/svg+xml", "svg"},
    {"image/bmp", "bmp"},
    {"image/tiff", "tif"},
    {"image/x-icon", "ico"},
    {"image/vnd.microsoft.icon", "ico"},
    {"font/woff", "woff"},
    {"font/woff2", "woff2"},
    {"font/ttf", "ttf"},
    {"font/otf", "otf"},
    {"application/font-woff", "woff"},
    {"audio/mpeg", "mp3"},
    {"audio/ogg", "ogg"},
    {"audio/wav", "wav"},
    {"audio/x-wav", "wav"},
    {"audio/webm", "weba"},
    {"video/mp4", "mp4"},
    {"video/webm", "webm"},
    {"video/ogg", "ogv"},
    {"video/mpeg", "mpg"},
    {"application/zip", "zip"},
    {"application/gzip", "gz"},
    {"application/x-tar", "tar"},
};

// Types an archive may name that the filter's own table serves, beyond the web's: an archive's
// documents are the archive's, not the network's.
constexpr TypeRow kArchiveTypes[] = {
    {"video/avi", "avi"},          {"video/x-msvideo", "avi"}, {"video/quicktime", "mov"},
    {"application/msword", "doc"}, {"application/rtf", "rtf"},
};

// The filter's own table (responses/document_server.cpp): what it sends for its extensions,
// with the spellings that fold to them.
struct FilterRow {
  std::string_view extension;
  std::string_view folded;
  std::string_view contentType;
};
constexpr FilterRow kFilterTypes[] = {
    {"htm", "htm", "text/html"},
    {"html", "htm", "text/html"},
    {"txt", "txt", "text/plain"},
    {"gif", "gif", "image/gif"},
    {"jpg", "jpg", "image/jpeg"},
    {"jpeg", "jpg", "image/jpeg"},
    {"tif", "tif", "image/tiff"},
    {"tiff", "tif", "image/tiff"},
    {"wav", "wav", "audio/wav"},
    {"mpg", "mpg", "video/mpeg"},
    {"mpeg", "mpg", "video/mpeg"},
    {"avi", "avi", "video/avi"},
    {"mov", "mov", "video/quicktime"},
    {"pdf", "pdf", "application/pdf"},
    {"ppt", "ppt", "application/x-mspowerpoint"},
    {"doc", "doc", "application/msword"},
    {"rtf", "rtf", "application/rtf"},
    {"bmv", "bmv", "application/x-bmv"},
};

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The extension of an address's last name, lower case: letters and digits only, at most
// kLongestAddressExtension of them; empty when it has none.
std::string ExtensionOfAddress(std::string_view url) {
  const std::size_t scheme = url.find("://");
  std::string_view path = url.substr(scheme == std::string_view::npos ? 0 : scheme + 3);
  path = path.substr(0, path.find_first_of("?#"));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  const std::string_view name = path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size() ||
      name.size() - dot - 1 > kLongestAddressExtension) {
    return {};
  }
  const std::string_view extension = name.substr(dot + 1);
  for (char c : extension) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return {};
  }
  return AsciiLowered(extension);
}

std::string_view FilterContentType(std::string_view folded) {
  for (const FilterRow& row : kFilterTypes) {
    if (row.extension == folded) return row.contentType;
  }
  return {};
}

// The files of documents `first` to `end` (not included) whatever their extensions: each folder
// they lie in is listed once, a file's stem ("lum" and the number in hexadecimal) naming it.
void RemoveDocumentFiles(const fs::path& root, std::int64_t first, std::int64_t end) {
  constexpr std::int64_t kPerFolder = 256;  // the disc's layout: a folder per 256 numbers
  for (std::int64_t folderStart = first; folderStart < end;) {
    const std::int64_t folderEnd = std::min(end, (folderStart / kPerFolder + 1) * kPerFolder);
    const fs::path folder = (root / DocumentFilePath(folderStart, "")).parent_path();
    std::error_code ec;
    std::vector<fs::path> doomed;
    for (fs::directory_iterator it(folder, ec), stop; !ec && it != stop; it.increment(ec)) {
      const std::string stem = it->path().stem().string();
      if (!stem.starts_with("lum")) continue;
      char* parsed = nullptr;
      const long long number = std::strtoll(stem.c_str() + 3, &parsed, 16);
      if (*parsed == '\0' && number >= folderStart && number < folderEnd) {
        doomed.push_back(it->path());
      }
    }
    for (const fs::path& file : doomed) fs::remove(file, ec);
    folderStart = folderEnd;
  }
}

}  // namespace

DocumentType FoldExtension(std::string_view extension) {
  const std::string lowered = AsciiLowered(extension);
  for (const FilterRow& row : kFilterTypes) {
    if (row.extension == lowered) return {std::string(row.folded), ""};
  }
  if (lowered.empty()) return {"", ""};
  return {lowered, std::string(ContentTypeOf(lowered))};
}

DocumentType TypeOfAnswer(std::string_view contentType, std::string_view url) {
  std::string_view type = Trimmed(contentType);
  if (HasControlCharacter(type) || type.size() > 255) type = {};
  const std::string media = AsciiLowered(Trimmed(type.substr(0, type.find(';'))));
  std::string_view named;
  for (const auto& table :
       {std::span<const TypeRow>(kWebTypes), std::span<const TypeRow>(kArchiveTypes)}) {
    for (const TypeRow& row : table) {
      if (row.mediaType == media) named = row.extension;
    }
  }
  const DocumentType folded =
      FoldExtension(named.empty() ? ExtensionOfAddress(url) : std::string(named));
  if (type.empty()) return folded;
  const std::string_view filterType = FilterContentType(folded.extension);
  if (!filterType.empty() && AsciiEqualsIgnoreCase(type, filterType)) {
    return {folded.extension, ""};
  }
  return {folded.extension, std::string(type)};
}

bool IsWebDocumentExtension(std::string_view extension) {
  return std::any_of(std::begin(kWebTypes), std::end(kWebTypes),
                     [&](const TypeRow& row) { return row.extension == extension; });
}

DocumentType TypeOfNetworkAnswer(std::string_view contentType) {
  DocumentType type = TypeOfAnswer(contentType, {});
  if (!IsWebDocumentExtension(type.extension)) type.extension = kOpaqueExtension;
  return type;
}

struct Sha1Hex::State {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context{EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free};
};

Sha1Hex::Sha1Hex() : state_(std::make_unique<State>()) {
  if (!state_->context || EVP_DigestInit_ex(state_->context.get(), EVP_sha1(), nullptr) != 1) {
    throw DiscError("SHA-1 is not available");
  }
}

Sha1Hex::~Sha1Hex() = default;

void Sha1Hex::Update(std::string_view data) {
  EVP_DigestUpdate(state_->context.get(), data.data(), data.size());
}

std::string Sha1Hex::Finish() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(state_->context.get(), digest, &length);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text.push_back(kHex[digest[i] >> 4]);
    text.push_back(kHex[digest[i] & 15]);
  }
  return text;
}

FileFacts ReadFileFacts(const fs::path& file, const fs::path* copy, std::string* page) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw DiscError(file.string() + ": cannot read it");
  std::ofstream out;
  if (copy != nullptr) {
    out.open(*copy, std::ios::binary | std::ios::trunc);
    if (!out) throw DiscError(copy->string() + ": cannot write it");
  }
  Sha1Hex sha1;
  FileFacts facts;
  // Not zeroed: it is read into before it is read.
  const auto block = std::make_unique_for_overwrite<char[]>(kReadBlock);
  while (in) {
    in.read(block.get(), static_cast<std::streamsize>(kReadBlock));
    const auto got = static_cast<std::size_t>(in.gcount());
    sha1.Update(std::string_view(block.get(), got));
    if (copy != nullptr) out.write(block.get(), static_cast<std::streamsize>(got));
    if (page != nullptr && page->size() < kMostReadPage) {
      page->append(block.get(), std::min(got, kMostReadPage - page->size()));
    }
    facts.size += got;
  }
  if (in.bad()) throw DiscError(file.string() + ": cannot read it");
  if (copy != nullptr && !out.flush()) throw DiscError(copy->string() + ": cannot write it");
  facts.sha1 = sha1.Finish();
  return facts;
}

// Pages read and their text extracted on a thread of their own, in the order they came, while
// the writer's thread puts rows and text in the catalogue (SQLite's connection stays on it).
class CatalogueWriter::PageTexts {
 public:
  struct Page {
    std::int64_t number = 0;
    std::filesystem::path file;  // read when `html` is empty
    std::string html;
    PageText text{};
    std::exception_ptr error{};
  };

  PageTexts() : thread_([this] { Run(); }) {}
  ~PageTexts() {
    {
      const std::lock_guard lock(mutex_);
      stop_ = true;
    }
    work_.notify_one();
    thread_.join();
  }
  PageTexts(const PageTexts&) = delete;
  PageTexts& operator=(const PageTexts&) = delete;

  // Queues a page; while kPagesInFlight wait, hands the oldest finished one to `index` first.
  template <typename Index>
  void Submit(Page page, Index&& index) {
    while (true) {
      std::unique_lock lock(mutex_);
      if (inFlight_ == 0 ||
          (inFlight_ < kPagesInFlight && htmlBytes_ + page.html.size() <= kMostHtmlInFlight)) {
        htmlBytes_ += page.html.size();
        waiting_.push_back(std::move(page));
        ++inFlight_;
        // A wake-up is a system call: only for a thread that sleeps.
        const bool wake = threadIdle_;
        lock.unlock();
        if (wake) work_.notify_one();
        return;
      }
      TakeOne(lock, index);
    }
  }

  // Hands every page still in flight to `index`, in order.
  template <typename Index>
  void Drain(Index&& index) {
    std::unique_lock lock(mutex_);
    while (inFlight_ > 0) TakeOne(lock, index);
  }

 private:
  template <typename Index>
  void TakeOne(std::unique_lock<std::mutex>& lock, Index& index) {
    writerWaits_ = true;
    done_.wait(lock, [&] { return !finished_.empty(); });
    writerWaits_ = false;
    Page page = std::move(finished_.front());
    finished_.pop_front();
    --inFlight_;
    lock.unlock();
    if (page.error) std::rethrow_exception(page.error);
    index(page);
    lock.lock();
  }

  void Run() {
    std::unique_lock lock(mutex_);
    while (true) {
      threadIdle_ = true;
      work_.wait(lock, [&] { return stop_ || !waiting_.empty(); });
      threadIdle_ = false;
      if (stop_) return;
      Page page = std::move(waiting_.front());
      waiting_.pop_front();
      lock.unlock();
      try {
        page.text = page.html.empty() ? ReadPageText(page.file) : ExtractPageText(page.html);
      } catch (...) {
        page.error = std::current_exception();
      }
      const std::size_t held = page.html.size();
      page.html = std::string();
      lock.lock();
      htmlBytes_ -= held;
      finished_.push_back(std::move(page));
      if (writerWaits_) done_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_, done_;  // for the page thread, for the writer
  bool threadIdle_ = false, writerWaits_ = false;
  std::deque<Page> waiting_, finished_;
  std::size_t inFlight_ = 0;   // waiting, being read, or finished and not yet indexed
  std::size_t htmlBytes_ = 0;  // of the HTML handed over in memory, not yet extracted
  bool stop_ = false;
  std::thread thread_;  // last: it starts on the members above
};

struct CatalogueWriter::Statements {
  Statement insert;
  std::unique_ptr<Statement> record;  // a disc of the first builds has no files table
  Statement held;
  Statement document;
  Statement touch;
  std::unique_ptr<PageIndexer> pages;  // with a search table
  Statements(Database& db, bool recorded, bool indexed)
      : insert(db,
               "INSERT INTO documents (number, url, extension, content_type, redirect_url, "
               "stale_after, last_modified) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"),
        record(recorded ? std::make_unique<Statement>(
                              db,
                              "INSERT OR REPLACE INTO files (number, size, sha1) "
                              "VALUES (?1, ?2, ?3)")
                        : nullptr),
        held(db, "SELECT 1 FROM documents WHERE url = ?1"),
        document(db,
                 "SELECT number, extension FROM documents WHERE url = ?1 AND redirect_url = ''"),
        touch(db, "UPDATE documents SET last_modified = ?2 WHERE number = ?1"),
        pages(indexed ? std::make_unique<PageIndexer>(db) : nullptr) {}
};

CatalogueWriter::CatalogueWriter(Database& db, fs::path root, Options options)
    : db_(db), root_(std::move(root)), options_(std::move(options)) {
  indexed_ = HasSearchTable(db_);
  bool recorded = false;
  {
    Statement files(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'files'");
    recorded = files.Step();
  }
  statements_ = std::make_unique<Statements>(db_, recorded, indexed_);
  if (options_.bulk && indexed_) texts_ = std::make_unique<PageTexts>();
  ReadNext();
}

void CatalogueWriter::ReadNext() {
  Statement highest(db_, "SELECT COALESCE(MAX(number) + 1, 0) FROM documents");
  highest.Step();
  next_ = highest.Integer(0);
  firstAdded_ = next_;
}

CatalogueWriter::~CatalogueWriter() = default;

void CatalogueWriter::Begin() {
  db_.Execute("BEGIN IMMEDIATE");
  // Another program may have added documents since: numbers are taken inside the transaction.
  ReadNext();
  if (options_.bulk && indexed_) {
    ConfigureSearch(db_, "automerge", kBulkAutomerge);
    ConfigureSearch(db_, "hashsize", kBulkHashBytes);
  }
}

void CatalogueWriter::Commit() {
  IndexWaitingPages();
  db_.Execute("COMMIT");
  firstAdded_ = next_;
}

void CatalogueWriter::Rollback() noexcept {
  if (texts_) {
    try {
      texts_->Drain([](const PageTexts::Page&) {});
    } catch (...) {
      // the rows it was for go too
    }
  }
  try {
    db_.Execute("ROLLBACK");
  } catch (const SqliteError&) {
    // no transaction was open
  }
  // The files the rolled-back rows named are nobody's now.
  RemoveDocumentFiles(root_, firstAdded_, next_);
  next_ = firstAdded_;
}

bool CatalogueWriter::Holds(std::string_view url) {
  Statement& held = statements_->held;
  held.Bind(1, url);
  const bool found = held.Step();
  held.Reset();
  return found;
}

std::optional<CatalogueWriter::Held> CatalogueWriter::FindDocument(std::string_view url) {
  Statement& document = statements_->document;
  document.Bind(1, url);
  std::optional<Held> found;
  if (document.Step()) found = Held{document.Integer(0), document.Text(1)};
  document.Reset();
  return found;
}

std::int64_t CatalogueWriter::Take() {
  if (next_ > kHighestDocumentNumber) throw DiscError("the disc is full");
  return next_++;
}

void CatalogueWriter::Place(const fs::path& from, const fs::path& relative) {
  if (options_.place) return options_.place(from, relative);
  const fs::path target = root_ / relative;
  MakeFolderOf(target);
  fs::rename(from, target);
}

void CatalogueWriter::IndexPage(std::int64_t number, const fs::path& file, std::string html) {
  if (texts_) {
    texts_->Submit(
        {.number = number, .file = file, .html = std::move(html)},
        [&](const PageTexts::Page& page) { statements_->pages->Add(page.number, page.text); });
  } else if (html.empty()) {
    statements_->pages->AddFile(number, file);
  } else {
    statements_->pages->Add(number, ExtractPageText(html));
  }
}

void CatalogueWriter::IndexWaitingPages() {
  if (!texts_) return;
  texts_->Drain(
      [&](const PageTexts::Page& page) { statements_->pages->Add(page.number, page.text); });
}

void CatalogueWriter::MakeFolderOf(const fs::path& target) {
  if (target.parent_path() == lastFolder_) return;
  fs::create_directories(target.parent_path());
  lastFolder_ = target.parent_path();
}

FileFacts CatalogueWriter::PlaceAndRead(std::int64_t number, std::string_view extension,
                                        const fs::path& file, Placing placing,
                                        const FileFacts* facts) {
  const fs::path relative = DocumentFilePath(number, extension);
  const fs::path target = root_ / relative;
  const bool page = indexed_ && extension == kPageExtension;
  std::string text;
  FileFacts read;
  if (placing == Placing::kCopy) {
    MakeFolderOf(target);
    read = ReadFileFacts(file, &target, page ? &text : nullptr);
  } else {
    Place(file, relative);
    if (facts != nullptr) {
      // Hashed while staged: only a page's text is read back.
      if (page) IndexPage(number, target, {});
      return *facts;
    }
    read = ReadFileFacts(target, nullptr, page ? &text : nullptr);
  }
  // An empty page has no text: read again from its (empty) file, it gives none either.
  if (page) IndexPage(number, target, std::move(text));
  return read;
}

void CatalogueWriter::Record(std::int64_t number, const FileFacts& facts) {
  if (!statements_->record) return;
  Statement& record = *statements_->record;
  record.Bind(1, number).Bind(2, static_cast<std::int64_t>(facts.size)).Bind(3, facts.sha1);
  record.Step();
  record.Reset();
}

void CatalogueWriter::Insert(std::int64_t number, const NewDocument& document) {
  Statement& insert = statements_->insert;
  insert.Bind(1, number)
      .Bind(2, document.url)
      .Bind(3, document.type.extension)
      .Bind(4, document.type.contentType)
      .Bind(5, std::string_view(""))
      .Bind(6, document.staleAfter)
      .Bind(7, document.lastModified);
  insert.Step();
  insert.Reset();
}

std::int64_t CatalogueWriter::AddDocument(const NewDocument& document, const fs::path& file,
                                          Placing placing, const FileFacts* facts) {
  const std::int64_t number = Take();
  // The file is in place before the row that names it.
  const FileFacts placed = PlaceAndRead(number, document.type.extension, file, placing, facts);
  Insert(number, document);
  Record(number, placed);
  return number;
}

std::int64_t CatalogueWriter::AddDocument(const NewDocument& document, const Pieces& pieces,
                                          FileFacts* written) {
  const std::int64_t number = Take();
  const fs::path target = root_ / DocumentFilePath(number, document.type.extension);
  MakeFolderOf(target);
  const bool page = indexed_ && document.type.extension == kPageExtension;
  std::string html;
  Sha1Hex sha1;
  FileFacts facts;
  {
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    if (!out) throw DiscError(target.string() + ": cannot write it");
    for (std::string_view piece = pieces(); !piece.empty(); piece = pieces()) {
      out.write(piece.data(), static_cast<std::streamsize>(piece.size()));
      sha1.Update(piece);
      if (page && html.size() < kMostReadPage) {
        html.append(piece.substr(0, kMostReadPage - html.size()));
      }
      facts.size += piece.size();
    }
    if (!out.flush()) throw DiscError(target.string() + ": cannot write it");
  }
  facts.sha1 = sha1.Finish();
  if (page) IndexPage(number, target, std::move(html));
  Insert(number, document);
  Record(number, facts);
  if (written != nullptr) *written = std::move(facts);
  return number;
}

std::int64_t CatalogueWriter::AddRedirect(std::string_view url, std::string_view target,
                                          std::int64_t staleAfter) {
  const std::int64_t number = Take();
  Statement& insert = statements_->insert;
  insert.Bind(1, number)
      .Bind(2, url)
      .Bind(3, std::string_view(""))
      .Bind(4, std::string_view(""))
      .Bind(5, target)
      .Bind(6, staleAfter)
      .Bind(7, std::int64_t{0});
  insert.Step();
  insert.Reset();
  return number;
}

void CatalogueWriter::ReplaceDocument(const Held& held, const fs::path& file,
                                      std::int64_t lastModified) {
  const FileFacts placed =
      PlaceAndRead(held.number, held.extension, file, Placing::kRename, nullptr);
  Statement& touch = statements_->touch;
  touch.Bind(1, held.number).Bind(2, lastModified);
  touch.Step();
  touch.Reset();
  // The update dropped the files row (a trigger): the new copy's is recorded.
  Record(held.number, placed);
}

void CatalogueWriter::Finish() {
  if (!indexed_) return;
  IndexWaitingPages();
  OptimizeSearchTable(db_);
  if (options_.bulk) {
    // Later additions (an `add`, the proxy's updates) merge as they go again.
    ConfigureSearch(db_, "automerge", kDefaultAutomerge);
    ConfigureSearch(db_, "hashsize", kDefaultHashBytes);
  }
}

}  // namespace quillon::viewer
