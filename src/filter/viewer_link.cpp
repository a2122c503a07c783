#include "filter/viewer_link.h"

#include "common/constants.h"

namespace quillon {

namespace {
std::string CopyText(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}
}  // namespace

ViewerServices* ViewerLink::Accept(std::uint32_t code, ViewerServices* viewer) {
  if ((code & 0xFFFF) != kSupportCodeLinkViewer) return nullptr;
  // Nothing to link to: refused rather than crashing on the first call into it.
  if (viewer == nullptr) return nullptr;
  CatalogueSource* source = viewer->GetCatalogueSource();
  Catalogue* catalogue = source != nullptr ? source->GetCatalogue() : nullptr;
  auto handOver =
      std::make_unique<HandOver>(HandOver{viewer, catalogue, CopyText(viewer->GetRootPath())});
  std::lock_guard lock(acceptMutex_);
  current_.store(handOver.get(), std::memory_order_release);
  handOvers_.push_back(std::move(handOver));
  return viewer;
}

template <typename Seek>
bool ViewerLink::Find(Seek seek, CatalogueEntry& entry) {
  // An earlier catalogue stays valid after a new hand-over: the viewer never releases its objects
  // while the server may call the filter.
  const HandOver* linked = current_.load(std::memory_order_acquire);
  Catalogue* catalogue = linked != nullptr ? linked->catalogue : nullptr;
  if (catalogue == nullptr) return false;
  CatalogueEntry found = entry;
  {
    std::lock_guard lock(lookupMutex_);
    if (seek(*catalogue) == 0) return false;
    found.number = catalogue->GetNumber();
    found.url = CopyText(catalogue->GetUrl());
    found.contentType = CopyText(catalogue->GetContentType());
    found.extension = CopyText(catalogue->GetExtension());
    found.redirectUrl = CopyText(catalogue->GetRedirectUrl());
    found.staleAfter = catalogue->GetStaleAfter();
    found.lastModified = catalogue->GetLastModified();
  }
  entry = std::move(found);
  return true;
}

bool ViewerLink::FindByNumber(DocumentNumber number, CatalogueEntry& entry) {
  return Find([number](Catalogue& c) { return c.SeekNumber(number); }, entry);
}

bool ViewerLink::FindByUrl(const char* address, CatalogueEntry& entry) {
  return Find([address](Catalogue& c) { return c.SeekUrl(address); }, entry);
}

const std::string& ViewerLink::RootPath() const {
  static const std::string none;
  const HandOver* linked = current_.load(std::memory_order_acquire);
  return linked != nullptr ? linked->rootPath : none;
}

std::int32_t ViewerLink::Mode() const {
  const HandOver* linked = current_.load(std::memory_order_acquire);
  return linked != nullptr ? linked->viewer->GetMode() : 0;
}

bool FindEntryByNumber(DocumentNumber number, CatalogueEntry& entry) {
  return theViewerLink.FindByNumber(number, entry);
}

bool FindEntryByUrl(const char* address, CatalogueEntry& entry) {
  return theViewerLink.FindByUrl(address, entry);
}

const std::string& DiscRootPath() { return theViewerLink.RootPath(); }

std::int32_t ViewerMode() { return theViewerLink.Mode(); }

}  // namespace quillon
