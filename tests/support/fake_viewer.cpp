#include "support/fake_viewer.h"

#include <cstring>

#include "entry/exports.h"

namespace quillon::testing {

const CatalogueRow& FakeCatalogue::Current() { return rows.at(current_); }

void FakeCatalogue::Note(const char* call) {
  if (record) calls.emplace_back(call);
}

DocumentNumber FakeCatalogue::GetNumber() {
  Note("GetNumber");
  return Current().number;
}
const char* FakeCatalogue::GetUrl() {
  Note("GetUrl");
  return Current().url.c_str();
}
const char* FakeCatalogue::GetExtension() {
  Note("GetExtension");
  return Current().extension.c_str();
}
const char* FakeCatalogue::GetContentType() {
  Note("GetContentType");
  return Current().contentType.c_str();
}
HttpTime FakeCatalogue::GetStaleAfter() {
  Note("GetStaleAfter");
  return Current().staleAfter;
}
HttpTime FakeCatalogue::GetLastModified() {
  Note("GetLastModified");
  return Current().lastModified;
}
const char* FakeCatalogue::GetRedirectUrl() {
  Note("GetRedirectUrl");
  const auto& redirect = Current().redirectUrl;
  return redirect ? redirect->c_str() : nullptr;
}

int FakeCatalogue::SeekNumber(DocumentNumber number) {
  Note("SeekNumber");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].number == number) {
      current_ = i;
      return 1;
    }
  }
  return 0;
}

int FakeCatalogue::SeekUrl(const char* address) {
  Note("SeekUrl");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (rows[i].url == address) {
      current_ = i;
      return 1;
    }
  }
  return 0;
}

FakeViewer::FakeViewer() = default;

FakeViewer::~FakeViewer() {
  if (linked_) UnlinkViewer();
}

const char* FakeViewer::GetRootPath() { return rootPath ? rootPath->c_str() : nullptr; }
CatalogueSource* FakeViewer::GetCatalogueSource() { return this; }
std::int32_t FakeViewer::GetMode() { return mode; }
Catalogue* FakeViewer::GetCatalogue() { return hasCatalogue ? &catalogue : nullptr; }

void FakeViewer::Link() {
  QuillonSupportProc(1, this);
  linked_ = true;
}

void UnlinkViewer() {
  static FakeViewer empty;
  empty.hasCatalogue = false;
  empty.rootPath = std::string();
  QuillonSupportProc(1, &empty);
}

}  // namespace quillon::testing
