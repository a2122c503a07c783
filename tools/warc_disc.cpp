#include "warc_disc.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <unordered_map>

#include "address.h"
#include "common/ascii.h"
#include "names/http_date.h"
#include "responses/document_server.h"
#include "wacz.h"
#include "warc.h"

namespace quillon::disc {

namespace {

constexpr std::size_t kPiece = 256 * 1024;
constexpr std::int64_t kNanosPerSecond = 1000000000;
constexpr std::string_view kIndexPage = "index.html";

// A decoded payload in the stage folder.
// What a record that others may point to gave: a payload in the stage folder, a redirect, or
// a reason it was skipped (a revisit of a 404 is skipped as one).
struct Payload {
  fs::path file{};
  std::uint64_t size = 0;
  std::string extension{};
  std::string contentType{};
  std::int64_t lastModified = 0;
  std::string location{};
  std::string skipped{};
};

struct Capture {
  std::int64_t date = 0;    // WARC-Date, nanoseconds
  std::uint64_t order = 0;  // the record's place among all read
  bool redirect = false;
  std::size_t payload = 0;  // a document's
  std::string location;     // a redirect's
};

struct Revisit {
  std::string url;
  Capture capture;
  std::string refersTo, refersToUri, refersToDate, digest;
  std::string recordId, date;  // its own, for revisits of it
};

// A file written in pieces, removed unless kept.
class StageFile {
 public:
  explicit StageFile(fs::path path) : path_(std::move(path)) {
    file_ = std::fopen(path_.c_str(), "wb");
    if (file_ == nullptr) throw ToolError(path_.string() + ": " + std::strerror(errno));
    std::setvbuf(file_, nullptr, _IOFBF, kPiece);
  }
  ~StageFile() {
    if (file_ != nullptr) std::fclose(file_);
    if (!kept_) {
      std::error_code ignored;
      fs::remove(path_, ignored);
    }
  }
  void Write(std::string_view data) {
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file_) != data.size()) {
      throw ToolError(path_.string() + ": " + std::strerror(errno));
    }
    size_ += data.size();
  }
  void Keep() {
    const bool failed = std::fclose(file_) != 0;
    file_ = nullptr;
    if (failed) throw ToolError(path_.string() + ": cannot be written");
    kept_ = true;
  }
  std::uint64_t size() const { return size_; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  std::FILE* file_ = nullptr;
  std::uint64_t size_ = 0;
  bool kept_ = false;
};

std::string ExtensionOfAddress(std::string_view url) {
  const std::size_t scheme = url.find("://");
  std::string_view path = url.substr(scheme == std::string_view::npos ? 0 : scheme + 3);
  path = path.substr(0, path.find_first_of("?#"));
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return {};
  const std::string_view name = path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size() || name.size() - dot - 1 > 8)
    return {};
  const std::string_view extension = name.substr(dot + 1);
  for (char c : extension) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return {};
  }
  return AsciiLowered(extension);
}

// The disc address of a captured URI: angle brackets, white space around it and the fragment
// left out, and userinfo too (a browser never sends it); bytes an address cannot hold
// percent-encoded, control bytes included; then the normal form.
std::string CaptureAddress(std::string_view raw) {
  auto trim = [](std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
  };
  raw = trim(raw);
  if (raw.size() >= 2 && raw.front() == '<' && raw.back() == '>') {
    raw = trim(raw.substr(1, raw.size() - 2));
  }
  raw = raw.substr(0, raw.find('#'));
  std::string text;
  text.reserve(raw.size());
  const std::size_t scheme = raw.find("://");
  std::size_t authorityEnd = std::string_view::npos, userEnd = std::string_view::npos;
  if (scheme != std::string_view::npos) {
    authorityEnd = std::min(raw.find_first_of("/?", scheme + 3), raw.size());
    const std::size_t at = raw.substr(0, authorityEnd).rfind('@');
    if (at != std::string_view::npos && at > scheme) userEnd = at + 1;
  }
  for (std::size_t i = 0; i < raw.size(); ++i) {
    if (userEnd != std::string_view::npos && i == scheme + 3) i = userEnd;
    if (i >= raw.size()) break;
    const auto c = static_cast<unsigned char>(raw[i]);
    if (c < 0x20 || c == 0x7F) {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      text += escaped;
    } else {
      text.push_back(static_cast<char>(c));
    }
  }
  return viewer::NormalizeAddress(EscapedAddress(text));
}

