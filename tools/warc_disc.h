// WARC files as the material of a disc: their captures read into staged files and catalogue rows,
// and a disc written back out as a WARC file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disc_builder.h"

namespace quillon::disc {

class Ledger;

// One address the archives give the disc: a document with its staged file, or a redirect.
struct WarcEntry {
  std::string url;
  std::string extension;
  std::string contentType;
  std::string redirectUrl;  // set for a redirect, which has no file
  std::int64_t lastModified = 0;
  fs::path staged;
  std::uint64_t size = 0;
  std::int64_t captured = 0;  // the capture's WARC-Date, seconds since 1970; 0 = unknown
  std::string sha1;           // of the staged file, when known
};

// A page a crawl started from (a WACZ file's pages.jsonl), listed on the disc's start page.
struct StartPage {
  std::string url;
  std::string title;
};

// What the archives gave, read back from the import's ledger in the stage folder one entry at a
// time, so that nothing is held per entry.
class WarcImport {
 public:
  WarcImport(std::unique_ptr<Ledger> ledger, fs::path stage);
  ~WarcImport();
  WarcImport(WarcImport&&) noexcept;
  WarcImport& operator=(WarcImport&&) noexcept;

  // The documents in address order; a payload several addresses share is copied for each but
  // the first. Then the redirects, in address order.
  void ForEachDocument(const std::function<void(const WarcEntry&)>& visit);
  void ForEachRedirect(const std::function<void(const WarcEntry&)>& visit);

  std::vector<StartPage> startPages;  // those the disc holds, in the crawl's order
  WarcSummary summary;

 private:
  std::unique_ptr<Ledger> ledger_;
  fs::path stage_;
};

// Reads the archives one after another; the decoded payloads go to files in `stage` (an empty
// folder the caller removes, after the import), beside the import's ledger. Of several captures
// of one address the latest (WARC-Date, then the later record) wins. Memory stays flat however
// many records there are, and never grows with their size.
WarcImport ReadWarcs(const std::vector<fs::path>& files, const fs::path& stage,
                     const WarcProblemSink& onProblem,
                     const std::function<void(std::uint64_t done, std::uint64_t total)>& progress);

// What a WARC import keeps in the catalogue beside `documents`, in tables of its own that a disc
// made otherwise lacks: `captures` (each document's capture date, which export writes) and
// `start_pages` (the pages a WACZ crawl started from, with their titles, for the start page).
class CaptureTables {
 public:
  explicit CaptureTables(viewer::Database& db);  // creates the tables when missing
  ~CaptureTables();
  CaptureTables(const CaptureTables&) = delete;
  CaptureTables& operator=(const CaptureTables&) = delete;
  void Add(std::int64_t number, std::int64_t captured);
  void Add(const std::vector<StartPage>& pages);

 private:
  viewer::Database& db_;
  std::unique_ptr<viewer::Statement> capture_;
};

}  // namespace quillon::disc
