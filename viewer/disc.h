// A disc on Linux: a folder with catalogue.db (SQLite) and the documents' copies under docs/.
// DiscViewer plays the viewer's part for the filter: the catalogue, the root path and the mode.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

#include "filter/viewer_link.h"
#include "sqlite.h"

namespace quillon::viewer {

inline constexpr int kDiscFormatVersion = 1;
inline constexpr std::int32_t kDiscApplicationId = 0x51554C4E;  // "QULN" in the file header
inline constexpr const char kCatalogueFile[] = "catalogue.db";
inline constexpr DocumentNumber kHighestDocumentNumber = 0xFFFFF;

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

// Opens a disc's catalogue and checks that it is one: a missing, unreadable or foreign file is a
// DiscError naming the disc.
std::unique_ptr<Database> OpenCatalogue(const std::filesystem::path& disc, bool writable);
DiscInfo ReadDiscInfo(const Database& db);

// The catalogue over catalogue.db. The current record is held here, so the texts it returns stay
// valid until the next seek. Not thread-safe: the filter serialises its lookups.
class DiscCatalogue : public Catalogue {
 public:
  explicit DiscCatalogue(const Database& db);

  DocumentNumber GetNumber() override { return number_; }
  const char* GetUrl() override { return url_.c_str(); }
  const char* GetExtension() override { return extension_.c_str(); }
  const char* GetContentType() override { return contentType_.c_str(); }
  HttpTime GetStaleAfter() override { return staleAfter_; }
  HttpTime GetLastModified() override { return lastModified_; }
  const char* GetRedirectUrl() override { return redirectUrl_.c_str(); }
  int SeekNumber(DocumentNumber number) override;
  int SeekUrl(const char* address) override;

 private:
  int Take(Statement& statement);

  Statement byNumber_;
  Statement byUrl_;
  DocumentNumber number_ = 0;
  std::string url_, extension_, contentType_, redirectUrl_;
  HttpTime staleAfter_ = 0;
  HttpTime lastModified_ = 0;
};

class DiscViewer : public ViewerServices, public CatalogueSource {
 public:
  explicit DiscViewer(const std::filesystem::path& disc, std::int32_t mode = 3);

  const char* GetRootPath() override { return rootPath_.c_str(); }
  CatalogueSource* GetCatalogueSource() override { return this; }
  std::int32_t GetMode() override { return mode_.load(std::memory_order_relaxed); }
  Catalogue* GetCatalogue() override { return &catalogue_; }

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
