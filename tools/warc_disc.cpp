#include "warc_disc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <unordered_set>

#include "address.h"
#include "common/ascii.h"
#include "names/http_date.h"
#include "wacz.h"
#include "warc.h"
#include "warc_ledger.h"
#include "warc_stage.h"

namespace quillon::disc {

namespace {

constexpr std::string_view kIndexPage = "index.html";
// The import's ledger, in the stage folder.
constexpr const char kLedgerFile[] = "ledger.db";

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

// Reads the archives' records into staged payloads and the ledger; Finish() resolves what
// waits on other records.
class Importer {
 public:
  Importer(const fs::path& stage, const WarcProblemSink& onProblem)
      : stage_(stage),
        onProblem_(onProblem),
        ledger_(std::make_unique<Ledger>(stage / kLedgerFile)) {}

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

  WarcImport Finish() {
    ResolvePending();
    FoldFolders();
    // The start pages the disc holds, each once.
    std::vector<StartPage> held;
    std::unordered_set<std::string> listed;
    for (StartPage& page : startPages_) {
      if (ledger_->HasCapture(page.url) && listed.insert(page.url).second) {
        held.push_back(std::move(page));
      }
    }
    summary_.documents = ledger_->CountCaptures(false);
    summary_.redirects = ledger_->CountCaptures(true);
    WarcImport result(std::move(ledger_), stage_);
    result.startPages = std::move(held);
    result.summary = summary_;
    return result;
  }

 private:
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

  void Skip(const std::string& why) { ++summary_.skipped[why]; }

  // A WARC-Date as the key it is looked up by: the instant, however its fraction is written.
  static std::string DateKey(std::string_view date) {
    const auto parsed = warc::ParseWarcDate(date);
    return parsed ? std::to_string(*parsed) : std::string(date);
  }

  // Files what a record gave under its id and its address and date.
  std::int64_t Register(std::string_view recordId, const std::string& uriDate,
                        const Payload& payload) {
    const std::int64_t id = ledger_->AddPayload(payload);
    ledger_->File(Ledger::Key::kRecordId, recordId, id, true);
    ledger_->File(Ledger::Key::kUriDate, uriDate, id, true);
    return id;
  }

  // A resolved revisit stands for its payload too: a later revisit may point to it.
  void Register(std::string_view recordId, const std::string& uriDate, std::int64_t id) {
    ledger_->File(Ledger::Key::kRecordId, recordId, id, false);
    ledger_->File(Ledger::Key::kUriDate, uriDate, id, false);
  }

  std::optional<std::int64_t> Resolve(const Revisit& revisit) {
    auto payload = ledger_->Find(Ledger::Key::kRecordId, revisit.refersTo);
    if (!payload && !revisit.refersToUri.empty() && !revisit.refersToDate.empty()) {
      payload =
          ledger_->Find(Ledger::Key::kUriDate, revisit.refersToUri + " " + revisit.refersToDate);
    }
    if (!payload) payload = ledger_->Find(Ledger::Key::kDigest, revisit.digest);
    // An original of another date still has the payload a revisit names by its address alone.
    if (!payload) payload = ledger_->FindOriginal(revisit.refersToUri);
    return payload;
  }

  // A revisit's capture, of what the record it points to gave.
  void Take(const std::string& url, Capture capture, std::int64_t id) {
    const Payload payload = ledger_->GetPayload(id);
    if (!payload.skipped.empty()) return Skip(payload.skipped);
    if (!payload.location.empty()) {
      capture.redirect = true;
      capture.location = payload.location;
    }
    capture.payload = id;
    ledger_->Offer(url, capture);
  }

  // Revisits of revisits resolve once those do: again while any does.
  void ResolvePending() {
    for (bool progress = true; progress;) {
      progress = false;
      ledger_->ForEachPending([&](const Revisit& revisit) {
        const auto payload = Resolve(revisit);
        if (!payload) return false;
        progress = true;
        Register(revisit.recordId, revisit.url + " " + revisit.dateKey, *payload);
        Take(revisit.url, revisit.capture, *payload);
        return true;
      });
    }
    const std::size_t left = ledger_->PendingCount();
    if (left > 0) summary_.skipped["revisit of a payload not in the archives"] += left;
  }

