// An in-memory viewer: the three viewer objects over a small catalogue, recording the calls the
// filter makes. Its current record is a plain member, deliberately not thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "filter/viewer_link.h"

namespace quillon::testing {

struct CatalogueRow {
  DocumentNumber number = 0;
  std::string url;
  std::string extension;
  std::string contentType;
  std::optional<std::string> redirectUrl = std::string();  // nullopt: the viewer answers null
  HttpTime staleAfter = 0;
  HttpTime lastModified = 0;
};

class FakeCatalogue : public Catalogue {
 public:
  std::vector<CatalogueRow> rows;
  std::vector<std::string> calls;  // recorded only while `record` is set
  bool record = false;

  DocumentNumber GetNumber() override;
  const char* GetUrl() override;
  const char* GetExtension() override;
  const char* GetContentType() override;
  HttpTime GetStaleAfter() override;
  HttpTime GetLastModified() override;
  const char* GetRedirectUrl() override;
  int SeekNumber(DocumentNumber number) override;
  int SeekUrl(const char* address) override;

 private:
  const CatalogueRow& Current();
  void Note(const char* call);
  std::size_t current_ = 0;
};

class FakeViewer : public ViewerServices, public CatalogueSource {
 public:
  FakeViewer();
  ~FakeViewer();
  FakeViewer(const FakeViewer&) = delete;
  FakeViewer& operator=(const FakeViewer&) = delete;
  FakeCatalogue catalogue;
  std::optional<std::string> rootPath = std::string("/disc/");  // nullopt: null text
  std::int32_t mode = 0;
  bool hasCatalogue = true;

  const char* GetRootPath() override;
  CatalogueSource* GetCatalogueSource() override;
  std::int32_t GetMode() override;
  Catalogue* GetCatalogue() override;

  // Hands this viewer to the filter through the export; unlinked again when destroyed.
  void Link();

 private:
  bool linked_ = false;
};

// Links a viewer with no catalogue and an empty root, so no test sees another's catalogue.
void UnlinkViewer();

}  // namespace quillon::testing
