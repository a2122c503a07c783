// A disc written back out as a WARC file: a response record for each entry.
#include <openssl/evp.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "common/ascii.h"
#include "names/http_date.h"
#include "responses/document_server.h"
#include "warc.h"
#include "warc_disc.h"
#include "warc_stage.h"

namespace quillon::disc {

namespace {

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