// Two staged files with the same bytes.
bool SameBytes(const fs::path& a, const fs::path& b) {
  std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
  if (!left || !right) return false;
  std::vector<char> x(kPiece), y(kPiece);
  while (true) {
    left.read(x.data(), static_cast<std::streamsize>(x.size()));
    right.read(y.data(), static_cast<std::streamsize>(y.size()));
    if (left.gcount() != right.gcount()) return false;
    if (left.gcount() == 0) return true;
    if (std::memcmp(x.data(), y.data(), static_cast<std::size_t>(left.gcount())) != 0) return false;
  }
}

class Importer {
 public:
  Importer(const fs::path& stage, const WarcProblemSink& onProblem)
      : stage_(stage), onProblem_(onProblem) {}

  // A WARC or ARC file, or a WACZ file's archives, told apart by their first bytes.
  void Read(const fs::path& file, const std::function<void(std::uint64_t)>& progress) {
    char magic[4] = {};
    {
      std::ifstream peek(file, std::ios::binary);
      peek.read(magic, sizeof magic);
    }
    if (!wacz::LooksLikeZip(std::string_view(magic, sizeof magic))) {
      warc::FileInput input(file.string());
      ReadArchive(file, input, progress);
      return;
    }
    const wacz::Archive archive(file.string());
    for (const std::string& member : archive.Archives()) {
      const std::unique_ptr<warc::Input> input = archive.Open(member);
      ReadArchive(file / member, *input, progress);
    }
    for (wacz::Page& page : archive.Pages()) {
      const std::string url = CaptureAddress(page.url);
      if (!IsDiscAddress(url) || HasControlCharacter(page.title)) continue;
      startPages_.push_back({url, std::move(page.title)});
    }
  }

  void ReadArchive(const fs::path& file, warc::Input& input,
                   const std::function<void(std::uint64_t)>& progress) {
    warc::Reader reader(input, [&](const warc::Problem& problem) {
      ++summary_.broken;
      ++summary_.skipped["broken record"];
      if (onProblem_) onProblem_(file, problem.offset, problem.what);
    });
    std::uint64_t before = 0;
    while (reader.Next()) {
      ++summary_.records;
      Record(reader);
      const std::uint64_t consumed = reader.consumed();
      if (progress) progress(consumed - before);
      before = consumed;
    }
    if (progress) progress(reader.consumed() - before);
    summary_.bytes += reader.consumed();
  }

