#include "zim_disc.h"

#include <fcntl.h>
#include <lzma.h>
#include <openssl/evp.h>
#include <stdlib.h>
#include <unistd.h>
#include <zim/archive.h>
#include <zim/entry.h>
#include <zim/error.h>
#include <zim/item.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <new>
#include <random>

#include "address.h"
#include "common/ascii.h"
#include "disc.h"
#include "search.h"
#include "warc_disc.h"

namespace quillon::disc {

namespace {

using viewer::Database;
using viewer::Statement;

constexpr std::size_t kLongestHost = 253;
constexpr std::size_t kLongestUrl = 1023;
// A document is copied out of the archive in pieces of this size.
constexpr std::uint64_t kPiece = 1024 * 1024;
// Metadata read whole (Title, Name, Source, Date) longer than this is taken as absent.
constexpr std::uint64_t kLongestMetadata = 4096;
// The ZIM header's fields read here (the format's own layout, little-endian).
constexpr std::uint64_t kClusterCountAt = 28;
constexpr std::uint64_t kClusterPointersAt = 48;
constexpr std::uint64_t kPathPointersAt = 32;
constexpr std::uint64_t kEntryCountAt = 24;
// The temporary table that puts the entries in cluster order: little page cache, as the sort
// spills to temporary files rather than growing with the number of entries.
constexpr const char kEntryOrderSchema[] =
    "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -2048; "
    "PRAGMA temp_store = FILE; "
    "CREATE TABLE entry_order (cluster INTEGER, blob INTEGER, entry INTEGER)";
// Decompressed clusters libzim keeps (its ZIM_CLUSTERCACHE; the user's setting wins).
constexpr const char kClusterCache[] = "2";
constexpr std::uint64_t kChecksumAt = 72;
constexpr std::size_t kChecksumSize = 16;  // MD5
// An entry record's head before its path: a redirect's, a link's or deleted entry's, content's.
constexpr std::uint64_t kRedirectMime = 0xFFFF, kLinkMime = 0xFFFE, kDeletedMime = 0xFFFD;
constexpr std::uint64_t kRedirectHead = 12, kShortHead = 8, kContentHead = 16;
constexpr std::uint64_t kDirentClusterAt = 8;
// A cluster's first byte: compression in the low bits, 8-byte offsets when this bit is set.
constexpr unsigned kClusterCompressionMask = 0x0F;
constexpr unsigned kClusterExtendedOffsets = 0x10;
constexpr unsigned kClusterPlain = 1, kClusterXz = 4, kClusterZstd = 5;
// Compressed bytes read to decode a cluster's first offset before it is taken as damaged.
constexpr std::size_t kMostClusterHeadInput = 64 * 1024;
// Old-scheme namespaces that hold no pages: metadata, title indexes, the full-text index.
constexpr std::string_view kUnservedNamespaces = "MXZ";

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

bool IsLabelByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
}

// Lower case, bytes a label cannot hold made '-', no hyphen at either end, at most 63 bytes.
std::string AsLabel(std::string_view text) {
  std::string label;
  for (unsigned char c : text) {
    const auto lower = static_cast<unsigned char>(AsciiLower(static_cast<char>(c)));
    label.push_back(IsLabelByte(lower) ? static_cast<char>(lower) : '-');
  }
  if (label.size() > kLongestLabel) label.resize(kLongestLabel);
  const auto first = label.find_first_not_of('-');
  if (first == std::string::npos) return "";
  return label.substr(first, label.find_last_not_of('-') - first + 1);
}

// The host of "scheme://[user@]host[:port]/...", lower case; empty when there is none.
std::string HostOfAddress(std::string_view address) {
  const auto scheme = address.find("://");
  if (scheme == std::string_view::npos) return "";
  std::string_view rest = address.substr(scheme + 3);
  rest = rest.substr(0, rest.find_first_of("/?#"));
  if (const auto at = rest.rfind('@'); at != std::string_view::npos) rest.remove_prefix(at + 1);
  rest = rest.substr(0, rest.find(':'));
  std::string host;
  for (char c : rest) host.push_back(AsciiLower(c));
  if (!host.empty() && host.back() == '.') host.pop_back();
  return host;
}

// libzim's assertion messages carry a backtrace: the lines before it say what failed.
std::string FirstLines(std::string_view what) {
  std::string said;
  while (!what.empty()) {
    const std::string_view line = what.substr(0, what.find('\n'));
    what.remove_prefix(std::min(what.size(), line.size() + 1));
    if (line.starts_with("/") || line.find("(+0x") != std::string_view::npos) break;
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) continue;
    said += (said.empty() ? "" : "; ") + std::string(line.substr(start));
  }
  return said;
}

