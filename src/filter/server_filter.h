// The filter object behind the two exports, and the notification dispatch.
#pragma once

#include "filter/isapi.h"

namespace quillon {

// What a handler holds for one notification: the connection's context. It lives on the calling
// thread and ends when Dispatch returns.
struct FilterCall {
  HTTP_FILTER_CONTEXT* context;
};

// Base of the filter object. Its virtual slots, in order, are part of its design: Dispatch routes
// a notification by type to one handler in the object's own table.
class ServerFilter {
 public:
  ServerFilter();
  virtual ~ServerFilter();
  ServerFilter(const ServerFilter&) = delete;
  ServerFilter& operator=(const ServerFilter&) = delete;

  virtual DWORD Dispatch(HTTP_FILTER_CONTEXT* context, DWORD notificationType, void* notification);
  virtual BOOL Register(HTTP_FILTER_VERSION* version);
  virtual DWORD HandleReadRawData(FilterCall call, HTTP_FILTER_RAW_DATA* rawData);
  virtual DWORD HandlePreprocHeaders(FilterCall call, HTTP_FILTER_PREPROC_HEADERS* headers);
  virtual DWORD HandleAuthentication(FilterCall call, HTTP_FILTER_AUTHENT* authentication);
  virtual DWORD HandleUrlMap(FilterCall call, HTTP_FILTER_URL_MAP* urlMap);
  virtual DWORD HandleSendRawData(FilterCall call, HTTP_FILTER_RAW_DATA* rawData);
  virtual DWORD HandleLog(FilterCall call, HTTP_FILTER_LOG* log);
  virtual DWORD HandleEndOfNetSession(FilterCall call);
  virtual DWORD HandleEndOfRequest(FilterCall call);
};

// The module-wide current filter: set while the one filter object is built, cleared while it is
// destroyed. Written only at load and unload, so read without a lock.
ServerFilter* CurrentFilter();

// Replaces the current filter and returns the one before. Construction and destruction use it;
// tests use it to run the exports with no filter.
ServerFilter* ExchangeCurrentFilter(ServerFilter* filter);

}  // namespace quillon
