// A disc on Linux: a folder with catalogue.db (SQLite) and the documents' copies under docs/.
// DiscViewer plays the viewer's part for the filter: the catalogue, the root path and the mode.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "filter/viewer_link.h"
#include "folder_watch.h"
#include "sqlite.h"

namespace quillon::viewer {

inline constexpr int kDiscFormatVersion = 1;
inline constexpr std::int32_t kDiscApplicationId = 0x51554C4E;  // "QULN" in the file header
inline constexpr const char kCatalogueFile[] = "catalogue.db";
inline constexpr DocumentNumber kHighestDocumentNumber = 0xFFFFF;
// The extension an HTML page's copy has on a disc.
inline constexpr const char kPageExtension[] = "htm";

// A lookup that misses compares at most this many of the disc's queries of the asked path (the
// ones ignoring cache-busting parameters could match), which bounds its cost.
inline constexpr int kMostQueryVariants = 64;

// The start page lists at most this many of a crawl's start pages.
inline constexpr std::size_t kMostStartPages = 1000;

// A document's copy relative to the disc root: docs/lumFFFFF/lumNNNNN[.extension], the number
// and the number / 256 in five lower-case hexadecimal digits.
std::filesystem::path DocumentFilePath(std::int64_t number, std::string_view extension);

// The catalogue's tables, as `quillon-disc` creates them.
extern const char kDiscSchema[];

class DiscError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DiscInfo {
  int formatVersion = 0;
  std::string title;
  std::int64_t created = 0;
};

// A lock on the disc folder (flock): shared by every program serving the disc, exclusive while
// `quillon-disc create --force` replaces it. A disc being served is thus never replaced, and a
// server never opens one half replaced.
class DiscLock {
 public:
  enum Kind { kServing, kReplacing };
  // kServing waits for a replacement under way; kReplacing throws DiscError when the disc is
  // served. A disc folder that does not exist needs no lock.
  DiscLock(const std::filesystem::path& disc, Kind kind);
  ~DiscLock();
  DiscLock(const DiscLock&) = delete;
  DiscLock& operator=(const DiscLock&) = delete;

 private:
  int fd_ = -1;
};

// How a reader reaches the catalogue's pages. Lookups come back to the same pages, which a
// memory map serves without a system call each. A search ranks every match, so a fresh
// connection's first one touches thousands of pages once, and faulting them into a new map
// costs several times reading them.
enum class CatalogueReads { kMapped, kRead };

// Opens a disc's catalogue and checks that it is one: a missing, unreadable or foreign file is a
// DiscError naming the disc. `reads` applies to a reader; a writer reads pages.
std::unique_ptr<Database> OpenCatalogue(const std::filesystem::path& disc, bool writable,
                                        CatalogueReads reads = CatalogueReads::kMapped);
DiscInfo ReadDiscInfo(const Database& db);

// A page a crawl started from, as an import recorded it (the `start_pages` table).
struct StartPageLink {
  std::string url;
  std::string title;  // may be empty
};
// The first `limit` start pages in the crawl's order; none when the catalogue has no such table.
std::vector<StartPageLink> ReadStartPages(const Database& db, std::size_t limit);

// How the catalogue remembers its answers. Every lookup happens under the filter's one lock,
// so a SQLite query there (a read transaction, its file locks) held every other request up.
// A write to the disc's folder, by any process, forgets them all (noticed within `recheck`),
// and for `settle` afterwards lookups go to SQLite alone: a writer's last write to its journal
// can come before its commit is visible (a sync lies between them), and the pause lets it finish.
// `trust` bounds the age of an answer, and so what a sync slower than the pause could leave behind.
// The lookups that do reach SQLite share one read transaction, remembered the same way: begun
// once settled, ended by the first lookup after a change or once older than `trust`. Beginning
// one costs system calls (file locks, the map's size) that outweigh the query itself. While it
// is held a writer's checkpoint cannot go past it, so the -wal file may grow until the next
// lookup ends it. A catalogue in a rollback journal (a disc of the first builds) is read a
// query at a time: a held read there would keep every writer out.
struct CatalogueMemory {
  std::chrono::milliseconds settle{1000};
  std::chrono::milliseconds trust{5000};
  // How often the folder is asked whether it changed: a change is noticed by the first lookup
  // this long after it, not necessarily by the very next. Asking on every lookup cost a system
  // call inside the filter's one lock, which every request waits for.
  std::chrono::microseconds recheck{1000};
  std::size_t limit = 4096;  // answers per kind of lookup; past it they are all forgotten
};

// The catalogue over catalogue.db. The current record is held here, so the texts it returns stay
// valid until the next seek. Not thread-safe: the filter serialises its lookups.
class DiscCatalogue : public Catalogue {
 public:
  DiscCatalogue(const Database& db, const std::filesystem::path& disc, CatalogueMemory memory = {});
  ~DiscCatalogue();
  DiscCatalogue(const DiscCatalogue&) = delete;
  DiscCatalogue& operator=(const DiscCatalogue&) = delete;

