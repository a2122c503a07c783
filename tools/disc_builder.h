// Making and inspecting discs: the work behind the quillon-disc command.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue_writer.h"
#include "disc.h"

namespace quillon::disc {

namespace fs = std::filesystem;

class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct DocumentRow {
  std::int64_t number = 0;
  std::string url;
  std::string extension;
  std::string contentType;
  std::string redirectUrl;
  std::int64_t staleAfter = 0;
  std::int64_t lastModified = 0;
};

// A record of a WARC file that was left out: the file, its offset there and why.
using WarcProblemSink =
    std::function<void(const fs::path& file, std::uint64_t offset, const std::string& what)>;

// What reading WARC files gave.
struct WarcSummary {
  std::uint64_t records = 0;  // records read, of every type
  std::uint64_t bytes = 0;    // archive bytes read
  std::size_t documents = 0;  // documents and redirects put on the disc
  std::size_t redirects = 0;
  std::size_t broken = 0;  // truncated or corrupt records (also counted in `skipped`)
  std::map<std::string, std::size_t> skipped;  // captures left out, by reason
};

struct CreateOptions {
  fs::path disc;
  fs::path mirror;              // host or host:port folders, as wget --mirror writes them
  std::string scheme = "http";  // the scheme the mirror was made with: http or https
  std::vector<fs::path> warcs;  // WARC files instead of a mirror
  WarcProblemSink onWarcProblem;
  std::optional<fs::path> extra;      // copied into the disc root as it is (docs/lummisc0, ...)
  std::optional<fs::path> redirects;  // lines "URL TARGET"
  std::string title;
  std::optional<std::int64_t> staleAfter;  // seconds after the build
  bool force = false;
  std::function<void(std::size_t done, std::size_t total)> progress;
};

struct CreateSummary {
  std::size_t documents = 0;
  std::size_t redirects = 0;
  std::uint64_t bytes = 0;
  WarcSummary warc;  // when made from WARC files
};

struct AddOptions {
  std::string url{};
  std::optional<fs::path> file{};
  std::string redirectUrl{};
  std::string contentType{};
  std::optional<std::int64_t> staleAfter{};
};

// "7d", "12h", "30m", "45s": the seconds they stand for.
std::int64_t ParseDuration(std::string_view text);

// A mirrored file's name as its address spells it, and the extension that gives its type: a
// query stays in the address ("index.html?lang=en", or wget's "index.html@lang=en"), the type
// comes from the part before it.
struct MirrorName {
  std::string name;
  std::string extension;  // lower case, no dot
};
MirrorName SplitMirrorName(std::string_view fileName);

// The address a mirrored file answers for: scheme + "://" + host (lower case) + "/" + path, with
// the bytes a browser escapes percent-encoded. Throws for a name the disc cannot hold.
std::string MirrorUrl(const fs::path& relative, std::string_view scheme = "http");

// The address with the bytes a browser escapes percent-encoded; empty when it holds a control
// character.
std::string EscapedAddress(std::string_view address);

// Addresses a disc holds: http:// and https://, at most 1023 bytes.
bool IsDiscAddress(std::string_view normalized);

// The disc's extension and the content type to store for a file's extension, and for an
// answer's type and address: the catalogue writer's rule.
using FoldedType = viewer::DocumentType;
using viewer::FoldExtension;
using viewer::TypeOfAnswer;

// The disc file of a document, relative to the disc root.
fs::path DocumentPath(std::int64_t number, std::string_view extension);

// A disc built beside its name and renamed into place when done: an interrupted run leaves no
// half disc under the name. While it lives, the disc's name is locked for replacing, so a proxy
// serving an old disc there refuses the replacement and none opens it while the folders change
// places. The unfinished folder goes with the object unless PutInPlace ran.
class NewDisc {
 public:
  explicit NewDisc(const fs::path& disc);
  ~NewDisc();
  NewDisc(const NewDisc&) = delete;
  NewDisc& operator=(const NewDisc&) = delete;
  const fs::path& folder() const { return building_; }
  // Syncs the finished disc once and renames it into place, the old one (if any) removed.
  void PutInPlace();

 private:
  fs::path disc_;
  fs::path building_;
  std::unique_ptr<viewer::DiscLock> replacing_;
};

CreateSummary CreateDisc(const CreateOptions& options);
DocumentRow AddDocument(const fs::path& disc, const AddOptions& options);
// Adds the captures of WARC files to a disc; addresses it holds already are left as they are.
WarcSummary AddFromWarc(
    const fs::path& disc, const std::vector<fs::path>& warcs, const WarcProblemSink& onProblem,
    const std::function<void(std::uint64_t done, std::uint64_t total)>& progress);
// Writes the disc as a WARC file (WARC/1.1, each record its own gzip member); returns how many
// documents and redirects it wrote (an entry whose address holds a control character cannot be).
std::size_t ExportWarc(const fs::path& disc, const fs::path& file);
std::vector<DocumentRow> ListDocuments(const fs::path& disc);
viewer::DiscInfo ReadDiscInformation(const fs::path& disc);
// Builds the disc's search index anew from its pages; returns how many it indexed.
std::size_t IndexDisc(const fs::path& disc);
std::optional<DocumentRow> FindDocument(const fs::path& disc, std::string_view urlOrNumber);
// Problems found: entries without their file, files no entry names, rows that break the rules,
// files whose size differs from the one recorded at build time; `deep` reads every file and
// compares its SHA-1 too.
std::vector<std::string> CheckDisc(const fs::path& disc, bool deep = false);

}  // namespace quillon::disc