// Every failure of libzim, whatever it throws, as a ZimError naming the file; the importer's
// own errors pass as they are.
template <typename F>
auto FromZim(const fs::path& file, F&& f) -> decltype(f()) {
  try {
    return f();
  } catch (const ToolError&) {
    throw;
  } catch (const viewer::SqliteError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw ZimError(file.string() +
                   ": damaged ZIM file: its tables ask for more memory than an import may take");
  } catch (const std::exception& e) {
    throw ZimError(file.string() + ": damaged ZIM file: " + FirstLines(e.what()));
  }
}

// A metadata value, or empty when the archive has none (or one too long to be what it names).
std::string Metadata(const zim::Archive& archive, const std::string& name) {
  try {
    const zim::Item item = archive.getMetadataItem(name);
    if (item.getSize() > kLongestMetadata) return "";
    return std::string(item.getData());
  } catch (const zim::EntryNotFound&) {
    return "";
  }
}

// The entry a redirect chain ends at; throws for a loop.
zim::Entry Followed(const zim::Archive& archive, zim::Entry entry) {
  for (int hops = 0; entry.isRedirect(); ++hops) {
    if (hops == kMostMainRedirects) {
      throw ZimError(archive.getFilename() +
                     ": damaged ZIM file: the main page's redirects go round in a loop");
    }
    entry = archive.getEntryByPath(entry.getRedirectEntryIndex());
  }
  return entry;
}

// The archive's entries through the catalogue writer, inside its open transaction; the disc's
// title too when `setTitle`.
void Import(ZimArchive& archive, Database& db, viewer::CatalogueWriter& writer,
            const ZimOptions& options, ZimSummary& summary, bool setTitle) {
  const ZimFacts facts = ReadZimFacts(archive, options.host, options.zim.stem().string());
  summary.host = facts.host;
  summary.title = facts.title;
  if (setTitle) {
    Statement set(db, "UPDATE disc SET title = ?1");
    set.Bind(1, options.title.empty() ? facts.title : options.title).Step();
  }
  ReadZimEntries(archive, facts, [&](const ZimEntry& entry) {
    ++summary.entries;
    if (options.progress) options.progress(summary.entries, facts.entries);
    if (!entry.skipped.empty()) {
      ++summary.skipped[entry.skipped];
    } else if (writer.Holds(entry.url)) {
      ++summary.skipped["already on the disc"];
    } else if (!entry.redirectUrl.empty()) {
      writer.AddRedirect(entry.url, entry.redirectUrl);
      ++summary.redirects;
    } else {
      viewer::FileFacts written;
      writer.AddDocument({entry.url, entry.type, facts.date, 0}, entry.pieces, &written);
      summary.bytes += written.size;
      ++summary.documents;
    }
  });
  if (!facts.mainUrl.empty() && writer.Holds(facts.mainUrl)) {
    CaptureTables(db).Add({StartPage{facts.mainUrl, facts.title}});
    const std::string root = "http://" + facts.host + "/";
    if (!writer.Holds(root)) {
      writer.AddRedirect(root, facts.mainUrl);
      ++summary.redirects;
    }
  }
}