  WarcImport Finish() {
    // Revisits of revisits resolve once those do: again while any does.
    for (bool progress = true; progress && !pending_.empty();) {
      progress = false;
      std::vector<Revisit> left;
      for (Revisit& revisit : pending_) {
        const std::size_t payload = Resolve(revisit);
        if (payload == kNone) {
          left.push_back(std::move(revisit));
          continue;
        }
        progress = true;
        Register(revisit.recordId, revisit.url + " " + revisit.date, payload);
        Take(revisit.url, std::move(revisit.capture), payload);
      }
      pending_ = std::move(left);
    }
    for (std::size_t i = 0; i < pending_.size(); ++i)
      Skip("revisit of a payload not in the archives");
    pending_.clear();
    WarcImport result;
    std::vector<bool> used(payloads_.size(), false);
    std::vector<std::pair<const std::string*, const Capture*>> sorted;
    sorted.reserve(latest_.size());
    for (const auto& [url, capture] : latest_) sorted.emplace_back(&url, &capture);
    std::sort(sorted.begin(), sorted.end(),
              [](const auto& a, const auto& b) { return *a.first < *b.first; });
    // A folder answered with the very page its index.html holds: one document, and the folder a
    // redirect to it, as a mirror's disc has them.
    for (auto& [url, capture] : latest_) {
      if (capture.redirect || !url.ends_with('/')) continue;
      auto index = latest_.find(url + std::string(kIndexPage));
      if (index == latest_.end() || index->second.redirect) continue;
      const Payload& folder = payloads_[capture.payload];
      const Payload& page = payloads_[index->second.payload];
      if (capture.payload == index->second.payload ||
          (folder.size == page.size && SameBytes(folder.file, page.file))) {
        capture.redirect = true;
        capture.location = index->first;
      }
    }
    std::size_t copies = 0;
    for (const auto& [url, capture] : sorted) {
      WarcEntry entry;
      entry.url = *url;
      entry.captured = capture->date / kNanosPerSecond;
      if (capture->redirect) {
        entry.redirectUrl = capture->location;
        result.redirects.push_back(std::move(entry));
        continue;
      }
      const Payload& payload = payloads_[capture->payload];
      entry.extension = payload.extension;
      entry.contentType = payload.contentType;
      entry.lastModified = payload.lastModified;
      entry.captured = capture->date / kNanosPerSecond;
      entry.size = payload.size;
      entry.staged = payload.file;
      if (used[capture->payload]) {
        // One payload for several addresses (revisits, identical answers): a file for each.
        entry.staged = stage_ / ("copy-" + std::to_string(copies++));
        fs::copy_file(payload.file, entry.staged);
      }
      used[capture->payload] = true;
      result.documents.push_back(std::move(entry));
    }
    // The start pages the disc holds, each once.
    std::unordered_map<std::string, bool> listed;
    for (StartPage& page : startPages_) {
      if (latest_.contains(page.url) && listed.try_emplace(page.url, true).second) {
        result.startPages.push_back(std::move(page));
      }
    }
    summary_.documents = result.documents.size();
    summary_.redirects = result.redirects.size();
    result.summary = summary_;
    return result;
  }

 private:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();

  void Skip(const std::string& why) { ++summary_.skipped[why]; }

  void Offer(const std::string& url, Capture capture) {
    auto [it, inserted] = latest_.try_emplace(url, capture);
    const Capture& held = it->second;
    if (!inserted &&
        (capture.date > held.date || (capture.date == held.date && capture.order > held.order))) {
      it->second = std::move(capture);
    }
  }

  // A revisit's capture, of what the record it points to gave.
  void Take(const std::string& url, Capture capture, std::size_t id) {
    const Payload& payload = payloads_[id];
    if (!payload.skipped.empty()) return Skip(payload.skipped);
    if (!payload.location.empty()) {
      capture.redirect = true;
      capture.location = payload.location;
    }
    capture.payload = id;
    Offer(url, std::move(capture));
  }

  // Records what a record gave under its id and its address and date.
  std::size_t Register(const std::string& recordId, const std::string& uriDate, Payload payload) {
    payloads_.push_back(std::move(payload));
    const std::size_t id = payloads_.size() - 1;
    if (!recordId.empty()) byRecordId_[recordId] = id;
    byUriDate_[uriDate] = id;
    return id;
  }

  // A resolved revisit stands for its payload too: a later revisit may point to it.
  void Register(const std::string& recordId, const std::string& uriDate, std::size_t id) {
    if (!recordId.empty()) byRecordId_.try_emplace(recordId, id);
    byUriDate_.try_emplace(uriDate, id);
  }

  // A WARC-Date as the key it is looked up by: the instant, however its fraction is written.
  static std::string DateKey(std::string_view date) {
    const auto parsed = warc::ParseWarcDate(date);
    return parsed ? std::to_string(*parsed) : std::string(date);
  }

  std::size_t Find(const std::unordered_map<std::string, std::size_t>& map,
                   const std::string& key) {
    if (key.empty()) return kNone;
    auto it = map.find(key);
    return it == map.end() ? kNone : it->second;
  }

