// A capture's payload on its way to the disc: its HTTP head read, its body decoded (chunks,
// content codings) into a file of the stage folder and hashed as it is written.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue_writer.h"
#include "warc.h"

namespace quillon::disc {

// The block a record's payload is read and written in.
inline constexpr std::size_t kPiece = 256 * 1024;

// A file written in pieces and hashed as it goes, removed unless kept.
class StageFile {
 public:
  explicit StageFile(std::filesystem::path path);
  ~StageFile();
  StageFile(const StageFile&) = delete;
  StageFile& operator=(const StageFile&) = delete;
  void Write(std::string_view data);
  // Closes the file for good; its size and SHA-1.
  viewer::FileFacts Keep();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  viewer::Sha1Hex sha1_;
  bool kept_ = false;
};

// The HTTP head at the start of a record's block, and the block's first bytes after it: a view
// into the reader's piece (valid until it reads on) or into `held`, when the head spanned
// pieces. False when the block holds no HTTP head (or one longer than warc::kMostHeadBytes).
bool ReadHttpHead(warc::Reader& reader, warc::HttpHead& head, std::string& held,
                  std::string_view& rest);

// How an answer's body was coded: its transfer coding, and its content codings in the order to
// undo them.
struct BodyCoding {
  bool chunked = false;
  std::vector<std::unique_ptr<warc::ContentDecoder>> decoders;
};

// The rest of the record's block from `rest` on, decoded into `staged`. Null when it went well,
// else why the body is skipped (a broken chunk or coding); the reader's own problems are left
// for its Finish() to report.
const char* StageBody(warc::Reader& reader, std::string_view rest, BodyCoding coding,
                      StageFile& staged);

}  // namespace quillon::disc
