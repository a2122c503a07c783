#include "filter/server_filter.h"

#include "common/constants.h"

namespace quillon {

namespace {
ServerFilter* currentFilter = nullptr;
}

ServerFilter* CurrentFilter() { return currentFilter; }

ServerFilter* ExchangeCurrentFilter(ServerFilter* filter) {
  ServerFilter* previous = currentFilter;
  currentFilter = filter;
  return previous;
}

ServerFilter::ServerFilter() { currentFilter = this; }

ServerFilter::~ServerFilter() {
  if (currentFilter == this) currentFilter = nullptr;
}

DWORD ServerFilter::Dispatch(HTTP_FILTER_CONTEXT* context, DWORD notificationType,
                             void* notification) {
  FilterCall call{context};
  // Equality, not bit tests: a combined or zero type reaches no handler.
  switch (notificationType) {
    case kNotifyEndOfRequest:
      return HandleEndOfRequest(call);
    case kNotifyEndOfNetSession:
      return HandleEndOfNetSession(call);
    case kNotifyLog:
      return HandleLog(call, static_cast<HTTP_FILTER_LOG*>(notification));
    case kNotifySendRawData:
      return HandleSendRawData(call, static_cast<HTTP_FILTER_RAW_DATA*>(notification));
    case kNotifyUrlMap:
      return HandleUrlMap(call, static_cast<HTTP_FILTER_URL_MAP*>(notification));
    case kNotifyAuthentication:
      return HandleAuthentication(call, static_cast<HTTP_FILTER_AUTHENT*>(notification));
    case kNotifyPreprocHeaders:
      return HandlePreprocHeaders(call, static_cast<HTTP_FILTER_PREPROC_HEADERS*>(notification));
    case kNotifyReadRawData:
      return HandleReadRawData(call, static_cast<HTTP_FILTER_RAW_DATA*>(notification));
    default:
      return kStatusNextNotification;
  }
}

BOOL ServerFilter::Register(HTTP_FILTER_VERSION* version) {
  version->lpszFilterDesc[0] = '\0';
  version->dwFlags = kNotifyOrderDefault;
  version->dwFilterVersion = kFilterVersion;
  return TRUE;
}

DWORD ServerFilter::HandleReadRawData(FilterCall, HTTP_FILTER_RAW_DATA*) {
  return kStatusNextNotification;
}
DWORD ServerFilter::HandlePreprocHeaders(FilterCall, HTTP_FILTER_PREPROC_HEADERS*) {
  return kStatusNextNotification;
}
DWORD ServerFilter::HandleAuthentication(FilterCall, HTTP_FILTER_AUTHENT*) {
  return kStatusNextNotification;
}
DWORD ServerFilter::HandleUrlMap(FilterCall, HTTP_FILTER_URL_MAP*) {
  return kStatusNextNotification;
}
DWORD ServerFilter::HandleSendRawData(FilterCall, HTTP_FILTER_RAW_DATA*) {
  return kStatusNextNotification;
}
DWORD ServerFilter::HandleLog(FilterCall, HTTP_FILTER_LOG*) { return kStatusNextNotification; }
DWORD ServerFilter::HandleEndOfNetSession(FilterCall) { return kStatusNextNotification; }
DWORD ServerFilter::HandleEndOfRequest(FilterCall) { return kStatusNextNotification; }

}  // namespace quillon