  std::size_t Resolve(const Revisit& revisit) {
    std::size_t payload = Find(byRecordId_, revisit.refersTo);
    if (payload == kNone && !revisit.refersToUri.empty() && !revisit.refersToDate.empty()) {
      payload = Find(byUriDate_, revisit.refersToUri + " " + revisit.refersToDate);
    }
    if (payload == kNone) payload = Find(byDigest_, revisit.digest);
    // An original of another date still has the payload a revisit names by its address alone.
    if (payload == kNone && !revisit.refersToUri.empty()) {
      payload = Find(byUri_, revisit.refersToUri);
    }
    return payload;
  }

  // The HTTP head at the start of the block, and the block's first bytes after it: a view into
  // the reader's piece (valid until it reads on) or into `held`, when the head spanned pieces.
  bool ReadHttpHead(warc::Reader& reader, warc::HttpHead& head, std::string& held,
                    std::string_view& rest) {
    held.clear();
    while (true) {
      const std::string_view piece = reader.ReadBlockView(kPiece);
      if (piece.empty()) return false;
      std::string_view text = piece;
      std::size_t from = 0;
      if (!held.empty()) {
        // The blank line may straddle two pieces: look a few bytes back.
        from = held.size() > 3 ? held.size() - 3 : 0;
        held.append(piece);
        text = held;
      }
      const std::size_t end = warc::FindHeadEnd(text.substr(from));
      if (end != std::string_view::npos) {
        rest = text.substr(from + end);
        std::optional<warc::HttpHead> parsed = warc::ParseHttpHead(text.substr(0, from + end));
        if (!parsed) return false;
        head = std::move(*parsed);
        return true;
      }
      if (held.empty()) held.assign(piece);
      if (held.size() > warc::kMostHeadBytes) return false;
    }
  }

