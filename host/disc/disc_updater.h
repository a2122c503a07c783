// Keeping a served disc current (--update-disc): a 200 answer from the network for an address on
// the disc replaces the disc's copy; with --update-disc=all, new pages of the disc's hosts are
// added. Each copy is written to a file of its own, renamed into place, and then named in one
// catalogue transaction, so a crash leaves the old copy or the new one, never a part of one.
// The disc is read by everyone who uses it, so only what a shared cache may keep goes on it, and
// what the network adds is bounded and never a file the desktop would run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "body_decoder.h"
#include "catalogue_writer.h"
#include "http_rules.h"
#include "sqlite.h"

namespace quillon::host {

// A copy larger than this is not put on the disc.
inline constexpr std::uint64_t kMostUpdateBytes = 64 * 1024 * 1024;
// Copies on their way to the disc are written here, under the disc root.
inline constexpr const char* kUpdatesFolder = kDiscUpdatesFolder;
// The longest address the disc format holds (the filter reads addresses into 1,024 bytes).
inline constexpr std::size_t kLongestDiscAddress = 1023;
// New pages one run may add, unless --update-limit says otherwise.
inline constexpr std::uint64_t kDefaultNewPages = 10000;
inline constexpr std::uint64_t kDefaultNewPageBytes = std::uint64_t{1} << 30;
// The extension of a new document whose type is not a document's (a program, a desktop entry,
// an unknown type): a name nothing on the desktop runs.
using viewer::kOpaqueExtension;

// How much --update-disc=all may add in one run: new pages, and their bytes together.
struct UpdateLimit {
  std::uint64_t pages = kDefaultNewPages;
  std::uint64_t bytes = kDefaultNewPageBytes;
};

// "PAGES[,SIZE]" (--update-limit): a count, then a size in bytes with an optional unit (K, M, G,
// T or KiB, MiB, GiB, TiB: powers of 1,024; KB, MB, GB, TB: of 1,000; B). nullopt when malformed
// or too large.
std::optional<UpdateLimit> ParseUpdateLimit(std::string_view text);

// Whether a store that serves everyone may keep this answer to this request (RFC 9111 3, for a
// shared cache): not when the request carried credentials (Cookie, Authorization) or said
// no-store, nor when the answer says no-store or private or sets a cookie.
bool MayShare(const RequestHead& request, const ResponseHead& answer);

// The coding a Content-Encoding value names (x-gzip as gzip; case and blanks aside); nullopt for
// any other, or for codings stacked one on another.
std::optional<Coding> CodingOf(std::string_view contentEncoding);

// The extension a new document is stored with, from its Content-Type alone (the catalogue
// writer's TypeOfNetworkAnswer): a document type of the web (page, style, script, image, font,
// audio, video, PDF, text, JSON, XML, archive) gives its usual one; any other type, or none,
// gives kOpaqueExtension.
std::string NewDocumentExtension(std::string_view contentType);

class DiscUpdater {
 public:
  // One answer's body on its way to the disc.
  class Copy {
   public:
    ~Copy();
    // Adds a block as it came from the network (coded, when the answer is); a copy that grows
    // too large, fails to decode or cannot be written is dropped, which the log says once.
    void Append(std::string_view data);

   private:
    friend class DiscUpdater;
    void Write(std::string_view data);
    void Drop(const char* why);
    std::unique_ptr<BodyDecoder> decoder_;  // null for an answer without a content coding
    int fd_ = -1;
    std::filesystem::path temporary_;
    std::string url_;
    std::string contentType_;
    std::uint64_t size_ = 0;
    bool failed_ = false;
  };

  // Throws viewer::DiscError when the disc cannot be written.
  DiscUpdater(const std::filesystem::path& disc, bool addNewPages, UpdateLimit limit = {});

  // Removes the copies a stopped proxy left unfinished under the disc's kUpdatesFolder; a disc
  // that cannot be written is left as it is.
  static void RemoveUnfinished(const std::filesystem::path& disc) noexcept;

  // A copy to fill when the answer to a GET of `url` (absolute) is to go on the disc: a 200
  // without a content coding or in one of Coding's that MayShare, for an address on the disc (or,
  // adding new pages, of a host on it, at most kLongestDiscAddress long, within the limit).
  std::unique_ptr<Copy> Begin(std::string_view url, const RequestHead& request,
                              const ResponseHead& answer);
  // Puts a complete copy on the disc; false when it was dropped or could not be written.
  bool Commit(Copy& copy);

 private:
  std::filesystem::path disc_;
  bool addNewPages_;
  std::set<std::string> hosts_;  // "host[:port]" of the disc's addresses
  std::mutex mutex_;             // one write at a time on the one connection
  std::unique_ptr<viewer::Database> db_;
  std::unique_ptr<viewer::CatalogueWriter> writer_;  // on db_
  std::uint64_t copies_ = 0;                         // names the temporary files
  const UpdateLimit limit_;
  std::uint64_t newPages_ = 0;  // added by this run, and their bytes
  std::uint64_t newBytes_ = 0;
  bool limitReached_ = false;  // said once; no new page after it
};

}  // namespace quillon::host
