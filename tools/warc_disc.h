// WARC files as the material of a disc: their captures read into staged files and catalogue rows,
// and a disc written back out as a WARC file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "disc_builder.h"

namespace quillon::disc {

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
};

struct WarcImport {
  std::vector<WarcEntry> documents;  // in address order
  std::vector<WarcEntry> redirects;  // in address order
  WarcSummary summary;
};

// Reads the archives one after another; the decoded payloads go to files in `stage` (an empty
// folder the caller removes). Of several captures of one address the latest (WARC-Date, then the
// later record) wins. Memory grows with the number of records (their addresses and ids), never
// with their size.
WarcImport ReadWarcs(const std::vector<fs::path>& files, const fs::path& stage,
                     const WarcProblemSink& onProblem,
                     const std::function<void(std::uint64_t done, std::uint64_t total)>& progress);

// The disc extension and stored content type for an answer's Content-Type and its address: the
// type decides where it knows an extension, else the address's own extension does; the content
// type is stored unless the filter's table sends exactly it for that extension.
FoldedType TypeOfAnswer(std::string_view contentType, std::string_view url);

}  // namespace quillon::disc
