#include "warc.h"

#include <brotli/decode.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <new>
#include <stdexcept>

#include "common/ascii.h"

namespace quillon::warc {

namespace {

constexpr std::size_t kRawBlock = 256 * 1024;
constexpr std::size_t kDataBlock = 256 * 1024;
constexpr std::size_t kOutBlock = 64 * 1024;
constexpr std::size_t kLongestChunkLine = 4096;
constexpr std::uint64_t kLongestContent = std::uint64_t{1} << 50;  // 1 PiB: no real record

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

bool IsTokenChar(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte <= 0x20 || byte >= 0x7F) return false;
  return std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

// The lines after the first, up to the blank line, as fields. Obsolete folding (a line starting
// with a space or tab) continues the field before.
bool ParseFields(std::string_view text, Fields& fields, std::string* why) {
  while (!text.empty()) {
    const std::size_t lineEnd = text.find('\n');
    std::string_view line = text.substr(0, lineEnd);
    text = lineEnd == std::string_view::npos ? std::string_view{} : text.substr(lineEnd + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) return true;
    if (line.front() == ' ' || line.front() == '\t') {
      if (fields.list.empty()) {
        if (why) *why = "a continuation line before any field";
        return false;
      }
      fields.list.back().value.append(" ").append(Trim(line));
      continue;
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::all_of(line.begin(), line.begin() + static_cast<std::ptrdiff_t>(colon),
                     IsTokenChar)) {
      if (why) *why = "a malformed field line";
      return false;
    }
    fields.list.push_back(
        {std::string(line.substr(0, colon)), std::string(Trim(line.substr(colon + 1)))});
  }
  return true;
}

std::string_view FirstLine(std::string_view text, std::string_view& rest) {
  const std::size_t end = text.find('\n');
  std::string_view line = text.substr(0, end);
  rest = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool ParseDigits(std::string_view text, std::uint64_t limit, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value <= limit;
}

// Days from 1970-01-01 to a civil date (Howard Hinnant's algorithm).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void Emit(z_stream& zs, std::vector<char>& out, const Sink& sink) {
  const std::size_t produced = out.size() - zs.avail_out;
  if (produced > 0) sink(std::string_view(out.data(), produced));
  zs.next_out = reinterpret_cast<Bytef*>(out.data());
  zs.avail_out = static_cast<uInt>(out.size());
}

class IdentityDecoder : public ContentDecoder {
 public:
  bool Feed(std::string_view in, const Sink& out) override {
    if (!in.empty()) out(in);
    return true;
  }
  bool Finish(const Sink&) override { return true; }
};

// gzip (members one after another) or deflate (zlib, or raw as some servers send it).
class ZlibDecoder : public ContentDecoder {
 public:
  explicit ZlibDecoder(bool gzip) : gzip_(gzip), out_(kOutBlock) {}
  ~ZlibDecoder() override {
    if (ready_) inflateEnd(&zs_);
  }
  bool Feed(std::string_view in, const Sink& out) override {
    if (broken_) return false;
    if (in.empty()) return true;
    if (!ready_) {
      int windowBits = 15 + 32;  // gzip or zlib, by the header
      if (!gzip_) {
        const auto b0 = static_cast<unsigned char>(in[0]);
        windowBits = (b0 & 0x0F) == 8 && (b0 >> 4) <= 7 ? 15 : -15;
      }
      raw_ = windowBits < 0;
      if (inflateInit2(&zs_, windowBits) != Z_OK) throw std::bad_alloc();
      ready_ = true;
      zs_.next_out = reinterpret_cast<Bytef*>(out_.data());
      zs_.avail_out = static_cast<uInt>(out_.size());
    }
    fed_ = true;
    zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs_.avail_in = static_cast<uInt>(in.size());
    while (zs_.avail_in > 0) {
      if (ended_) {
        // Another gzip member; anything else after the stream is ignored, as browsers do.
        if (!gzip_ || static_cast<unsigned char>(*zs_.next_in) != 0x1F) return true;
        inflateReset(&zs_);
        ended_ = false;
      }
      const int rc = inflate(&zs_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        ended_ = true;
      } else if (rc == Z_MEM_ERROR) {
        throw std::bad_alloc();
      } else if (rc != Z_OK && rc != Z_BUF_ERROR) {
        broken_ = true;
        return false;
      }
      if (zs_.avail_out == 0 || ended_) Emit(zs_, out_, out);
    }
    Emit(zs_, out_, out);
    return true;
  }
  bool Finish(const Sink& out) override {
    if (!fed_) return true;  // an empty body
    if (broken_) return false;
    if (raw_ && !ended_) {
      // A raw deflate stream without its final block: take what there is.
      zs_.avail_in = 0;
      inflate(&zs_, Z_SYNC_FLUSH);
      Emit(zs_, out_, out);
      return true;
    }
    return ended_;
  }

