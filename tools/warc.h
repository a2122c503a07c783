// WARC files (ISO 28500, WARC/1.0 and 1.1) and their forerunner, version-1 ARC files: the pure
// parsers of record heads, HTTP answer heads, dates and chunked bodies; a streaming reader over
// plain or per-record gzip files that holds a bounded amount in memory whatever the archive's
// size; and a writer of gzip-per-record files.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::warc {

// A record head or an HTTP head longer than this is refused: no head is read whole otherwise.
inline constexpr std::size_t kMostHeadBytes = 64 * 1024;

struct Field {
  std::string name;
  std::string value;
};

// Named fields in their order; names compare without case.
struct Fields {
  std::vector<Field> list;
  // The first field of that name, or "" when there is none.
  std::string_view Get(std::string_view name) const;
  bool Has(std::string_view name) const;
};

// The position just past the blank line that ends a head ("\r\n\r\n", or "\n\n" from careless
// writers), or npos when `text` does not hold one yet.
std::size_t FindHeadEnd(std::string_view text);

struct RecordHead {
  std::string version;  // "WARC/1.0", "WARC/1.1"
  Fields fields;
  std::uint64_t contentLength = 0;
  std::string_view Type() const { return fields.Get("WARC-Type"); }
  // WARC-Target-URI without the angle brackets WARC/1.0 allowed around it.
  std::string TargetUri() const;
};

// A record's head, from "WARC/1." up to and with the blank line (or without it). Empty when it
// is no WARC head; `why` then says what is wrong.
std::optional<RecordHead> ParseRecordHead(std::string_view text, std::string* why = nullptr);

// An ARC record's header line ("URL IP-address Archive-date Content-type Archive-length", the
// URL possibly holding spaces; version 2's ten fields are read too) as the WARC head it stands
// for: the file's own "filedesc://" record is a warcinfo, an http(s) capture a response, any
// other a resource. Version "ARC/1".
std::optional<RecordHead> ParseArcHead(std::string_view line, std::string* why = nullptr);

struct HttpHead {
  int status = 0;
  Fields fields;
};

// An HTTP answer's head ("HTTP/1.1 200 OK" and its fields, up to and with the blank line).
std::optional<HttpHead> ParseHttpHead(std::string_view text, std::string* why = nullptr);

// A WARC-Date ("2024-05-06T07:08:09Z", with any fraction of a second) as nanoseconds since 1970,
// comparable; empty when it is no such date or lies outside the years 1900 to 2200.
std::optional<std::int64_t> ParseWarcDate(std::string_view text);
// Seconds since 1970 as a WARC-Date ("2024-05-06T07:08:09Z").
std::string FormatWarcDate(std::int64_t seconds);

// The media type of a Content-Type value: lower case, without its parameters.
std::string MediaType(std::string_view contentType);

// Where `to` (a Location) leads from `base`: absolute addresses as they are, "//host/...",
// "/path", "?query" and relative paths resolved against the base.
std::string ResolveAddress(std::string_view base, std::string_view to);

// Whether a body sent with chunked transfer coding starts as chunks: its first line a chunk
// size (hex digits, an optional extension). False when it cannot be one (some crawlers store the
// body already de-chunked under the recorded head); empty while `start` is too short to tell.
std::optional<bool> StartsAsChunks(std::string_view start);

// Receives decoded bytes in pieces.
using Sink = std::function<void(std::string_view)>;

// Decodes a chunked body in pieces of any size. Chunk extensions and trailers are read and
// dropped; each line is capped.
class ChunkedDecoder {
 public:
  // False when the framing is broken; the decoder is then done with.
  bool Feed(std::string_view in, const Sink& out);
  bool Done() const { return state_ == kDone; }

 private:
  enum State { kSize, kExtension, kData, kDataEnd, kTrailer, kDone, kBroken };
  State state_ = kSize;
  std::uint64_t remaining_ = 0;
  std::size_t lineLength_ = 0;
  bool sawDigit_ = false;
  bool trailerLineEmpty_ = true;
};

// Undoes one content coding: "gzip" (or "x-gzip"), "deflate" (zlib or raw) or "identity".
class ContentDecoder {
 public:
  // Empty for a coding it does not know.
  static std::unique_ptr<ContentDecoder> For(std::string_view coding);
  virtual ~ContentDecoder() = default;
  // False when the data is broken.
  virtual bool Feed(std::string_view in, const Sink& out) = 0;
  // False when the data ended early.
  virtual bool Finish(const Sink& out) = 0;
};