// Runs `write` inside the writer's transaction: committed when it returns, rolled back (its
// files removed) when it throws.
template <typename Write>
void InTransaction(viewer::CatalogueWriter& writer, Write write) {
  writer.Begin();
  try {
    write();
    writer.Commit();
  } catch (...) {
    writer.Rollback();
    throw;
  }
}

}  // namespace

// The bytes of a ZIM file, whole or split into FILE.zimaa, FILE.zimab, ... as libzim reads it.
class ZimBytes {
 public:
  std::uint64_t size() const {
    return parts_.empty() ? 0 : parts_.back().start + parts_.back().size;
  }
  explicit ZimBytes(const fs::path& path) {
    std::error_code ec;
    if (fs::exists(path, ec)) {
      Add(path);
      return;
    }
    for (char a = 'a'; a <= 'z'; ++a) {
      for (char b = 'a'; b <= 'z'; ++b) {
        const fs::path part = path.string() + a + b;
        if (!fs::exists(part, ec)) return;
        Add(part);
      }
    }
  }
  // Up to `size` bytes at `offset`; fewer at the end.
  std::string Read(std::uint64_t offset, std::size_t size) {
    std::string out;
    for (Part& part : parts_) {
      if (offset >= part.start + part.size || out.size() == size) continue;
      if (offset < part.start) break;
      part.in.seekg(static_cast<std::streamoff>(offset - part.start));
      std::string piece(std::min<std::uint64_t>(size - out.size(), part.start + part.size - offset),
                        '\0');
      part.in.read(piece.data(), static_cast<std::streamsize>(piece.size()));
      piece.resize(static_cast<std::size_t>(part.in.gcount()));
      part.in.clear();
      out += piece;
      offset += piece.size();
    }
    return out;
  }
  std::uint64_t Number(std::uint64_t offset, std::size_t width) {
    const std::string bytes = Read(offset, width);
    if (bytes.size() != width) throw std::runtime_error("a table points past the end of the file");
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = value << 8 | static_cast<unsigned char>(bytes[i]);
    return value;
  }

 private:
  struct Part {
    std::ifstream in;
    std::uint64_t start = 0, size = 0;
  };
  void Add(const fs::path& file) {
    const std::uint64_t start = parts_.empty() ? 0 : parts_.back().start + parts_.back().size;
    parts_.push_back({std::ifstream(file, std::ios::binary), start, fs::file_size(file)});
  }
  std::vector<Part> parts_;
};

ZimArchive::ZimArchive() = default;
ZimArchive::~ZimArchive() = default;

namespace {

// The first `want` bytes a compressed cluster decodes to, read from `at` in pieces; fewer when
// the stream ends or breaks first.
std::string DecodeHead(ZimBytes& bytes, std::uint64_t at, unsigned compression, std::size_t want) {
  // The output grows with what the stream gives, so a table claimed long but cut short takes
  // only what it holds.
  std::string out;
  std::size_t got = 0;
  constexpr std::size_t kStep = 4096;
  const auto room = [&] {
    if (out.size() == got) out.resize(std::min(want, std::max<std::size_t>(2 * got, 16 * kStep)));
  };
  if (compression == kClusterZstd) {
    std::unique_ptr<ZSTD_DStream, decltype(&ZSTD_freeDStream)> stream(ZSTD_createDStream(),
                                                                      ZSTD_freeDStream);
    if (!stream) throw ToolError("out of memory");
    for (std::size_t read = 0; got < want && read < kMostClusterHeadInput + 2 * want;
         read += kStep) {
      const std::string in = bytes.Read(at + read, kStep);
      if (in.empty()) break;
      ZSTD_inBuffer input{in.data(), in.size(), 0};
      std::size_t rc = 1;
      while (input.pos < input.size && got < want && !ZSTD_isError(rc) && rc != 0) {
        room();
        ZSTD_outBuffer output{out.data(), out.size(), got};
        rc = ZSTD_decompressStream(stream.get(), &output, &input);
        got = output.pos;
      }
      if (ZSTD_isError(rc) || rc == 0) break;
    }
  } else if (compression == kClusterXz) {
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_stream_decoder(&stream, UINT64_MAX, 0) != LZMA_OK) throw ToolError("out of memory");
    lzma_ret rc = LZMA_OK;
    for (std::size_t read = 0;
         got < want && rc == LZMA_OK && read < kMostClusterHeadInput + 2 * want; read += kStep) {
      const std::string in = bytes.Read(at + read, kStep);
      if (in.empty()) break;
      stream.next_in = reinterpret_cast<const std::uint8_t*>(in.data());
      stream.avail_in = in.size();
      while (stream.avail_in > 0 && got < want && rc == LZMA_OK) {
        room();
        stream.next_out = reinterpret_cast<std::uint8_t*>(out.data() + got);
        stream.avail_out = out.size() - got;
        rc = lzma_code(&stream, LZMA_RUN);
        got = out.size() - stream.avail_out;
      }
    }
    lzma_end(&stream);
  }
  out.resize(got);
  return out;
}

