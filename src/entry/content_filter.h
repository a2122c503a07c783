// The one filter object: registers for the notifications it works on and routes them.
#pragma once

#include "filter/server_filter.h"

namespace quillon {

class ContentFilter : public ServerFilter {
 public:
  BOOL Register(HTTP_FILTER_VERSION* version) override;
  DWORD HandleReadRawData(FilterCall call, HTTP_FILTER_RAW_DATA* rawData) override;
  DWORD HandlePreprocHeaders(FilterCall call, HTTP_FILTER_PREPROC_HEADERS* headers) override;
  DWORD HandleUrlMap(FilterCall call, HTTP_FILTER_URL_MAP* urlMap) override;
  DWORD HandleSendRawData(FilterCall call, HTTP_FILTER_RAW_DATA* rawData) override;
  DWORD HandleEndOfNetSession(FilterCall call) override;

 private:
  // Registered for, but nothing to do: the server goes on.
  static DWORD PassOn();
};

}  // namespace quillon