 private:
  bool gzip_;
  bool raw_ = false;
  bool ready_ = false, fed_ = false, ended_ = false, broken_ = false;
  z_stream zs_{};
  std::vector<char> out_;
};

class BrotliContentDecoder : public ContentDecoder {
 public:
  BrotliContentDecoder() : state_(BrotliDecoderCreateInstance(nullptr, nullptr, nullptr)) {
    if (state_ == nullptr) throw std::bad_alloc();
  }
  ~BrotliContentDecoder() override { BrotliDecoderDestroyInstance(state_); }
  bool Feed(std::string_view in, const Sink& out) override {
    if (broken_) return false;
    fed_ = fed_ || !in.empty();
    std::size_t availableIn = in.size();
    const auto* nextIn = reinterpret_cast<const std::uint8_t*>(in.data());
    while (true) {
      std::uint8_t buffer[kOutBlock];
      std::size_t availableOut = sizeof buffer;
      std::uint8_t* nextOut = buffer;
      const BrotliDecoderResult rc = BrotliDecoderDecompressStream(
          state_, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
      if (availableOut < sizeof buffer) {
        out(std::string_view(reinterpret_cast<const char*>(buffer), sizeof buffer - availableOut));
      }
      if (rc == BROTLI_DECODER_RESULT_ERROR) {
        broken_ = true;
        return false;
      }
      if (rc == BROTLI_DECODER_RESULT_SUCCESS) {
        ended_ = true;
        return true;
      }
      if (rc == BROTLI_DECODER_RESULT_NEEDS_MORE_INPUT) return true;
    }
  }
  bool Finish(const Sink&) override { return !broken_ && (ended_ || !fed_); }

 private:
  BrotliDecoderState* state_;
  bool fed_ = false, ended_ = false, broken_ = false;
};

}  // namespace

std::string_view Fields::Get(std::string_view name) const {
  for (const Field& field : list) {
    if (AsciiEqualsIgnoreCase(field.name, name)) return field.value;
  }
  return {};
}

bool Fields::Has(std::string_view name) const {
  return std::any_of(list.begin(), list.end(),
                     [&](const Field& f) { return AsciiEqualsIgnoreCase(f.name, name); });
}

std::size_t FindHeadEnd(std::string_view text) {
  for (std::size_t i = text.find('\n'); i != std::string_view::npos; i = text.find('\n', i + 1)) {
    if (i + 1 < text.size() && text[i + 1] == '\n') return i + 2;
    if (i + 2 < text.size() && text[i + 1] == '\r' && text[i + 2] == '\n') return i + 3;
  }
  return std::string_view::npos;
}

std::string RecordHead::TargetUri() const {
  std::string_view uri = fields.Get("WARC-Target-URI");
  if (uri.size() >= 2 && uri.front() == '<' && uri.back() == '>')
    uri = uri.substr(1, uri.size() - 2);
  return std::string(uri);
}

std::optional<RecordHead> ParseRecordHead(std::string_view text, std::string* why) {
  std::string_view rest;
  const std::string_view version = FirstLine(text, rest);
  if (version != "WARC/1.0" && version != "WARC/1.1") {
    if (why)
      *why = version.starts_with("WARC/") ? "an unknown WARC version" : "no WARC record head";
    return std::nullopt;
  }
  RecordHead head;
  head.version = std::string(version);
  if (!ParseFields(rest, head.fields, why)) return std::nullopt;
  const std::string_view length = head.fields.Get("Content-Length");
  if (!head.fields.Has("Content-Length")) {
    if (why) *why = "no Content-Length";
    return std::nullopt;
  }
  if (!ParseDigits(length, kLongestContent, head.contentLength)) {
    if (why) *why = "a bad Content-Length";
    return std::nullopt;
  }
  return head;
}

std::optional<RecordHead> ParseArcHead(std::string_view line, std::string* why) {
  std::string_view rest;
  line = FirstLine(line, rest);
  std::vector<std::string_view> words;
  for (std::size_t at = 0; at < line.size();) {
    const std::size_t space = line.find(' ', at);
    const std::size_t end = space == std::string_view::npos ? line.size() : space;
    if (end > at) words.push_back(line.substr(at, end - at));
    at = end + 1;
  }
  auto fail = [&](const char* what) -> std::optional<RecordHead> {
    if (why) *why = what;
    return std::nullopt;
  };
  if (words.size() < 5) return fail("an ARC header line of fewer than five fields");
  auto isDate = [](std::string_view text) {
    return text.size() >= 12 && text.size() <= 14 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  const std::size_t n = words.size();
  std::string_view url, date, type;
  if (n == 10 && isDate(words[2])) {  // version 2: URL IP date type code digest location offset
    url = words[0];                   // file length
    date = words[2];
    type = words[3];
  } else {
    // Version 1 read from the right: the URL is whatever comes before the last four fields.
    url = line.substr(0, static_cast<std::size_t>(words[n - 4].data() - line.data()));
    url = Trim(url);
    date = words[n - 3];
    type = words[n - 2];
  }
  if (!isDate(date)) return fail("a bad ARC archive date");
  if (url.find(':') == std::string_view::npos) return fail("no URL in an ARC header line");
  RecordHead head;
  head.version = "ARC/1";
  if (!ParseDigits(words[n - 1], kLongestContent, head.contentLength)) {
    return fail("a bad ARC archive length");
  }
  const std::string scheme = AsciiLowered(url.substr(0, url.find(':')));
  const char* recordType = scheme == "filedesc"                    ? "warcinfo"
                           : scheme == "http" || scheme == "https" ? "response"
                                                                   : "resource";
  // "20240506070809" as "2024-05-06T07:08:09Z"; 12 digits leave the seconds out.
  std::string iso = std::string(date.substr(0, 4)) + "-" + std::string(date.substr(4, 2)) + "-" +
                    std::string(date.substr(6, 2)) + "T" + std::string(date.substr(8, 2)) + ":" +
                    std::string(date.substr(10, 2)) + ":" +
                    (date.size() >= 14 ? std::string(date.substr(12, 2)) : std::string("00")) + "Z";
  head.fields.list = {{"WARC-Type", recordType},
                      {"WARC-Target-URI", std::string(url)},
                      {"WARC-Date", std::move(iso)},
                      {"Content-Type", std::string(type)},
                      {"Content-Length", std::string(words[n - 1])}};
  return head;
}

std::optional<HttpHead> ParseHttpHead(std::string_view text, std::string* why) {
  std::string_view rest;
  const std::string_view line = FirstLine(text, rest);
  // "HTTP/1.1 200 OK", the reason optional.
  if (line.size() < 12 || !line.starts_with("HTTP/") || line[5] < '0' || line[5] > '9' ||
      line.find(' ') == std::string_view::npos) {
    if (why) *why = "no HTTP status line";
    return std::nullopt;
  }
  const std::string_view status = line.substr(line.find(' ') + 1, 3);
  std::uint64_t code = 0;
  if (!ParseDigits(status, 999, code) || code < 100) {
    if (why) *why = "a bad HTTP status";
    return std::nullopt;
  }
  HttpHead head;
  head.status = static_cast<int>(code);
  if (!ParseFields(rest, head.fields, why)) return std::nullopt;
  return head;
}

std::optional<std::int64_t> ParseWarcDate(std::string_view text) {
  // YYYY[-MM[-DD[Thh:mm[:ss[.f+]]Z]]], the forms W3C-ISO8601 allows.
  auto number = [&](std::size_t at, std::size_t digits, std::int64_t& value) {
    if (text.size() < at + digits) return false;
    value = 0;
    for (std::size_t i = at; i < at + digits; ++i) {
      if (text[i] < '0' || text[i] > '9') return false;
      value = value * 10 + (text[i] - '0');
    }
    return true;
  };
  std::int64_t year = 0, month = 1, day = 1, hour = 0, minute = 0, second = 0, nanos = 0;
  if (!number(0, 4, year)) return std::nullopt;
  std::size_t at = 4;
  if (at < text.size()) {
    if (text[at] != '-' || !number(at + 1, 2, month)) return std::nullopt;
    at += 3;
  }
  if (at < text.size()) {
    if (text[at] != '-' || !number(at + 1, 2, day)) return std::nullopt;
    at += 3;
  }
  if (at < text.size()) {
    if (text[at] != 'T' || !number(at + 1, 2, hour) || text.size() < at + 4 ||
        text[at + 3] != ':' || !number(at + 4, 2, minute)) {
      return std::nullopt;
    }
    at += 6;
    if (at < text.size() && text[at] == ':') {
      if (!number(at + 1, 2, second)) return std::nullopt;
      at += 3;
      if (at < text.size() && text[at] == '.') {
        std::int64_t scale = 100000000;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
          nanos += (text[at] - '0') * scale;
          scale /= 10;
        }
      }
    }
    if (at + 1 != text.size() || text[at] != 'Z') return std::nullopt;
    at = text.size();
  }
  // Nanoseconds since 1970 hold the years 1678 to 2261; no capture lies outside these.
  if (year < 1900 || year > 2200 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
      minute > 59 || second > 60) {
    return std::nullopt;
  }
  const std::int64_t days =
      DaysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  return ((days * 24 + hour) * 60 + minute) * 60 * 1000000000LL + second * 1000000000LL + nanos;
}

std::string FormatWarcDate(std::int64_t seconds) {
  const auto t = static_cast<std::time_t>(seconds);
  std::tm parts{};
  gmtime_r(&t, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string MediaType(std::string_view contentType) {
  return AsciiLowered(Trim(contentType.substr(0, contentType.find(';'))));
}

std::string ResolveAddress(std::string_view base, std::string_view to) {
  to = Trim(to);
  const std::size_t colon = to.find(':');
  const std::size_t firstSpecial = to.find_first_of("/?#");
  if (colon != std::string_view::npos && colon > 0 && colon < firstSpecial) return std::string(to);
  const std::size_t scheme = base.find("://");
  if (scheme == std::string_view::npos) return std::string(to);
  if (to.starts_with("//")) return std::string(base.substr(0, scheme + 1)).append(to);
  const std::size_t pathStart = std::min(base.find_first_of("/?#", scheme + 3), base.size());
  const std::string_view origin = base.substr(0, pathStart);
  if (to.starts_with("/")) return std::string(origin).append(to);
  const std::string_view path =
      base.substr(pathStart, base.find_first_of("?#", pathStart) - pathStart);
  if (to.empty()) return std::string(base.substr(0, base.find('#')));
  if (to.starts_with("?")) return std::string(origin).append(path).append(to);
  const std::string_view folder = path.substr(0, path.rfind('/') + 1);
  std::string out(origin);
  out.append(folder.empty() ? "/" : folder).append(to);
  return out;
}

bool ChunkedDecoder::Feed(std::string_view in, const Sink& out) {
  for (std::size_t i = 0; i < in.size();) {
    const char c = in[i];
    switch (state_) {
      case kData: {
        const std::size_t take =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining_, in.size() - i));
        out(in.substr(i, take));
        i += take;
        remaining_ -= take;
        if (remaining_ == 0) state_ = kDataEnd;
        continue;
      }
      case kSize:
      case kExtension:
        if (++lineLength_ > kLongestChunkLine) {
          state_ = kBroken;
          return false;
        }
        if (c == '\n') {
          if (!sawDigit_) {
            state_ = kBroken;
            return false;
          }
          state_ = remaining_ == 0 ? kTrailer : kData;
          sawDigit_ = false;
          lineLength_ = 0;
          trailerLineEmpty_ = true;
        } else if (c == '\r' || state_ == kExtension) {
          // the line's end, or an extension's text
        } else if (c == ';' || c == ' ' || c == '\t') {
          state_ = kExtension;
        } else {
          int digit = -1;
          if (c >= '0' && c <= '9') digit = c - '0';
          if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
          if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
          if (digit < 0 || remaining_ > (kLongestContent >> 4)) {
            state_ = kBroken;
            return false;
          }
          remaining_ = remaining_ * 16 + static_cast<std::uint64_t>(digit);
          sawDigit_ = true;
        }
        break;
      case kDataEnd:
        if (c == '\n') {
          state_ = kSize;
        } else if (c != '\r') {
          state_ = kBroken;
          return false;
        }
        break;
      case kTrailer:
        if (c == '\n') {
          if (trailerLineEmpty_) state_ = kDone;
          trailerLineEmpty_ = true;
          lineLength_ = 0;
        } else if (c != '\r') {
          trailerLineEmpty_ = false;
          if (++lineLength_ > kLongestChunkLine) {
            state_ = kBroken;
            return false;
          }
        }
        break;
      case kDone:
        return true;  // what follows the last chunk is not the body's
      case kBroken:
        return false;
    }
    ++i;
  }
  return state_ != kBroken;
}

std::optional<bool> StartsAsChunks(std::string_view start) {
  std::size_t at = 0;
  while (at < start.size() && std::isxdigit(static_cast<unsigned char>(start[at])) != 0) ++at;
  if (at == 0 && !start.empty()) return false;
  // After the size: white space, then an extension (";name=value") or the line's end.
  while (at < start.size() && (start[at] == ' ' || start[at] == '\t')) ++at;
  bool extension = false;
  for (; at < start.size() && at <= kLongestChunkLine; ++at) {
    const char c = start[at];
    if (c == '\n') return true;
    if (c == '\r') {
      if (at + 1 == start.size()) return std::nullopt;
      return start[at + 1] == '\n';
    }
    if (c == ';') extension = true;
    if (!extension) return false;
  }
  return at > kLongestChunkLine ? std::optional<bool>(false) : std::nullopt;
}

std::unique_ptr<ContentDecoder> ContentDecoder::For(std::string_view coding) {
  const std::string name = AsciiLowered(Trim(coding));
  if (name.empty() || name == "identity") return std::make_unique<IdentityDecoder>();
  if (name == "gzip" || name == "x-gzip") return std::make_unique<ZlibDecoder>(true);
  if (name == "deflate") return std::make_unique<ZlibDecoder>(false);
  if (name == "br") return std::make_unique<BrotliContentDecoder>();
  return nullptr;
}

std::size_t MemoryInput::Read(char* out, std::size_t size) {
  const std::size_t take = std::min(size, data_.size());
  if (take > 0) std::memcpy(out, data_.data(), take);
  data_.remove_prefix(take);
  return take;
}

FileInput::FileInput(const std::string& path) : path_(path) {
  fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error(path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd_);
    throw std::runtime_error(path + ": not a file");
  }
  size_ = static_cast<std::uint64_t>(info.st_size);
  ::posix_fadvise(fd_, 0, 0, POSIX_FADV_SEQUENTIAL);
}

FileInput::~FileInput() { ::close(fd_); }

std::size_t FileInput::Read(char* out, std::size_t size) {
  while (true) {
    const ssize_t got = ::read(fd_, out, size);
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno != EINTR) throw std::runtime_error(path_ + ": " + std::strerror(errno));
  }
}