// libzim sizes a cluster's table of blob offsets by its first offset before it reads the table,
// and takes an entry's blob number on trust: a damaged cluster claiming billions of blobs has it
// reserve gigabytes, a blob number past the table has it read outside it. Each cluster's table is
// decoded here first: it may count no more blobs than the archive has entries, its offsets must
// rise, and a plain cluster's end within the file. Each cluster's blob count is kept for the
// entries to be checked against.
std::vector<std::uint32_t> CheckClusters(ZimBytes& bytes, const fs::path& named) {
  const std::uint64_t clusters = bytes.Number(kClusterCountAt, 4);
  const std::uint64_t pointers = bytes.Number(kClusterPointersAt, 8);
  const std::uint64_t entries = bytes.Number(kEntryCountAt, 4);
  const std::uint64_t most = entries + 1;
  // Every entry has a pointer, every cluster too: counts the file cannot hold are refused before
  // anything is sized by them.
  const std::uint64_t paths = bytes.Number(kPathPointersAt, 8);
  if (paths > bytes.size() || (bytes.size() - paths) / 8 < entries || pointers > bytes.size() ||
      (bytes.size() - pointers) / 8 < clusters) {
    throw ZimError(named.string() + ": damaged ZIM file: its tables run past its end");
  }
  std::vector<std::uint32_t> blobs;
  for (std::uint64_t i = 0; i < clusters; ++i) {
    const auto broken = [&] {
      return ZimError(named.string() + ": damaged ZIM file: cluster " + std::to_string(i) +
                      " has a broken table of contents");
    };
    const std::uint64_t at = bytes.Number(pointers + 8 * i, 8);
    const unsigned info = static_cast<unsigned>(bytes.Number(at, 1));
    const std::size_t width = (info & kClusterExtendedOffsets) != 0 ? 8 : 4;
    const unsigned compression = info & kClusterCompressionMask;
    const bool plain = compression == kClusterPlain || compression == 0;
    if (!plain && compression != kClusterXz && compression != kClusterZstd) {
      blobs.push_back(0);  // libzim refuses the compressions it does not know
      continue;
    }
    const auto decode = [&](std::size_t want) {
      return plain ? bytes.Read(at + 1, want) : DecodeHead(bytes, at + 1, compression, want);
    };
    const auto number = [&](const std::string& text, std::size_t k) {
      std::uint64_t value = 0;
      for (std::size_t j = width; j-- > 0;) {
        value = value << 8 | static_cast<unsigned char>(text[k * width + j]);
      }
      return value;
    };
    const std::string head = decode(width);
    if (head.size() != width) throw broken();
    const std::uint64_t first = number(head, 0);
    if (first % width != 0 || first / width > most || first / width == 0) throw broken();
    const std::size_t count = static_cast<std::size_t>(first / width);
    const std::string table = decode(count * width);
    if (table.size() != count * width) throw broken();
    for (std::size_t k = 1; k < count; ++k) {
      if (number(table, k) < number(table, k - 1)) throw broken();
    }
    if (plain && number(table, count - 1) > bytes.size() - at - 1) throw broken();
    blobs.push_back(static_cast<std::uint32_t>(count - 1));
  }
  return blobs;
}