  // A folder answered with the very page its index.html holds: one document, and the folder a
  // redirect to it, as a mirror's disc has them.
  void FoldFolders() {
    std::string url;
    Capture folder;
    while (ledger_->NextFolder(url, folder)) {
      const std::string indexUrl = url + std::string(kIndexPage);
      const auto index = ledger_->Latest(indexUrl);
      if (!index || index->redirect) continue;
      bool same = folder.payload == index->payload;
      if (!same) {
        const Payload a = ledger_->GetPayload(folder.payload);
        const Payload b = ledger_->GetPayload(index->payload);
        same = a.size == b.size && a.sha1 == b.sha1 && SameBytes(stage_ / a.file, stage_ / b.file);
      }
      if (same) ledger_->MakeRedirect(url, indexUrl);
    }
  }

  // A record in four steps: what it is (Classify), then for a revisit the payload it points to
  // (ResolveRevisit), for an answer its body staged (Place) and filed in the ledger (Catalogue).
  void Record(warc::Reader& reader) {
    const Classified record = Classify(reader.head(), summary_.records);
    if (record.kind == Kind::kPassed) return;
    if (record.kind == Kind::kSkipped) return Skip(std::string(record.skipped));
    if (record.kind == Kind::kRevisit) return ResolveRevisit(reader, record.url, record.capture);
    RecordAnswer(reader, record.url, record.capture, record.kind == Kind::kResponse);
  }

  enum class Kind { kPassed, kSkipped, kResponse, kResource, kRevisit };
  struct Classified {
    Kind kind = Kind::kPassed;
    std::string_view skipped{};  // why, for kSkipped
    std::string url{};
    Capture capture{};
  };

  // What a record is to the import, from its head alone: passed over (warcinfo, request, an
  // archiver's own resources), skipped (and why), or a capture of an address.
  static Classified Classify(const warc::RecordHead& head, std::uint64_t order) {
    const std::string_view type = head.Type();
    const bool response = type == "response", resource = type == "resource",
               revisit = type == "revisit";
    if (!response && !resource && !revisit) return {};  // warcinfo, request, metadata, ...
    Classified record{Kind::kSkipped, {}, CaptureAddress(head.fields.Get("WARC-Target-URI")), {}};
    if (!IsDiscAddress(record.url)) {
      // A resource of another scheme is the archiver's own (its log, its arguments).
      if (resource && !record.url.starts_with("http")) return {};
      record.skipped = record.url.starts_with("http://") || record.url.starts_with("https://")
                           ? "address too long"
                           : "not an http(s) address";
      return record;
    }
    // A revisit leaves its payload out by design and says so with WARC-Truncated.
    if (!revisit && head.fields.Has("WARC-Truncated")) {
      record.skipped = "truncated by its crawler";
      return record;
    }
    if (head.fields.Has("WARC-Segment-Number")) {
      record.skipped = "segmented record";
      return record;
    }
    record.kind = revisit ? Kind::kRevisit : response ? Kind::kResponse : Kind::kResource;
    record.capture.date = warc::ParseWarcDate(head.fields.Get("WARC-Date")).value_or(0);
    record.capture.order = order;
    return record;
  }

  // A revisit takes the payload of the record it points to, or waits for it.
  void ResolveRevisit(warc::Reader& reader, const std::string& url, const Capture& capture) {
    const warc::RecordHead& head = reader.head();
    Revisit entry{url,
                  capture,
                  std::string(head.fields.Get("WARC-Refers-To")),
                  CaptureAddress(head.fields.Get("WARC-Refers-To-Target-URI")),
                  DateKey(head.fields.Get("WARC-Refers-To-Date")),
                  std::string(head.fields.Get("WARC-Payload-Digest")),
                  std::string(head.fields.Get("WARC-Record-ID")),
                  DateKey(head.fields.Get("WARC-Date"))};
    if (!reader.Finish()) return;  // reported
    const auto payload = Resolve(entry);
    if (!payload) return ledger_->AddPending(entry);  // it may come later
    Take(url, entry.capture, *payload);
    Register(entry.recordId, url + " " + entry.dateKey, *payload);
  }