Reader::Reader(Input& input, std::function<void(const Problem&)> onProblem)
    : input_(input), onProblem_(std::move(onProblem)), raw_(kRawBlock) {}

Reader::~Reader() {
  if (zsReady_) inflateEnd(&zs_);
}

std::uint64_t Reader::consumed() const {
  if (mode_ == kPlain && cur_ != nullptr) {
    return rawOffset_ + static_cast<std::uint64_t>(cur_ - raw_.data());
  }
  return rawOffset_ + rawPos_;
}

std::uint64_t Reader::DataOffset() const { return mode_ == kGzip ? memberStart_ : consumed(); }

void Reader::Report(std::uint64_t offset, const std::string& what) {
  if (onProblem_) onProblem_(Problem{offset, what});
}

// Keeps the unread raw bytes and fills the rest of the block.
void Reader::ReadRaw() {
  if (mode_ == kPlain) rawPos_ = rawEnd_;
  if (rawPos_ > 0) {
    std::memmove(raw_.data(), raw_.data() + rawPos_, rawEnd_ - rawPos_);
    rawOffset_ += rawPos_;
    rawEnd_ -= rawPos_;
    rawPos_ = 0;
  }
  while (!rawEof_ && rawEnd_ < raw_.size()) {
    const std::size_t got = input_.Read(raw_.data() + rawEnd_, raw_.size() - rawEnd_);
    if (got == 0) rawEof_ = true;
    rawEnd_ += got;
    if (mode_ == kPlain) break;  // serve what there is
  }
}

