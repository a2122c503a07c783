// Writing a disc's catalogue: the one place that gives a document its number, puts its file on
// the disc, names it in `documents` and `files` and indexes its text. Making a disc (from a
// mirror or archives) and keeping one current (the proxy's --update-disc) both write through it,
// one document or redirect at a time.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sqlite.h"

namespace quillon::viewer {

// The extension a document is stored with when its type is none the web's documents have (a
// program, a desktop entry, an unknown type): a name nothing on the desktop runs.
inline constexpr const char kOpaqueExtension[] = "bin";

// A document's extension on the disc (lower case, no dot) and the content type stored for it
// (empty when the filter's own table sends the right one for the extension).
struct DocumentType {
  std::string extension;
  std::string contentType;
  bool operator==(const DocumentType&) const = default;
};

// The disc's extension for a file's extension: the filter's own names where its table knows the
// type (html is htm, jpeg is jpg), else the extension as it is with its content type stored.
DocumentType FoldExtension(std::string_view extension);

// The disc's extension and stored type for an answer's Content-Type and its address: the type
// decides where it names a document type of the web (text/html is htm, image/png is png), else
// the address's own extension does. The type is stored unless the filter's table sends exactly
// it for that extension. A type holding a control character is taken as none.
DocumentType TypeOfAnswer(std::string_view contentType, std::string_view url);

// Whether an extension is one a web document type is stored with (htm, css, png, ...).
bool IsWebDocumentExtension(std::string_view extension);

// What a new document the network gives is stored as: TypeOfAnswer by its type alone (the type
// the origin declares is the one a browser goes by, whatever the address's name says), held to
// the web's document types (anything else, or no type, is kOpaqueExtension with its type
// stored).
DocumentType TypeOfNetworkAnswer(std::string_view contentType);

// What the catalogue records of a document's file, for `check` to compare.
struct FileFacts {
  std::uint64_t size = 0;
  std::string sha1;  // lower-case hexadecimal
};

// Hashes a file's bytes as they are written, for `FileFacts`.
class Sha1Hex {
 public:
  Sha1Hex();
  ~Sha1Hex();
  Sha1Hex(const Sha1Hex&) = delete;
  Sha1Hex& operator=(const Sha1Hex&) = delete;
  void Update(std::string_view data);
  std::string Finish();  // lower-case hexadecimal

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Reads a file once: its size and SHA-1, a copy written to `copy` when given, and its first
// kMostReadPage bytes kept in `page` when given. Throws DiscError when it cannot.
FileFacts ReadFileFacts(const std::filesystem::path& file,
                        const std::filesystem::path* copy = nullptr, std::string* page = nullptr);

struct NewDocument {
  std::string url;  // in its normal form
  DocumentType type;
  std::int64_t lastModified = 0;
  std::int64_t staleAfter = 0;
};

class CatalogueWriter {
 public:
  // How a document's file reaches the disc: renamed (a staged file on the disc's file system),
  // or copied (a mirror's file, left as it is).
  enum class Placing { kRename, kCopy };
  // Renames `from` to `relative` under the disc root; the default makes the folder and renames.
  using Placer =
      std::function<void(const std::filesystem::path& from, const std::filesystem::path& relative)>;

  struct Options {
    // A disc being made, which nobody reads meanwhile: the search index is merged once, by
    // Finish(), rather than as it grows, and pages are read and their text extracted on a
    // thread of their own while this one writes the rows.
    bool bulk = false;
    Placer place;  // for Placing::kRename; empty for the default
  };

  // Writes to the catalogue `db` of the disc at `root`; the next number is the one after the
  // highest the catalogue holds.
  CatalogueWriter(Database& db, std::filesystem::path root, Options options);
  CatalogueWriter(Database& db, std::filesystem::path root)
      : CatalogueWriter(db, std::move(root), Options{}) {}
  ~CatalogueWriter();
  CatalogueWriter(const CatalogueWriter&) = delete;
  CatalogueWriter& operator=(const CatalogueWriter&) = delete;

  // One transaction around what is added: BEGIN IMMEDIATE (a reader never waits), COMMIT, and a
  // ROLLBACK that removes the files the rolled-back rows named.
  void Begin();
  void Commit();
  void Rollback() noexcept;

  // The number the next document gets (read again by Begin); kHighestDocumentNumber + 1 once
  // the disc is full.
  std::int64_t next() const { return next_; }
  // Whether the catalogue holds the address (document or redirect).
  bool Holds(std::string_view url);
  // The number and extension of the document (not a redirect) at `url`.
  struct Held {
    std::int64_t number;
    std::string extension;
  };
  std::optional<Held> FindDocument(std::string_view url);

  // Puts `file` on the disc as the next document and names it; returns its number. `facts`,
  // when the caller has them (hashed while staging), spare reading the file again.
  std::int64_t AddDocument(const NewDocument& document, const std::filesystem::path& file,
                           Placing placing, const FileFacts* facts = nullptr);
  // The bytes of a document held in memory or read from an archive: one piece a call, until an
  // empty piece ends them.
  using Pieces = std::function<std::string_view()>;
  // Writes the pieces as the next document's file and names it; returns its number, and what
  // was written in `written` when given.
  std::int64_t AddDocument(const NewDocument& document, const Pieces& pieces,
                           FileFacts* written = nullptr);
  // Names a redirect from `url` to `target` as the next document; returns its number.
  std::int64_t AddRedirect(std::string_view url, std::string_view target,
                           std::int64_t staleAfter = 0);
  // Replaces the file of a held document with `file` (renamed), its date made `lastModified`.
  void ReplaceDocument(const Held& held, const std::filesystem::path& file,
                       std::int64_t lastModified);

  // Merges the search index into one segment, as a finished disc has it; inside the transaction.
  void Finish();

 private:
  std::int64_t Take();
  void ReadNext();
  void Place(const std::filesystem::path& from, const std::filesystem::path& relative);
  void Record(std::int64_t number, const FileFacts& facts);
  void Insert(std::int64_t number, const NewDocument& document);
  void MakeFolderOf(const std::filesystem::path& target);
  FileFacts PlaceAndRead(std::int64_t number, std::string_view extension,
                         const std::filesystem::path& file, Placing placing,
                         const FileFacts* facts);

  struct Statements;
  class PageTexts;
  void IndexPage(std::int64_t number, const std::filesystem::path& file, std::string html);
  void IndexWaitingPages();

  Database& db_;
  std::filesystem::path root_;
  Options options_;
  std::unique_ptr<Statements> statements_;
  std::unique_ptr<PageTexts> texts_;  // a disc being made: pages read beside the writer
  std::int64_t next_ = 0;
  std::int64_t firstAdded_ = 0;       // the first number the open transaction gave
  bool indexed_ = false;              // the catalogue has a search table
  std::filesystem::path lastFolder_;  // made already
};

}  // namespace quillon::viewer
