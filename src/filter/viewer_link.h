// The link to the viewer: what it hands over through QuillonSupportProc, and the catalogue
// lookups, disc root and mode built on it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "names/document_name.h"
#include "names/http_date.h"

namespace quillon {

class CatalogueSource;
class Catalogue;

// The viewer's objects are a binary contract with a separately built viewer: their virtual slots
// are numbered, so the unused ones are declared as reserved functions, and there is no virtual
// destructor (it would take slots). The filter never destroys them. Texts are NUL-terminated and
// owned by the viewer; a null text counts as empty.
class ViewerServices {
 public:
  virtual const char* GetRootPath() = 0;              // 0: ends in a path separator
  virtual CatalogueSource* GetCatalogueSource() = 0;  // 1
  virtual void ReservedSlot2() {}                     // 2
  virtual void ReservedSlot3() {}                     // 3
  virtual void ReservedSlot4() {}                     // 4
  virtual std::int32_t GetMode() = 0;                 // 5

 protected:
  ~ViewerServices() = default;
};

class CatalogueSource {
 public:
  virtual void ReservedSlot0() {}         // 0
  virtual Catalogue* GetCatalogue() = 0;  // 1: null when there is none

 protected:
  ~CatalogueSource() = default;
};

// One current record, chosen by a seek and read by the getters.
class Catalogue {
 public:
  virtual DocumentNumber GetNumber() = 0;             // 0
  virtual const char* GetUrl() = 0;                   // 1
  virtual const char* GetExtension() = 0;             // 2: without the dot
  virtual const char* GetContentType() = 0;           // 3: may be empty
  virtual void ReservedSlot4() {}                     // 4
  virtual HttpTime GetStaleAfter() = 0;               // 5: 0 = none
  virtual HttpTime GetLastModified() = 0;             // 6: 0 = none
  virtual const char* GetRedirectUrl() = 0;           // 7: may be empty
  virtual int SeekNumber(DocumentNumber number) = 0;  // 8: nonzero when found
  virtual int SeekUrl(const char* address) = 0;       // 9: nonzero when found

 protected:
  ~Catalogue() = default;
};

// One catalogue document, holding its own copies.
struct CatalogueEntry {
  DocumentNumber number = 0;
  std::string url;
  std::string contentType;
  std::string extension;
  std::string redirectUrl;
  HttpTime staleAfter = 0;
  HttpTime lastModified = 0;
  // Set by the router, never by a lookup: the fallback answers 304 instead of the disc copy.
  std::int32_t fallbackNotModified = 0;
};

// Module-wide record of what the viewer handed over. The viewer hands it over on its own thread
// while the server's threads read it, so each hand-over is published whole, read without a lock
// (every request reads it, and a lock there was contended on a busy server) and kept for the
// module's life, as the viewer keeps its objects; hand-overs are rare. A lookup (a seek and seven
// reads of the catalogue's single current record) holds one lock from the seek to the last read,
// so a catalogue need not be thread-safe itself.
class ViewerLink {
 public:
  // Returns viewer when accepted, null when refused.
  ViewerServices* Accept(std::uint32_t code, ViewerServices* viewer);

  bool FindByNumber(DocumentNumber number, CatalogueEntry& entry);
  bool FindByUrl(const char* address, CatalogueEntry& entry);
  // Valid for the module's life.
  const std::string& RootPath() const;
  std::int32_t Mode() const;

 private:
  struct HandOver {
    ViewerServices* viewer = nullptr;
    Catalogue* catalogue = nullptr;
    std::string rootPath;
  };
  template <typename Seek>
  bool Find(Seek seek, CatalogueEntry& entry);

  std::atomic<const HandOver*> current_{nullptr};
  std::mutex acceptMutex_;                            // hand-overs one at a time
  std::vector<std::unique_ptr<HandOver>> handOvers_;  // every one, as a reader may hold any

  std::mutex lookupMutex_;
};

// The module's one link, built before the filter and destroyed after it.
extern ViewerLink theViewerLink;

bool FindEntryByNumber(DocumentNumber number, CatalogueEntry& entry);
bool FindEntryByUrl(const char* address, CatalogueEntry& entry);
const std::string& DiscRootPath();
// 0 while no viewer is linked: neither of the modes the router acts on.
std::int32_t ViewerMode();

}  // namespace quillon