Reader::Pumped Reader::Pump() {
  if (!memberOpen_) {
    if (rawEnd_ - rawPos_ < 3 && !rawEof_) ReadRaw();
    if (rawPos_ == rawEnd_) return kNoMore;
    const auto* at = reinterpret_cast<const unsigned char*>(raw_.data() + rawPos_);
    if (rawEnd_ - rawPos_ < 3 || at[0] != 0x1F || at[1] != 0x8B || at[2] != 8) {
      error_ = "no gzip member here";
      errorOffset_ = rawOffset_ + rawPos_;
      return kFailed;
    }
    if (!zsReady_) {
      if (inflateInit2(&zs_, 15 + 16) != Z_OK) throw std::bad_alloc();
      zsReady_ = true;
    } else {
      inflateReset(&zs_);
    }
    memberStart_ = rawOffset_ + rawPos_;
    memberOpen_ = true;
  }
  zs_.next_out = reinterpret_cast<Bytef*>(data_.data());
  zs_.avail_out = static_cast<uInt>(data_.size());
  while (true) {
    if (rawPos_ == rawEnd_) {
      ReadRaw();
      if (rawPos_ == rawEnd_) {
        if (zs_.avail_out < data_.size()) break;  // what came before the cut first
        error_ = "gzip member cut short by the end of the file";
        errorOffset_ = memberStart_;
        return kFailed;
      }
    }
    zs_.next_in = reinterpret_cast<Bytef*>(raw_.data() + rawPos_);
    zs_.avail_in = static_cast<uInt>(rawEnd_ - rawPos_);
    const int rc = inflate(&zs_, Z_NO_FLUSH);
    rawPos_ = rawEnd_ - zs_.avail_in;
    if (rc == Z_STREAM_END) {
      memberOpen_ = false;
      break;
    }
    if (rc == Z_MEM_ERROR) throw std::bad_alloc();
    if (rc != Z_OK && rc != Z_BUF_ERROR) {
      error_ = std::string("corrupt gzip data (") + (zs_.msg != nullptr ? zs_.msg : "zlib") + ")";
      errorOffset_ = memberStart_;
      return kFailed;
    }
    if (zs_.avail_out < data_.size()) break;
  }
  cur_ = data_.data();
  end_ = cur_ + (data_.size() - zs_.avail_out);
  return cur_ < end_ ? kProduced : kNothing;
}