// libzim reads an entry's record up to the ends of its path and title, and reads past its
// buffer when the file ends first. Every record must have two NUL bytes after its head: those
// after the file's last but one NUL cannot.
void CheckEntryRecords(ZimBytes& bytes, const fs::path& named,
                       const std::vector<std::uint32_t>& blobs) {
  const std::uint64_t count = bytes.Number(kEntryCountAt, 4);
  const std::uint64_t pointers = bytes.Number(kPathPointersAt, 8);
  std::uint64_t lastButOne = 0;  // one past the last but one NUL, 0 when there are not two
  int found = 0;
  for (std::uint64_t end = bytes.size(); end > 0 && found < 2;) {
    const std::uint64_t start = end > kPiece ? end - kPiece : 0;
    const std::string piece = bytes.Read(start, static_cast<std::size_t>(end - start));
    for (std::size_t k = piece.size(); k-- > 0 && found < 2;) {
      if (piece[k] == '\0' && ++found == 2) lastButOne = start + k + 1;
    }
    end = start;
  }
  for (std::uint64_t i = 0; i < count; ++i) {
    const std::uint64_t at = bytes.Number(pointers + 8 * i, 8);
    const std::uint64_t mime = bytes.Number(at, 2);
    const std::uint64_t head = mime == kRedirectMime                       ? kRedirectHead
                               : mime == kLinkMime || mime == kDeletedMime ? kShortHead
                                                                           : kContentHead;
    if (at + head >= lastButOne) {
      throw ZimError(named.string() + ": damaged ZIM file: entry record " + std::to_string(i) +
                     " runs past the end of the file");
    }
    // libzim sorts the entries by cluster into a table as long as the highest cluster number.
    if (head == kContentHead) {
      const std::uint64_t cluster = bytes.Number(at + kDirentClusterAt, 4);
      const std::uint64_t blob = bytes.Number(at + kDirentClusterAt + 4, 4);
      if (cluster >= blobs.size() || blob >= blobs[cluster]) {
        throw ZimError(named.string() + ": damaged ZIM file: entry record " + std::to_string(i) +
                       " points past its cluster");
      }
    }
  }
}

// The MD5 of the bytes before the checksum must be the 16 bytes at its place.
void VerifyChecksum(ZimBytes& bytes, const fs::path& named) {
  const std::uint64_t at = bytes.Number(kChecksumAt, 8);
  if (at == 0) throw ZimError(named.string() + ": the ZIM file has no checksum to verify");
  if (at > bytes.size() || bytes.size() - at < kChecksumSize) {
    throw ZimError(named.string() + ": damaged ZIM file: its checksum lies past its end");
  }
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                  EVP_MD_CTX_free);
  if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
    throw ToolError("MD5 is not available");
  }
  for (std::uint64_t done = 0; done < at;) {
    const std::string piece =
        bytes.Read(done, static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, at - done)));
    if (piece.empty()) throw ZimError(named.string() + ": cannot read it");
    EVP_DigestUpdate(context.get(), piece.data(), piece.size());
    done += piece.size();
  }
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context.get(), digest, &length);
  if (bytes.Read(at, kChecksumSize) != std::string_view(reinterpret_cast<char*>(digest), length)) {
    throw ZimError(named.string() + ": damaged ZIM file: the checksum does not match");
  }
}

}  // namespace

bool IsDnsName(std::string_view host) {
  if (host.empty() || host.size() > kLongestHost) return false;
  std::size_t start = 0;
  while (true) {
    const std::size_t dot = std::min(host.find('.', start), host.size());
    const std::string_view label = host.substr(start, dot - start);
    if (label.empty() || label.size() > kLongestLabel || label.front() == '-' ||
        label.back() == '-') {
      return false;
    }
    for (char c : label) {
      if (!IsLabelByte(static_cast<unsigned char>(AsciiLower(c)))) return false;
    }
    if (dot == host.size()) return true;
    start = dot + 1;
  }
}