// Raw bytes of an archive.
class Input {
 public:
  virtual ~Input() = default;
  // Up to `size` bytes; 0 at the end. Throws when the file cannot be read.
  virtual std::size_t Read(char* out, std::size_t size) = 0;
};

class MemoryInput : public Input {
 public:
  explicit MemoryInput(std::string_view data) : data_(data) {}
  std::size_t Read(char* out, std::size_t size) override;

 private:
  std::string_view data_;
};

class FileInput : public Input {
 public:
  explicit FileInput(const std::string& path);  // throws std::runtime_error
  ~FileInput() override;
  FileInput(const FileInput&) = delete;
  FileInput& operator=(const FileInput&) = delete;
  std::size_t Read(char* out, std::size_t size) override;
  std::uint64_t Size() const { return size_; }

 private:
  int fd_ = -1;
  std::uint64_t size_ = 0;
  std::string path_;
};

// A record the reader had to leave: where it started in the file (for a compressed file, the
// start of its gzip member) and what was wrong.
struct Problem {
  std::uint64_t offset = 0;
  std::string what;
};

// Reads records one after another: Next() gives a record's head, ReadBlock() its content in
// pieces, Finish() says whether the record ended soundly. Gzip members follow one another (one
// record each or several); a plain file is told apart by its first bytes, and so is an ARC file
// ("filedesc://"), whose records come as the WARC records they stand for (ParseArcHead). A broken
// record is reported once through the callback and the reader moves on to the next "WARC/1." head
// (in a compressed file, the next gzip member). At most a few hundred KiB are held at any time.
class Reader {
 public:
  Reader(Input& input, std::function<void(const Problem&)> onProblem);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // The next record's head; false at the end of the input. A record not read to its end is
  // skipped first.
  bool Next();
  const RecordHead& head() const { return head_; }
  std::uint64_t offset() const { return recordOffset_; }
  // Up to `size` bytes of the record's block; 0 at its end or when the record broke.
  std::size_t ReadBlock(char* out, std::size_t size);
  // The same without a copy: the next bytes of the block as the reader holds them, valid until
  // the next call; empty at the block's end or when the record broke.
  std::string_view ReadBlockView(std::size_t most);
  // After the whole block: true when the record ended as it should (and its gzip member's check
  // value matched). A false record has been reported.
  bool Finish();
  // Raw bytes of the input consumed so far.
  std::uint64_t consumed() const;

 private:
  enum Mode { kUnknown, kPlain, kGzip };
  enum Format { kFormatUnknown, kWarc, kArc };
  enum Fill { kData, kEnd, kError };
  enum Pumped { kProduced, kNothing, kNoMore, kFailed };
  Fill Refill();
  Pumped Pump();
  void ReadRaw();
  void Resync();
  void Report(std::uint64_t offset, const std::string& what);
  bool ReadHead();
  std::uint64_t DataOffset() const;

  Input& input_;
  std::function<void(const Problem&)> onProblem_;
  Mode mode_ = kUnknown;
  Format format_ = kFormatUnknown;
  std::vector<char> raw_;
  std::size_t rawPos_ = 0, rawEnd_ = 0;
  std::uint64_t rawOffset_ = 0;  // the file offset of raw_[0]
  bool rawEof_ = false;
  std::vector<char> data_;
  const char* cur_ = nullptr;  // the bytes not yet read: in raw_ (plain) or data_ (gzip)
  const char* end_ = nullptr;
  z_stream zs_{};
  bool zsReady_ = false;
  bool memberOpen_ = false;  // inflate is inside a member
  std::uint64_t memberStart_ = 0;
  std::string error_;  // why the data stopped (kError)
  std::uint64_t errorOffset_ = 0;

  RecordHead head_;
  std::uint64_t recordOffset_ = 0;
  std::uint64_t remaining_ = 0;
  bool inRecord_ = false;
  bool broken_ = false;
  bool quiet_ = false;  // after a problem, until the next sound head: one report per damage
};

// Writes records, each its own gzip member.
class Writer {
 public:
  explicit Writer(const std::string& path);  // throws std::runtime_error
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  // A record: "WARC/1.1", the fields, Content-Length, then the block given in pieces by
  // `block` (it calls its argument with each piece), which must add up to `length` bytes.
  void Write(const std::vector<Field>& fields, std::uint64_t length,
             const std::function<void(const Sink&)>& block);
  void Close();

 private:
  void Deflate(std::string_view data, int flush);
  std::FILE* file_ = nullptr;
  std::string path_;
  z_stream zs_{};
};

}  // namespace quillon::warc