  void Record(warc::Reader& reader) {
    const warc::RecordHead& head = reader.head();
    const std::string_view type = head.Type();
    const bool response = type == "response", resource = type == "resource",
               revisit = type == "revisit";
    if (!response && !resource && !revisit) return;  // warcinfo, request, metadata, ...
    const std::string url = CaptureAddress(head.fields.Get("WARC-Target-URI"));
    const std::string& target = url;
    if (!IsDiscAddress(url)) {
      // A resource of another scheme is the archiver's own (its log, its arguments).
      if (resource && !url.starts_with("http")) return;
      Skip(url.starts_with("http://") || url.starts_with("https://") ? "address too long"
                                                                     : "not an http(s) address");
      return;
    }
    // A revisit leaves its payload out by design and says so with WARC-Truncated.
    if (!revisit && head.fields.Has("WARC-Truncated")) return Skip("truncated by its crawler");
    if (head.fields.Has("WARC-Segment-Number")) return Skip("segmented record");
    Capture capture;
    capture.date = warc::ParseWarcDate(head.fields.Get("WARC-Date")).value_or(0);
    capture.order = summary_.records;
    const std::string recordId(head.fields.Get("WARC-Record-ID"));
    const std::string date(head.fields.Get("WARC-Date"));
    const std::string digest(head.fields.Get("WARC-Payload-Digest"));

    if (revisit) {
      Revisit entry{url,
                    capture,
                    std::string(head.fields.Get("WARC-Refers-To")),
                    CaptureAddress(head.fields.Get("WARC-Refers-To-Target-URI")),
                    DateKey(head.fields.Get("WARC-Refers-To-Date")),
                    digest,
                    recordId,
                    DateKey(date)};
      if (!reader.Finish()) return;  // reported
      const std::size_t payload = Resolve(entry);
      if (payload == kNone) {
        pending_.push_back(std::move(entry));  // it may come later
        return;
      }
      Take(url, std::move(entry.capture), payload);
      Register(recordId, url + " " + DateKey(date), payload);
      return;
    }

    std::string contentType(head.fields.Get("Content-Type"));
    std::string held;
    std::string_view rest;
    std::vector<std::unique_ptr<warc::ContentDecoder>> decoders;
    std::unique_ptr<warc::ChunkedDecoder> chunked;
    std::int64_t lastModified = 0;
    if (response) {
      warc::HttpHead http;
      if (!ReadHttpHead(reader, http, held, rest)) {
        if (reader.Finish()) Skip("not an HTTP answer");
        return;
      }
      if (http.status >= 300 && http.status < 400 && http.status != 304) {
        const std::string_view location = http.fields.Get("Location");
        if (location.empty()) {
          if (reader.Finish()) Skip("redirect without Location");
          return;
        }
        capture.redirect = true;
        capture.location = warc::ResolveAddress(target, location);
        if (HasControlCharacter(capture.location) || capture.location.size() > 2048) {
          if (reader.Finish()) Skip("bad Location");
          return;
        }
        if (!reader.Finish()) return;
        if (viewer::NormalizeAddress(capture.location) == url) return Skip("redirect to itself");
        Register(recordId, url + " " + DateKey(date), Payload{.location = capture.location});
        Offer(url, std::move(capture));
        return;
      }
      if (http.status != 200) {
        if (!reader.Finish()) return;
        const std::string why = "status " + std::to_string(http.status);
        Register(recordId, url + " " + DateKey(date), Payload{.skipped = why});
        return Skip(why);
      }
      contentType = std::string(http.fields.Get("Content-Type"));
      const HttpTime modified = ParseHttpDate(http.fields.Get("Last-Modified"));
      lastModified = modified > 0 ? modified : 0;
      const std::string transfer = AsciiLowered(http.fields.Get("Transfer-Encoding"));
      if (!transfer.empty() && transfer != "identity") {
        if (transfer != "chunked") {
          if (reader.Finish()) Skip("transfer coding " + transfer);
          return;
        }
        chunked = std::make_unique<warc::ChunkedDecoder>();
      }
      // Codings are listed in the order they were applied: undone last first.
      std::string_view codings = http.fields.Get("Content-Encoding");
      while (!codings.empty()) {
        const std::size_t comma = codings.rfind(',');
        const std::string_view coding =
            codings.substr(comma == std::string_view::npos ? 0 : comma + 1);
        codings = comma == std::string_view::npos ? std::string_view{} : codings.substr(0, comma);
        auto decoder = warc::ContentDecoder::For(coding);
        if (!decoder) {
          if (reader.Finish()) Skip("content coding " + AsciiLowered(coding));
          return;
        }
        decoders.push_back(std::move(decoder));
      }
    }

    // The body, through the decoders, into a staged file.
    StageFile staged(stage_ / std::to_string(payloads_.size()));
    bool sound = true;
    std::vector<warc::Sink> sinks(decoders.size() + 1);
    sinks[decoders.size()] = [&](std::string_view data) { staged.Write(data); };
    for (std::size_t i = decoders.size(); i-- > 0;) {
      sinks[i] = [&, i](std::string_view data) {
        if (sound && !decoders[i]->Feed(data, sinks[i + 1])) sound = false;
      };
    }
    const warc::Sink& first = sinks[0];
    auto pass = [&](std::string_view data) {
      if (!sound || data.empty()) return;
      if (chunked) {
        if (!chunked->Feed(data, first)) sound = false;
      } else {
        first(data);
      }
    };
    // Under chunked transfer coding, the first line says whether the body was stored as chunks
    // or already de-chunked; what comes before it is held back.
    std::string opening;
    bool deciding = chunked != nullptr;
    auto decide = [&](bool chunks) {
      deciding = false;
      if (!chunks) chunked.reset();
      pass(opening);
      opening = std::string();
    };
    auto feed = [&](std::string_view data) {
      if (!deciding) return pass(data);
      opening.append(data);
      if (const auto chunks = warc::StartsAsChunks(opening)) decide(*chunks);
    };
    feed(rest);
    while (true) {
      const std::string_view piece = reader.ReadBlockView(kPiece);
      if (piece.empty()) break;
      feed(piece);
    }
    if (deciding) decide(false);   // too short for a chunk line: as stored
    if (!reader.Finish()) return;  // reported; the staged file goes
    if (sound && chunked && !chunked->Done()) sound = false;
    for (std::size_t i = 0; sound && i < decoders.size(); ++i) {
      if (!decoders[i]->Finish(sinks[i + 1])) sound = false;
    }
    if (!sound) return Skip(chunked ? "broken chunked or coded body" : "broken coded body");
    staged.Keep();
    const FoldedType folded = TypeOfAnswer(contentType, url);
    const std::size_t id = Register(
        recordId, url + " " + date,
        {staged.path(), staged.size(), folded.extension, folded.contentType, lastModified});
    if (!digest.empty()) byDigest_.try_emplace(digest, id);
    auto [it, inserted] = byUriCapture_.try_emplace(url, capture.date);
    if (inserted || capture.date >= it->second) {
      it->second = capture.date;
      byUri_[url] = id;
    }
    capture.payload = id;
    Offer(url, std::move(capture));
  }