std::string ZimHost(std::string_view source, std::string_view name, std::string_view fallback) {
  const std::string fromSource = HostOfAddress(source);
  if (IsDnsName(fromSource)) return fromSource;
  std::string label = AsLabel(name);
  if (label.empty()) label = AsLabel(fallback);
  if (label.empty()) label = "archive";
  return label + "." + std::string(kZimTopLabel);
}

bool IsServedZimPath(std::string_view path, bool newNamespaces) {
  if (path.empty()) return false;
  if (newNamespaces) return true;
  return !(path.size() >= 2 && path[1] == '/' &&
           kUnservedNamespaces.find(path[0]) != std::string_view::npos);
}

std::string ZimAddress(std::string_view host, std::string_view path) {
  std::string raw;
  for (char c : path) {
    if (c == '%') {
      raw += "%25";
    } else if (c == '?') {
      raw += "%3F";
    } else if (c == '#') {
      raw += "%23";
    } else {
      raw.push_back(c);
    }
  }
  const std::string escaped = EscapedAddress(raw);
  if (escaped.empty() && !raw.empty()) return "";
  const std::string url = viewer::NormalizeAddress("http://" + std::string(host) + "/" + escaped);
  return url.size() > kLongestUrl ? "" : url;
}

std::string ZimContentType(std::string_view mimeType) {
  std::string type(mimeType);
  if (StartsWithIgnoreCase(type, "text/") &&
      AsciiLowered(type).find("charset") == std::string::npos) {
    type += "; charset=utf-8";
  }
  return type;
}

std::int64_t ParseZimDate(std::string_view date) {
  using namespace std::chrono;
  int y = 0;
  unsigned m = 0, d = 0;
  char tail = 0;
  const std::string text(date);
  if (std::sscanf(text.c_str(), "%4d-%2u-%2u%c", &y, &m, &d, &tail) != 3) return 0;
  const year_month_day ymd{year{y}, month{m}, day{d}};
  if (!ymd.ok() || y < 1970 || y > 2037) return 0;
  return sys_days{ymd}.time_since_epoch() / seconds{1};
}

fs::path ZimOpenPath(const fs::path& file) {
  const std::string name = file.string();
  std::error_code ec;
  if (name.ends_with(".zimaa")) {
    const fs::path base = name.substr(0, name.size() - 2);
    if (!fs::exists(base, ec)) return base;
  }
  return file;
}

std::unique_ptr<ZimArchive> OpenZimArchive(const fs::path& file, bool verify) {
  std::error_code ec;
  const fs::path path = ZimOpenPath(file);
  if (!fs::exists(path, ec) && !fs::exists(path.string() + "aa", ec)) {
    throw ToolError(file.string() + ": no such file");
  }
  return FromZim(file, [&] {
    auto opened = std::make_unique<ZimArchive>();
    // Before libzim reads a cluster (opening the archive reads its title list's).
    opened->bytes = std::make_unique<ZimBytes>(path);
    if (verify) VerifyChecksum(*opened->bytes, file);
    opened->blobs = CheckClusters(*opened->bytes, file);
    CheckEntryRecords(*opened->bytes, file, opened->blobs);
    opened->pathPointers = opened->bytes->Number(kPathPointersAt, 8);
    // The entries are read cluster after cluster: a few cached clusters do, where libzim's
    // default of 16 holds up to 16 decompressed clusters (32 MiB of 2 MiB ones).
    ::setenv("ZIM_CLUSTERCACHE", kClusterCache, 0);
    opened->archive = std::make_unique<zim::Archive>(path.string());
    zim::Archive* archive = opened->archive.get();
    // The user entries' range comes from a lookup in the file: a damaged one gives more than
    // the file holds, and listing them in cluster order would reserve that many.
    if (archive->getEntryCount() > archive->getAllEntryCount()) {
      throw ZimError(file.string() + ": damaged ZIM file: its entry tables disagree");
    }
    // Pointers out of range make libzim read past its tables: refused before any entry is read.
    for (const auto check : {zim::IntegrityCheck::DIRENT_PTRS, zim::IntegrityCheck::CLUSTER_PTRS,
                             zim::IntegrityCheck::DIRENT_MIMETYPES}) {
      if (!archive->checkIntegrity(check)) {
        throw ZimError(file.string() + ": damaged ZIM file: " +
                       (check == zim::IntegrityCheck::DIRENT_PTRS ? "entry pointers out of range"
                        : check == zim::IntegrityCheck::CLUSTER_PTRS
                            ? "cluster pointers out of range"
                            : "bad MIME type numbers"));
      }
    }
    return opened;
  });
}