Reader::Fill Reader::Refill() {
  if (cur_ < end_) return kData;
  if (!error_.empty()) return kError;
  if (mode_ == kUnknown) {
    ReadRaw();
    if (rawEnd_ == 0) return kEnd;
    const bool gzip = rawEnd_ >= 2 && static_cast<unsigned char>(raw_[0]) == 0x1F &&
                      static_cast<unsigned char>(raw_[1]) == 0x8B;
    mode_ = gzip ? kGzip : kPlain;
    if (mode_ == kPlain) {
      cur_ = raw_.data();
      end_ = cur_ + rawEnd_;
      return kData;
    }
    data_.resize(kDataBlock);
  }
  if (mode_ == kPlain) {
    ReadRaw();
    cur_ = raw_.data();
    end_ = cur_ + rawEnd_;
    return cur_ < end_ ? kData : kEnd;
  }
  while (true) {
    switch (Pump()) {
      case kProduced:
        return kData;
      case kNoMore:
        return kEnd;
      case kFailed:
        return kError;
      case kNothing:
        break;
    }
  }
}

// After broken gzip data: on to the next gzip member's header, past the broken member's start.
void Reader::Resync() {
  cur_ = end_;
  if (mode_ != kGzip) return;
  error_.clear();
  std::size_t from = rawPos_;
  if (memberOpen_ && memberStart_ >= rawOffset_ && memberStart_ < rawOffset_ + rawEnd_) {
    from = static_cast<std::size_t>(memberStart_ - rawOffset_) + 1;
  }
  memberOpen_ = false;
  rawPos_ = std::min(from, rawEnd_);
  while (true) {
    const char* start = raw_.data() + rawPos_;
    const char* stop = raw_.data() + rawEnd_;
    const char* found = nullptr;
    for (const char* p = start; p + 2 < stop; ++p) {
      p = static_cast<const char*>(std::memchr(p, 0x1F, static_cast<std::size_t>(stop - 2 - p)));
      if (p == nullptr) break;
      if (static_cast<unsigned char>(p[1]) == 0x8B && p[2] == 8) {
        found = p;
        break;
      }
    }
    if (found != nullptr) {
      rawPos_ = static_cast<std::size_t>(found - raw_.data());
      return;
    }
    // Keep the last two bytes: a header may straddle the blocks.
    rawPos_ = rawEnd_ - std::min<std::size_t>(2, rawEnd_ - rawPos_);
    if (rawEof_) {
      rawPos_ = rawEnd_;
      return;
    }
    ReadRaw();
  }
}

