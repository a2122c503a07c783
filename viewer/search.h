// Full-text search over a disc's pages: an FTS5 table in the catalogue, keyed by document number,
// over each page's title and visible text.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite.h"

namespace quillon::viewer {

// Only a page's first megabytes are read for the index.
inline constexpr std::size_t kMostReadPage = 4 * 1024 * 1024;
// Text past this much of a page is not indexed.
inline constexpr std::size_t kMostIndexedText = 512 * 1024;
// A query uses at most this many words; further ones are ignored.
inline constexpr std::size_t kMostQueryWords = 16;
// A query is ranked among at most this many matching pages, which bounds its time.
inline constexpr std::int64_t kMostRanked = 10000;
// Snippets mark the matched words with these bytes, which no page text holds, so a page can
// escape the snippet first and then turn them into markup.
inline constexpr char kMatchStart = '\x02';
inline constexpr char kMatchEnd = '\x03';

struct PageText {
  std::string title;
  std::string body;
};

// What a reader sees of an HTML page: its title and the text outside tags, without script,
// style and comments, character references decoded, runs of white space made one space.
PageText ExtractPageText(std::string_view html);

// The text of a page's file, of which the first kMostReadPage bytes are read; nothing when it
// cannot be read.
PageText ReadPageText(const std::filesystem::path& file);

// The FTS5 query for words as a person types them: each word a phrase of its own, all required.
// Empty when there is no word.
std::string SearchQuery(std::string_view words);

// Creates the search table if the catalogue has none.
void CreateSearchTable(Database& db);
bool HasSearchTable(const Database& db);
// Merges the table's segments into one, as a finished disc has them: a query then reads one
// list a word rather than one a segment.
void OptimizeSearchTable(Database& db);

// Adds or replaces the text of one document.
void IndexPage(Database& db, std::int64_t number, const PageText& text);

// The same, for page after page, its statements prepared once.
class PageIndexer {
 public:
  explicit PageIndexer(const Database& db);
  void Add(std::int64_t number, const PageText& text);
  // A page's file, of which the first kMostReadPage bytes are read.
  void AddFile(std::int64_t number, const std::filesystem::path& file);

 private:
  Statement remove_;
  Statement insert_;
};
// The same for a page's file, of which the first kMostReadPage bytes are read.
void IndexPageFile(Database& db, std::int64_t number, const std::filesystem::path& file);

struct SearchHit {
  std::string url;
  std::string title;
  std::string snippet;  // matched words between kMatchStart and kMatchEnd
};

struct SearchResults {
  std::vector<SearchHit> hits;
  std::int64_t total = 0;
};

// The best `limit` pages from `offset` on, best first (bm25, a title match weighing more), and
// how many pages match in all.
SearchResults Search(const Database& db, std::string_view words, std::int64_t offset,
                     std::int64_t limit);

}  // namespace quillon::viewer