  DocumentNumber GetNumber() override { return current_.number; }
  const char* GetUrl() override { return current_.url.c_str(); }
  const char* GetExtension() override { return current_.extension.c_str(); }
  const char* GetContentType() override { return current_.contentType.c_str(); }
  HttpTime GetStaleAfter() override { return current_.staleAfter; }
  HttpTime GetLastModified() override { return current_.lastModified; }
  const char* GetRedirectUrl() override { return current_.redirectUrl.c_str(); }
  int SeekNumber(DocumentNumber number) override;
  int SeekUrl(const char* address) override;

  std::uint64_t remembered() const { return remembered_; }  // seeks answered from memory
  std::chrono::microseconds recheck() const { return memory_.recheck; }

 private:
  struct Record {
    DocumentNumber number = 0;
    std::string url, extension, contentType, redirectUrl;
    HttpTime staleAfter = 0;
    HttpTime lastModified = 0;
  };
  struct Answer {
    bool found;
    Record record;
    std::chrono::steady_clock::time_point asked;
  };
  template <class Key, class Query>
  int Remembered(std::unordered_map<Key, Answer>& answers, Key key, Query query);
  static void Read(const Statement& statement, Record& record);
  int Take(Statement& statement);
  bool Exact(const std::string& url, Record& record);
  int QueryNumber(DocumentNumber number);
  int QueryUrl(const char* address);
  int Forgiving(const std::string& normalized);
  void BeginReading(std::chrono::steady_clock::time_point now);
  void EndReading();

  const Database& db_;
  Statement begin_;
  Statement commit_;
  bool sharesReads_;      // the catalogue is in WAL mode
  bool reading_ = false;  // the shared read transaction is open
  std::chrono::steady_clock::time_point readingSince_;
  Statement byNumber_;
  Statement byUrl_;
  Statement variants_;
  Record current_;
  FolderWatch watch_;
  CatalogueMemory memory_;
  std::chrono::steady_clock::time_point settledAt_;
  std::chrono::steady_clock::time_point watchedAt_;  // the folder was last asked
  std::unordered_map<std::string, Answer> urlAnswers_;
  std::unordered_map<DocumentNumber, Answer> numberAnswers_;
  std::uint64_t remembered_ = 0;
};

class DiscViewer : public ViewerServices, public CatalogueSource {
 public:
  explicit DiscViewer(const std::filesystem::path& disc, std::int32_t mode = 3,
                      CatalogueMemory memory = {});

  const char* GetRootPath() override { return rootPath_.c_str(); }
  CatalogueSource* GetCatalogueSource() override { return this; }
  std::int32_t GetMode() override { return mode_.load(std::memory_order_relaxed); }
  Catalogue* GetCatalogue() override { return &catalogue_; }
  const DiscCatalogue& catalogue() const { return catalogue_; }

  void SetMode(std::int32_t mode) { mode_.store(mode, std::memory_order_relaxed); }
  const DiscInfo& info() const { return info_; }

 private:
  DiscLock lock_;
  std::string rootPath_;  // absolute, with its trailing separator
  std::unique_ptr<Database> db_;
  DiscInfo info_;
  DiscCatalogue catalogue_;
  std::atomic<std::int32_t> mode_;
};

}  // namespace quillon::viewer