  fs::path stage_;
  const WarcProblemSink& onProblem_;
  WarcSummary summary_;
  std::vector<Payload> payloads_;
  std::unordered_map<std::string, Capture> latest_;
  std::unordered_map<std::string, std::size_t> byRecordId_, byDigest_, byUriDate_, byUri_;
  std::unordered_map<std::string, std::int64_t> byUriCapture_;
  std::vector<Revisit> pending_;
  std::vector<StartPage> startPages_;
};

// SHA-1 in base 32, as WARC digests are written.
class Sha1 {
 public:
  Sha1() : context_(EVP_MD_CTX_new()) {
    if (context_ == nullptr || EVP_DigestInit_ex(context_, EVP_sha1(), nullptr) != 1) {
      throw std::bad_alloc();
    }
  }
  ~Sha1() { EVP_MD_CTX_free(context_); }
  Sha1(const Sha1&) = delete;
  Sha1& operator=(const Sha1&) = delete;
  void Update(std::string_view data) { EVP_DigestUpdate(context_, data.data(), data.size()); }
  std::string Base32() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    EVP_DigestFinal_ex(context_, digest, &size);
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    std::string out = "sha1:";
    unsigned buffer = 0;
    int bits = 0;
    for (unsigned i = 0; i < size; ++i) {
      buffer = (buffer << 8) | digest[i];
      bits += 8;
      while (bits >= 5) {
        out.push_back(kAlphabet[(buffer >> (bits - 5)) & 31]);
        bits -= 5;
      }
    }
    if (bits > 0) out.push_back(kAlphabet[(buffer << (5 - bits)) & 31]);
    return out;
  }

 private:
  EVP_MD_CTX* context_;
};

void ReadFile(const fs::path& path, const warc::Sink& sink) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError(path.string() + ": cannot be read");
  std::vector<char> buffer(kPiece);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.gcount() > 0)
      sink(std::string_view(buffer.data(), static_cast<std::size_t>(in.gcount())));
  }
  if (in.bad()) throw ToolError(path.string() + ": cannot be read");
}

}  // namespace

CaptureTables::CaptureTables(viewer::Database& db) : db_(db) {
  db_.Execute(
      "CREATE TABLE IF NOT EXISTS captures (number INTEGER PRIMARY KEY, captured INTEGER NOT NULL);"
      "CREATE TABLE IF NOT EXISTS start_pages (url TEXT PRIMARY KEY, title TEXT NOT NULL DEFAULT "
      "'');");
  capture_ = std::make_unique<viewer::Statement>(
      db_, "INSERT OR REPLACE INTO captures (number, captured) VALUES (?1, ?2)");
}

CaptureTables::~CaptureTables() = default;

void CaptureTables::Add(std::int64_t number, std::int64_t captured) {
  if (captured <= 0) return;
  capture_->Bind(1, number).Bind(2, captured);
  capture_->Step();
  capture_->Reset();
}

void CaptureTables::Add(const std::vector<StartPage>& pages) {
  viewer::Statement insert(db_, "INSERT OR IGNORE INTO start_pages (url, title) VALUES (?1, ?2)");
  for (const StartPage& page : pages) {
    insert.Bind(1, page.url).Bind(2, page.title);
    insert.Step();
    insert.Reset();
  }
}