  // A response's or a resource's record: a redirect, a skipped status, or a payload to stage.
  void RecordAnswer(warc::Reader& reader, const std::string& url, Capture capture, bool response) {
    const warc::RecordHead& head = reader.head();
    const std::string recordId(head.fields.Get("WARC-Record-ID"));
    const std::string uriDate = url + " " + DateKey(head.fields.Get("WARC-Date"));
    std::string contentType(head.fields.Get("Content-Type"));
    std::string held;
    std::string_view rest;
    BodyCoding coding;
    std::int64_t lastModified = 0;
    if (response) {
      warc::HttpHead http;
      if (!ReadHttpHead(reader, http, held, rest)) {
        if (reader.Finish()) Skip("not an HTTP answer");
        return;
      }
      if (http.status >= 300 && http.status < 400 && http.status != 304) {
        return RecordRedirect(reader, url, uriDate, recordId, std::move(capture), http);
      }
      if (http.status != 200) {
        if (!reader.Finish()) return;
        const std::string why = "status " + std::to_string(http.status);
        Register(recordId, uriDate, Payload{.skipped = why});
        return Skip(why);
      }
      contentType = std::string(http.fields.Get("Content-Type"));
      const HttpTime modified = ParseHttpDate(http.fields.Get("Last-Modified"));
      lastModified = modified > 0 ? modified : 0;
      if (const auto why = CodingOf(http, coding)) {
        if (reader.Finish()) Skip(*why);
        return;
      }
    }
    const auto staged = Place(reader, rest, std::move(coding));
    if (!staged) return;
    const viewer::DocumentType type = TypeOfAnswer(contentType, url);
    Catalogue(head, url, std::move(capture), recordId, uriDate,
              {staged->first, staged->second.size, staged->second.sha1, type.extension,
               type.contentType, lastModified});
  }

  // The body decoded into a staged file: its name in the stage folder, its size and SHA-1;
  // nothing when the record broke (reported) or the body cannot be decoded (counted).
  std::optional<std::pair<std::string, viewer::FileFacts>> Place(warc::Reader& reader,
                                                                 std::string_view rest,
                                                                 BodyCoding coding) {
    StageFile staged(stage_ / std::to_string(++staged_));
    const char* broken = StageBody(reader, rest, std::move(coding), staged);
    if (!reader.Finish()) return std::nullopt;  // reported; the staged file goes
    if (broken != nullptr) {
      Skip(broken);
      return std::nullopt;
    }
    viewer::FileFacts facts = staged.Keep();
    return std::pair{staged.path().filename().string(), std::move(facts)};
  }

  // Files a staged payload in the ledger under every key a revisit may name it by, and offers
  // it as its address's capture.
  void Catalogue(const warc::RecordHead& head, const std::string& url, Capture capture,
                 std::string_view recordId, const std::string& uriDate, const Payload& payload) {
    const std::int64_t id = Register(recordId, uriDate, payload);
    ledger_->File(Ledger::Key::kDigest, head.fields.Get("WARC-Payload-Digest"), id, false);
    ledger_->OfferOriginal(url, capture.date, id);
    capture.payload = id;
    ledger_->Offer(url, capture);
  }

  void RecordRedirect(warc::Reader& reader, const std::string& url, const std::string& uriDate,
                      const std::string& recordId, Capture capture, const warc::HttpHead& http) {
    const std::string_view location = http.fields.Get("Location");
    if (location.empty()) {
      if (reader.Finish()) Skip("redirect without Location");
      return;
    }
    capture.redirect = true;
    capture.location = warc::ResolveAddress(url, location);
    if (HasControlCharacter(capture.location) || capture.location.size() > 2048) {
      if (reader.Finish()) Skip("bad Location");
      return;
    }
    if (!reader.Finish()) return;
    if (viewer::NormalizeAddress(capture.location) == url) return Skip("redirect to itself");
    Register(recordId, uriDate, Payload{.location = capture.location});
    ledger_->Offer(url, capture);
  }

  // The answer's transfer and content codings; why it is skipped when one cannot be undone.
  static std::optional<std::string> CodingOf(const warc::HttpHead& http, BodyCoding& coding) {
    const std::string transfer = AsciiLowered(http.fields.Get("Transfer-Encoding"));
    if (!transfer.empty() && transfer != "identity") {
      if (transfer != "chunked") return "transfer coding " + transfer;
      coding.chunked = true;
    }
    // Codings are listed in the order they were applied: undone last first.
    std::string_view codings = http.fields.Get("Content-Encoding");
    while (!codings.empty()) {
      const std::size_t comma = codings.rfind(',');
      const std::string_view name = codings.substr(comma == std::string_view::npos ? 0 : comma + 1);
      codings = comma == std::string_view::npos ? std::string_view{} : codings.substr(0, comma);
      auto decoder = warc::ContentDecoder::For(name);
      if (!decoder) return "content coding " + AsciiLowered(name);
      coding.decoders.push_back(std::move(decoder));
    }
    return std::nullopt;
  }

  fs::path stage_;
  const WarcProblemSink& onProblem_;
  std::unique_ptr<Ledger> ledger_;
  WarcSummary summary_;
  std::uint64_t staged_ = 0;  // names the staged files
  std::vector<StartPage> startPages_;
};

}  // namespace

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

}  // namespace quillon::disc