ZimFacts ReadZimFacts(const ZimArchive& opened, std::string_view host, std::string_view fileStem) {
  const zim::Archive& archive = *opened.archive;
  return FromZim(archive.getFilename(), [&] {
    ZimFacts facts;
    facts.title = Metadata(archive, "Title");
    facts.date = ParseZimDate(Metadata(archive, "Date"));
    facts.host = host.empty()
                     ? ZimHost(Metadata(archive, "Source"), Metadata(archive, "Name"), fileStem)
                     : AsciiLowered(host);
    facts.entries = archive.getEntryCount();
    facts.newNamespaces = archive.hasNewNamespaceScheme();
    if (archive.hasMainEntry()) {
      facts.mainUrl = ZimAddress(facts.host, Followed(archive, archive.getMainEntry()).getPath());
    }
    return facts;
  });
}

void ReadZimEntries(ZimArchive& opened, const ZimFacts& facts,
                    const std::function<void(const ZimEntry&)>& onEntry) {
  const zim::Archive& archive = *opened.archive;
  FromZim(archive.getFilename(), [&] {
    // Cluster after cluster, as libzim's own efficient listing would go, so that each cluster
    // is decompressed once; but that listing keeps a table of every entry in memory, so the
    // entries' numbers are sorted by cluster in a temporary table on disk instead.
    Database order("", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    order.Execute(kEntryOrderSchema);
    {
      order.Execute("BEGIN");
      Statement add(order, "INSERT INTO entry_order (cluster, blob, entry) VALUES (?1, ?2, ?3)");
      const std::uint64_t count = archive.getEntryCount();
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t dirent = opened.bytes->Number(opened.pathPointers + 8 * i, 8);
        const std::uint64_t mime = opened.bytes->Number(dirent, 2);
        const bool content = mime != kRedirectMime && mime != kLinkMime && mime != kDeletedMime;
        // Redirects and the like first: they read no cluster.
        const auto cluster =
            content ? static_cast<std::int64_t>(opened.bytes->Number(dirent + kDirentClusterAt, 4))
                    : -1;
        const auto blob =
            content
                ? static_cast<std::int64_t>(opened.bytes->Number(dirent + kDirentClusterAt + 4, 4))
                : 0;
        add.Bind(1, cluster).Bind(2, blob).Bind(3, static_cast<std::int64_t>(i)).Step();
        add.Reset();
      }
      order.Execute("COMMIT");
    }
    Statement sorted(order, "SELECT entry FROM entry_order ORDER BY cluster, blob, entry");
    while (sorted.Step()) {
      const zim::Entry entry =
          archive.getEntryByPath(static_cast<zim::entry_index_type>(sorted.Integer(0)));
      ZimEntry read;
      const std::string path = entry.getPath();
      if (!IsServedZimPath(path, facts.newNamespaces)) {
        read.skipped = "metadata or index";
        onEntry(read);
        continue;
      }
      read.url = ZimAddress(facts.host, path);
      if (read.url.empty()) {
        read.skipped = "address a disc cannot hold";
        onEntry(read);
        continue;
      }
      if (entry.isRedirect()) {
        read.redirectUrl =
            ZimAddress(facts.host, archive.getEntryByPath(entry.getRedirectEntryIndex()).getPath());
        if (read.redirectUrl.empty()) read.skipped = "address a disc cannot hold";
        onEntry(read);
        continue;
      }
      // The entry's own record: its cluster and blob numbers, past the MIME type, parameter
      // length, namespace and revision.
      const std::uint64_t dirent =
          opened.bytes->Number(opened.pathPointers + 8 * entry.getIndex(), 8);
      const std::uint64_t cluster = opened.bytes->Number(dirent + kDirentClusterAt, 4);
      const std::uint64_t blob = opened.bytes->Number(dirent + kDirentClusterAt + 4, 4);
      if (cluster >= opened.blobs.size() || blob >= opened.blobs[cluster]) {
        throw ZimError(archive.getFilename() + ": damaged ZIM file: entry " + path +
                       " points past its cluster");
      }
      const zim::Item item = entry.getItem();
      read.type = TypeOfAnswer(ZimContentType(item.getMimetype()), read.url);
      const std::uint64_t size = item.getSize();
      std::uint64_t offset = 0;
      zim::Blob piece;
      read.pieces = [&]() {
        if (offset >= size) return std::string_view();
        const std::uint64_t length = std::min(kPiece, size - offset);
        piece = item.getData(offset, length);
        if (piece.size() != length) throw ZimError("an entry's data is cut short");
        offset += length;
        return std::string_view(piece.data(), piece.size());
      };
      onEntry(read);
    }
  });
}