FoldedType TypeOfAnswer(std::string_view contentType, std::string_view url) {
  static const std::unordered_map<std::string_view, std::string_view> kExtensions = {
      {"text/html", "htm"},
      {"application/xhtml+xml", "xhtml"},
      {"text/plain", "txt"},
      {"image/gif", "gif"},
      {"image/jpeg", "jpg"},
      {"image/pjpeg", "jpg"},
      {"image/tiff", "tif"},
      {"audio/wav", "wav"},
      {"audio/x-wav", "wav"},
      {"video/mpeg", "mpg"},
      {"video/avi", "avi"},
      {"video/x-msvideo", "avi"},
      {"video/quicktime", "mov"},
      {"application/pdf", "pdf"},
      {"application/msword", "doc"},
      {"application/rtf", "rtf"},
      {"text/css", "css"},
      {"text/javascript", "js"},
      {"application/javascript", "js"},
      {"application/x-javascript", "js"},
      {"application/json", "json"},
      {"application/xml", "xml"},
      {"text/xml", "xml"},
      {"image/png", "png"},
      {"image/svg+xml", "svg"},
      {"image/x-icon", "ico"},
      {"image/vnd.microsoft.icon", "ico"},
      {"image/webp", "webp"},
      {"image/bmp", "bmp"},
      {"audio/mpeg", "mp3"},
      {"video/mp4", "mp4"},
      {"video/webm", "webm"},
      {"audio/ogg", "ogg"},
      {"font/woff", "woff"},
      {"font/woff2", "woff2"},
      {"font/ttf", "ttf"},
      {"application/zip", "zip"},
      {"text/csv", "csv"},
  };
  std::string_view type = contentType;
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  if (HasControlCharacter(type) || type.size() > 255) type = {};
  const std::string media = warc::MediaType(type);
  auto known = kExtensions.find(media);
  const FoldedType folded = FoldExtension(known != kExtensions.end() ? std::string(known->second)
                                                                     : ExtensionOfAddress(url));
  if (type.empty()) return folded;
  const std::string_view tableType = ExtensionContentType(folded.extension);
  if (!folded.extension.empty() && !tableType.empty() && AsciiEqualsIgnoreCase(type, tableType)) {
    return {folded.extension, ""};
  }
  return {folded.extension, std::string(type)};
}

WarcImport ReadWarcs(const std::vector<fs::path>& files, const fs::path& stage,
                     const WarcProblemSink& onProblem,
                     const std::function<void(std::uint64_t done, std::uint64_t total)>& progress) {
  std::uint64_t total = 0;
  for (const fs::path& file : files) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec) throw ToolError(file.string() + ": " + ec.message());
    total += size;
  }
  Importer importer(stage, onProblem);
  std::uint64_t done = 0;
  for (const fs::path& file : files) {
    try {
      importer.Read(file, [&](std::uint64_t more) {
        done += more;
        if (progress) progress(std::min(done, total), total);
      });
    } catch (const std::runtime_error& e) {
      if (dynamic_cast<const ToolError*>(&e) != nullptr) throw;
      throw ToolError(e.what());
    }
  }
  return importer.Finish();
}

