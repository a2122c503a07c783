// What a host hands the filter library when it loads it by path: a viewer whose catalogue holds
// one page, and the least of a server. Nothing here links the filter's code.
#pragma once

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "filter/isapi.h"
#include "filter/viewer_link.h"

namespace quillon::testing {

class OnePageViewer : public ViewerServices, public CatalogueSource, public Catalogue {
 public:
  static constexpr DocumentNumber kNumber = 0x1234;  // disc name lum00012/lum01234.htm
  static constexpr const char* kUrl = "http://site.example/page.htm";

  explicit OnePageViewer(std::string root) : root_(std::move(root)) {}
  const char* GetRootPath() override { return root_.c_str(); }
  CatalogueSource* GetCatalogueSource() override { return this; }
  std::int32_t GetMode() override { return 0; }
  Catalogue* GetCatalogue() override { return this; }
  DocumentNumber GetNumber() override { return kNumber; }
  const char* GetUrl() override { return kUrl; }
  const char* GetExtension() override { return "htm"; }
  const char* GetContentType() override { return ""; }
  HttpTime GetStaleAfter() override { return 0; }
  HttpTime GetLastModified() override { return 0; }
  const char* GetRedirectUrl() override { return ""; }
  int SeekNumber(DocumentNumber number) override { return number == kNumber; }
  int SeekUrl(const char* address) override { return std::strcmp(address, kUrl) == 0; }

 private:
  std::string root_;
};

// Request headers from a map; status texts ("" for the default), header blocks and body kept.
struct MinimalServer {
  std::map<std::string, std::string> request;
  std::vector<std::string> statuses;
  std::vector<std::string> headerBlocks;
  std::string body;
  HTTP_FILTER_CONTEXT context{};
  HTTP_FILTER_PREPROC_HEADERS headers{};

  MinimalServer() {
    context.ServerContext = this;
    context.ServerSupportFunction = [](HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE, PVOID status,
                                       ULONG_PTR block, ULONG_PTR) -> BOOL {
      MinimalServer& self = Of(pfc);
      self.statuses.emplace_back(status != nullptr ? static_cast<const char*>(status) : "");
      self.headerBlocks.emplace_back(reinterpret_cast<const char*>(block));
      return TRUE;
    };
    context.WriteClient = [](HTTP_FILTER_CONTEXT* pfc, LPVOID bytes, LPDWORD count, DWORD) -> BOOL {
      Of(pfc).body.append(static_cast<const char*>(bytes), *count);
      return TRUE;
    };
    headers.GetHeader = [](HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                           LPDWORD size) -> BOOL {
      auto& request = Of(pfc).request;
      auto it = request.find(name);
      if (it == request.end() || it->second.size() + 1 > *size) return FALSE;
      std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
      return TRUE;
    };
  }
  static MinimalServer& Of(HTTP_FILTER_CONTEXT* pfc) {
    return *static_cast<MinimalServer*>(pfc->ServerContext);
  }
};

}  // namespace quillon::testing