bool Reader::ReadHead() {
  static constexpr std::string_view kMagic = "WARC/1.";
  static constexpr std::string_view kArcMagic = "filedesc://";
  std::string text;
  bool started = false;
  std::uint64_t start = 0, candidate = 0;
  std::size_t matched = 0;
  auto drop = [&] {
    quiet_ = true;
    started = false;
    text.clear();
  };
  while (true) {
    const Fill fill = Refill();
    if (fill == kEnd) {
      if (started && !quiet_) Report(start, "record head cut short by the end of the file");
      return false;
    }
    if (fill == kError) {
      if (!quiet_) Report(started ? start : errorOffset_, error_);
      Resync();
      drop();
      matched = 0;
      continue;
    }
    while (cur_ < end_) {
      const char c = *cur_;
      if (!started) {
        if (quiet_ && format_ != kArc) {
          // Looking for the next head.
          if (c == kMagic[matched]) {
            if (matched == 0) candidate = DataOffset();
            ++cur_;
            if (++matched == kMagic.size()) {
              started = true;
              start = candidate;
              text = kMagic;
              matched = 0;
            }
          } else {
            matched = 0;
            if (c != 'W') ++cur_;
          }
          continue;
        }
        // An ARC file has no marker at its records' starts: after damage every line is tried.
        if (c == '\r' || c == '\n') {
          ++cur_;
          continue;
        }
        started = true;
        start = DataOffset();
      }
      text.push_back(c);
      ++cur_;
      if (format_ == kFormatUnknown) {
        const bool warc = kMagic.starts_with(text) || text.starts_with(kMagic);
        const bool arc = kArcMagic.starts_with(text) || text.starts_with(kArcMagic);
        if (!warc && !arc) {
          Report(start, "no WARC record here");
          drop();
          if (c == 'W') --cur_;  // it may begin the next head
          continue;
        }
        if (text.size() >= kArcMagic.size()) format_ = arc ? kArc : kWarc;
        if (text == kMagic) format_ = kWarc;
      } else if (format_ == kWarc && text.size() <= kMagic.size() &&
                 kMagic.substr(0, text.size()) != text) {
        Report(start, "no WARC record here");
        drop();
        if (c == 'W') --cur_;
        continue;
      }
      if (text.size() > kMostHeadBytes) {
        if (!quiet_) Report(start, "record head longer than 64 KiB");
        drop();
        continue;
      }
      if (c != '\n') continue;
      std::string why;
      std::optional<RecordHead> head;
      if (format_ == kArc) {
        head = ParseArcHead(text, &why);
      } else {
        if (!(text.ends_with("\n\n") || text.ends_with("\n\r\n"))) continue;
        head = ParseRecordHead(text, &why);
      }
      if (!head) {
        if (!quiet_)
          Report(
              start,
              std::string(format_ == kArc ? "bad ARC header line: " : "bad record head: ") + why);
        drop();
        continue;
      }
      head_ = std::move(*head);
      recordOffset_ = start;
      remaining_ = head_.contentLength;
      inRecord_ = true;
      broken_ = false;
      quiet_ = false;
      return true;
    }
  }
}