std::size_t ExportWarc(const fs::path& disc, const fs::path& file) {
  const viewer::DiscInfo info = ReadDiscInformation(disc);
  const std::vector<DocumentRow> rows = ListDocuments(disc);
  // Each capture's own date where the import kept it, else the disc's creation time.
  auto db = viewer::OpenCatalogue(disc, false);
  std::unique_ptr<viewer::Statement> capturedQuery;
  {
    viewer::Statement table(
        *db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'captures'");
    if (table.Step()) {
      capturedQuery = std::make_unique<viewer::Statement>(
          *db, "SELECT captured FROM captures WHERE number = ?1");
    }
  }
  auto capturedOf = [&](std::int64_t number) {
    if (!capturedQuery) return std::string();
    capturedQuery->Bind(1, number);
    const std::int64_t captured = capturedQuery->Step() ? capturedQuery->Integer(0) : 0;
    capturedQuery->Reset();
    return captured > 0 ? warc::FormatWarcDate(captured) : std::string();
  };
  const fs::path partial = file.string() + ".partial";
  std::error_code ec;
  std::size_t exported = 0;
  try {
    warc::Writer writer(partial.string());
    std::random_device seed;
    std::mt19937_64 random((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    auto recordId = [&] {
      const std::uint64_t high = (random() & ~0xF000ULL) | 0x4000ULL;       // version 4
      const std::uint64_t low = (random() & ~(3ULL << 62)) | (2ULL << 62);  // variant 1
      char text[64];
      std::snprintf(text, sizeof text, "<urn:uuid:%08llx-%04llx-%04llx-%04llx-%012llx>",
                    static_cast<unsigned long long>(high >> 32),
                    static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                    static_cast<unsigned long long>(high & 0xFFFF),
                    static_cast<unsigned long long>(low >> 48),
                    static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
      return std::string(text);
    };
    const std::string date = warc::FormatWarcDate(info.created);
    const std::string infoId = recordId();
    std::string fields = "software: quillon-disc 0.1.0\r\nformat: WARC File Format 1.1\r\n";
    if (!info.title.empty() && !HasControlCharacter(info.title)) {
      fields += "description: " + info.title + "\r\n";
    }
    writer.Write({{"WARC-Type", "warcinfo"},
                  {"WARC-Record-ID", infoId},
                  {"WARC-Date", date},
                  {"WARC-Filename", file.filename().string()},
                  {"Content-Type", "application/warc-fields"}},
                 fields.size(), [&](const warc::Sink& sink) { sink(fields); });
    for (const DocumentRow& row : rows) {
      // A line break would end the record's head early: such an entry cannot be written.
      if (HasControlCharacter(row.url) || HasControlCharacter(row.redirectUrl)) continue;
      ++exported;
      std::string head;
      fs::path body;
      std::uint64_t size = 0;
      if (!row.redirectUrl.empty()) {
        head =
            "HTTP/1.1 302 Found\r\nLocation: " + row.redirectUrl + "\r\nContent-Length: 0\r\n\r\n";
      } else {
        body = disc / DocumentPath(row.number, row.extension);
        size = fs::file_size(body, ec);
        if (ec) throw ToolError(body.string() + ": " + ec.message() + " (quillon-disc check)");
        std::string type = HasControlCharacter(row.contentType) ? "" : row.contentType;
        if (type.empty()) type = std::string(ExtensionContentType(row.extension));
        if (type.empty()) type = "application/octet-stream";
        head = "HTTP/1.1 200 OK\r\nContent-Type: " + type +
               "\r\nContent-Length: " + std::to_string(size) + "\r\n";
        if (row.lastModified > 0) {
          head +=
              "Last-Modified: " + FormatHttpDate(static_cast<HttpTime>(row.lastModified)) + "\r\n";
        }
        head += "\r\n";
      }
      Sha1 block, payload;
      block.Update(head);
      if (!body.empty()) {
        ReadFile(body, [&](std::string_view piece) {
          block.Update(piece);
          payload.Update(piece);
        });
      }
      const std::string captured = capturedOf(row.number);
      std::vector<warc::Field> recordFields = {
          {"WARC-Type", "response"},
          {"WARC-Record-ID", recordId()},
          {"WARC-Date", captured.empty() ? date : captured},
          {"WARC-Target-URI", row.url},
          {"WARC-Warcinfo-ID", infoId},
          {"Content-Type", "application/http;msgtype=response"},
          {"WARC-Block-Digest", block.Base32()},
          {"WARC-Payload-Digest", payload.Base32()},
      };
      std::uint64_t written = 0;
      writer.Write(recordFields, head.size() + size, [&](const warc::Sink& sink) {
        sink(head);
        if (!body.empty()) {
          ReadFile(body, [&](std::string_view piece) {
            // Never more than the size announced, should the file grow meanwhile.
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(piece.size(), size - written));
            written += take;
            sink(piece.substr(0, take));
          });
        }
      });
    }
    writer.Close();
    fs::rename(partial, file);
  } catch (const std::runtime_error& e) {
    fs::remove(partial, ec);
    if (dynamic_cast<const ToolError*>(&e) != nullptr) throw;
    throw ToolError(e.what());
  }
  return exported;
}

}  // namespace quillon::disc
