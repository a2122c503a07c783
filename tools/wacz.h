// WACZ files, the ZIP packaging browser-based crawlers write: WARC files under archive/, the
// crawl's start pages in pages/pages.jsonl, a datapackage.json. Read member by member as
// streams, never extracted.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "warc.h"

typedef struct zip zip_t;
typedef struct zip_file zip_file_t;

namespace quillon::wacz {

// A pages.jsonl line longer than this is passed over: no line is read whole otherwise.
inline constexpr std::size_t kLongestPageLine = 64 * 1024;
// At most this many start pages are kept of one file.
inline constexpr std::size_t kMostPages = 100000;

// Whether a file's first bytes are a ZIP file's ("PK\3\4").
bool LooksLikeZip(std::string_view firstBytes);

struct Page {
  std::string url;
  std::string title;  // empty when the line gives none
};

// One pages.jsonl line ({"url": "...", "title": "...", ...}); empty for the header line
// ({"format": ...}) and for a line that is no JSON object with a string "url".
std::optional<Page> ParsePageLine(std::string_view line);

class Archive {
 public:
  explicit Archive(const std::string& path);  // throws std::runtime_error
  ~Archive();
  Archive(const Archive&) = delete;
  Archive& operator=(const Archive&) = delete;

  // The members under archive/ (WARC or ARC files, compressed or not), in their order.
  std::vector<std::string> Archives() const;
  // A member as a stream of its stored bytes (inflated when the ZIP compressed it).
  std::unique_ptr<warc::Input> Open(const std::string& member) const;
  // The start pages of pages/pages.jsonl, in its order; none when it is missing.
  std::vector<Page> Pages() const;

 private:
  zip_t* zip_ = nullptr;
  std::string path_;
};

}  // namespace quillon::wacz