bool Reader::Next() {
  if (inRecord_) Finish();
  inRecord_ = false;
  return ReadHead();
}

std::string_view Reader::ReadBlockView(std::size_t most) {
  if (!inRecord_ || broken_ || remaining_ == 0 || most == 0) return {};
  const Fill fill = Refill();
  if (fill == kEnd) {
    Report(recordOffset_, "record cut short by the end of the file (" + std::to_string(remaining_) +
                              " bytes of its block missing)");
    broken_ = true;
    quiet_ = true;
    return {};
  }
  if (fill == kError) {
    Report(recordOffset_, error_);
    broken_ = true;
    quiet_ = true;
    Resync();
    return {};
  }
  const std::size_t take = static_cast<std::size_t>(
      std::min<std::uint64_t>({most, remaining_, static_cast<std::uint64_t>(end_ - cur_)}));
  const std::string_view piece(cur_, take);
  cur_ += take;
  remaining_ -= take;
  return piece;
}

std::size_t Reader::ReadBlock(char* out, std::size_t size) {
  const std::string_view piece = ReadBlockView(size);
  if (!piece.empty()) std::memcpy(out, piece.data(), piece.size());
  return piece.size();
}

bool Reader::Finish() {
  if (!inRecord_) return false;
  while (!broken_ && remaining_ > 0) {
    if (ReadBlockView(kDataBlock).empty()) break;
  }
  inRecord_ = false;
  if (broken_) return false;
  // The two line ends after the block. Anything else there means the Content-Length was wrong.
  bool ended = true;
  for (int seen = 0; seen < 4; ++seen) {
    if (cur_ == end_) {
      if (mode_ == kGzip && !memberOpen_) break;  // the next member holds the next record
      if (Refill() != kData) break;
    }
    if (*cur_ != '\r' && *cur_ != '\n') {
      // ARC writers differ on the line end after a record; the next header line tells.
      ended = seen > 0 || format_ == kArc;
      break;
    }
    ++cur_;
  }
  // The member's end, where gzip keeps its check value, belongs to the record.
  if (mode_ == kGzip) {
    while (cur_ == end_ && memberOpen_ && error_.empty()) {
      if (Pump() == kFailed) break;
    }
    if (!error_.empty() && errorOffset_ == recordOffset_) {
      Report(recordOffset_, error_);
      quiet_ = true;
      Resync();
      return false;
    }
  }
  if (!ended) {
    Report(recordOffset_, "record not followed by the end of a record (a wrong Content-Length?)");
    quiet_ = true;
    return false;
  }
  return true;
}