ZimSummary CreateFromZim(const fs::path& disc, const ZimOptions& options) {
  if (!options.host.empty() && !IsDnsName(options.host)) {
    throw ToolError(options.host + ": not a valid host name");
  }
  std::error_code ec;
  if (fs::exists(disc, ec) && !options.force) {
    throw ToolError(disc.string() + ": already exists (use --force to replace it)");
  }
  const auto zim = OpenZimArchive(options.zim, options.verify);
  NewDisc made(disc);
  const fs::path& building = made.folder();
  ZimSummary summary;
  {
    Database db((building / viewer::kCatalogueFile).string(),
                SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    // No journal and no syncs while building: the finished disc is synced once, before its rename.
    db.Execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; PRAGMA cache_size = -16384;");
    db.Execute(("PRAGMA application_id = " + std::to_string(viewer::kDiscApplicationId)).c_str());
    db.Execute(viewer::kDiscSchema);
    Statement info(db, "INSERT INTO disc (format_version, title, created) VALUES (?1, '', ?2)");
    info.Bind(1, viewer::kDiscFormatVersion).Bind(2, Now()).Step();
    viewer::CreateSearchTable(db);
    // Not in bulk: a ZIM's many small pages gain nothing from the page thread, and FTS5's
    // default 1 MiB of pending entries keeps the import's memory where it was.
    viewer::CatalogueWriter writer(db, building);
    InTransaction(writer, [&] {
      Import(*zim, db, writer, options, summary, true);
      if (summary.documents + summary.redirects == 0) {
        throw ToolError(options.zim.string() + ": no entries to put on a disc");
      }
      writer.Finish();
    });
    db.Execute("PRAGMA journal_mode = WAL");
  }
  made.PutInPlace();
  return summary;
}

ZimSummary AddFromZim(const fs::path& disc, const ZimOptions& options) {
  if (!options.host.empty() && !IsDnsName(options.host)) {
    throw ToolError(options.host + ": not a valid host name");
  }
  const auto zim = OpenZimArchive(options.zim, options.verify);
  auto db = viewer::OpenCatalogue(disc, true);
  ZimSummary summary;
  try {
    viewer::CatalogueWriter writer(*db, disc);
    InTransaction(writer, [&] { Import(*zim, *db, writer, options, summary, false); });
  } catch (const viewer::SqliteError& e) {
    throw ToolError(disc.string() + ": " + e.Explained());
  }
  return summary;
}

}  // namespace quillon::disc
