// ZIM files (offline copies of web sites, one file each) as the material of a disc: every content
// entry a document, every redirect entry a redirect, the main page a redirect from "/". Read with
// libzim one entry at a time, so memory stays flat in the number of entries.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disc_builder.h"

namespace zim {
class Archive;
}

namespace quillon::disc {

// A ZIM file that cannot be read as one: a bad header, pointers out of range, a checksum that
// does not match. quillon-disc exits 2 on it.
class ZimError : public ToolError {
 public:
  using ToolError::ToolError;
};

// A DNS label is at most this long.
inline constexpr std::size_t kLongestLabel = 63;
// The top-level label of hosts named after a ZIM's Name metadata.
inline constexpr std::string_view kZimTopLabel = "zim";
// A main page reached through more redirects than this is taken as a loop.
inline constexpr int kMostMainRedirects = 8;

// Whether `host` is a DNS name: dot-separated labels of 1 to 63 letters, digits and hyphens, no
// hyphen first or last, at most 253 bytes in all.
bool IsDnsName(std::string_view host);

// The host a ZIM's pages answer for: the host of its Source metadata when that is an address
// with a valid one, else its Name metadata as a label under ".zim" (lower case, other bytes made
// '-', at most 63), else `fallback` (the file's stem) made a label alike. Lower case throughout.
std::string ZimHost(std::string_view source, std::string_view name, std::string_view fallback);

// Whether a path libzim gives is a page to serve: in a file of the old namespaces ("A/Foo",
// "I/pic.png") the metadata (M), title indexes (X) and full-text index (Z) are not.
bool IsServedZimPath(std::string_view path, bool newNamespaces);

// The address an entry answers for: http://HOST/PATH with the bytes a browser escapes
// percent-encoded, and '%', '?' and '#' too (they belong to the path in a ZIM). Empty when the
// path holds a control byte or the address is longer than a disc holds.
std::string ZimAddress(std::string_view host, std::string_view path);

// The type to send for an entry's MIME type: text in a ZIM is UTF-8, so a text type that names no
// charset gets "; charset=utf-8" (browsers otherwise guess windows-1252).
std::string ZimContentType(std::string_view mimeType);

// "2024-01-31" (a ZIM's Date metadata) as seconds since 1970; 0 when it is no such date.
std::int64_t ParseZimDate(std::string_view date);

// The file libzim is to open: FOO.zimaa, the first part of a split file, opens as FOO.zim (libzim
// then reads FOO.zimaa, FOO.zimab, ... as one) unless FOO.zim itself is there.
std::filesystem::path ZimOpenPath(const std::filesystem::path& file);

class ZimBytes;

// An opened ZIM file and what was checked of it.
struct ZimArchive {
  ZimArchive();
  ~ZimArchive();
  std::unique_ptr<zim::Archive> archive;
  std::unique_ptr<ZimBytes> bytes;   // its raw bytes, for what libzim takes on trust
  std::vector<std::uint32_t> blobs;  // each cluster's number of blobs
  std::uint64_t pathPointers = 0;    // where the table of its entries' records lies
};

// Opens a ZIM file (ZimOpenPath) and refuses one whose pointers or cluster tables are out of
// range before any entry is read; `verify` also compares its checksum, reading the whole file.
// Throws ZimError.
std::unique_ptr<ZimArchive> OpenZimArchive(const fs::path& file, bool verify);

// What an import needs of a ZIM before its entries.
struct ZimFacts {
  std::string host;
  std::string title;      // the Title metadata
  std::string mainUrl;    // the main page's address (redirects followed); empty when none
  std::int64_t date = 0;  // the Date metadata, the documents' last_modified
  std::uint64_t entries = 0;
  bool newNamespaces = true;
};
// `host` empty: from the metadata (ZimHost), `fileStem` the last resort.
ZimFacts ReadZimFacts(const ZimArchive& archive, std::string_view host, std::string_view fileStem);

// One entry of a ZIM file as an import sees it: left out (`skipped` says why), a redirect, or a
// document whose bytes `pieces` gives, one piece a call, until it gives an empty one; valid only
// during the call it is handed to.
struct ZimEntry {
  std::string url;
  std::string redirectUrl;
  std::string skipped;
  FoldedType type;
  std::function<std::string_view()> pieces;
};
// Every entry in the archive's own order (cluster after cluster), one at a time: nothing is kept
// between them. libzim's failures are
// thrown as ZimError; those of `onEntry` pass as they are.
void ReadZimEntries(ZimArchive& archive, const ZimFacts& facts,
                    const std::function<void(const ZimEntry&)>& onEntry);

struct ZimOptions {
  fs::path zim;
  std::string host;     // empty: from the ZIM's metadata
  std::string title;    // create only; empty: the ZIM's Title
  bool verify = false;  // compare the ZIM's checksum first (reads the whole file)
  bool force = false;   // create: replace an existing disc
  std::function<void(std::uint64_t done, std::uint64_t total)> progress;
};

struct ZimSummary {
  std::string host;
  std::string title;
  std::uint64_t entries = 0;  // entries read
  std::uint64_t bytes = 0;    // bytes of the documents written
  std::size_t documents = 0;
  std::size_t redirects = 0;                   // the main page's from "/" among them
  std::map<std::string, std::size_t> skipped;  // entries left out, by reason
};

// A new disc of a ZIM file's entries, built beside `disc` and renamed into place.
ZimSummary CreateFromZim(const fs::path& disc, const ZimOptions& options);
// A ZIM file's entries added to a disc with the next free numbers; addresses the disc holds
// already are kept and counted as skipped. One transaction: on failure the disc is as it was.
ZimSummary AddFromZim(const fs::path& disc, const ZimOptions& options);

}  // namespace quillon::disc