Writer::Writer(const std::string& path) : path_(path) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) throw std::runtime_error(path + ": " + std::strerror(errno));
}

Writer::~Writer() {
  if (file_ != nullptr) std::fclose(file_);
}

void Writer::Deflate(std::string_view data, int flush) {
  char out[kOutBlock];
  zs_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  zs_.avail_in = static_cast<uInt>(data.size());
  do {
    zs_.next_out = reinterpret_cast<Bytef*>(out);
    zs_.avail_out = sizeof out;
    const int rc = deflate(&zs_, flush);
    if (rc == Z_STREAM_ERROR) throw std::runtime_error(path_ + ": compression failed");
    const std::size_t produced = sizeof out - zs_.avail_out;
    if (produced > 0 && std::fwrite(out, 1, produced, file_) != produced) {
      throw std::runtime_error(path_ + ": " + std::strerror(errno));
    }
  } while (zs_.avail_out == 0 || (flush == Z_FINISH && zs_.avail_in > 0));
}

void Writer::Write(const std::vector<Field>& fields, std::uint64_t length,
                   const std::function<void(const Sink&)>& block) {
  if (deflateInit2(&zs_, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    throw std::bad_alloc();
  }
  struct End {
    z_stream* zs;
    ~End() { deflateEnd(zs); }
  } end{&zs_};
  std::string head = "WARC/1.1\r\n";
  for (const Field& field : fields)
    head.append(field.name).append(": ").append(field.value).append("\r\n");
  head.append("Content-Length: ").append(std::to_string(length)).append("\r\n\r\n");
  Deflate(head, Z_NO_FLUSH);
  std::uint64_t written = 0;
  block([&](std::string_view piece) {
    written += piece.size();
    for (std::size_t at = 0; at < piece.size(); at += kOutBlock) {
      Deflate(piece.substr(at, kOutBlock), Z_NO_FLUSH);
    }
  });
  if (written != length) throw std::runtime_error(path_ + ": a record's block changed size");
  Deflate("\r\n\r\n", Z_FINISH);
}

void Writer::Close() {
  if (file_ == nullptr) return;
  const bool failed = std::fflush(file_) != 0 || std::ferror(file_) != 0;
  const int rc = std::fclose(file_);
  file_ = nullptr;
  if (failed || rc != 0) throw std::runtime_error(path_ + ": cannot be written");
}

}  // namespace quillon::warc
