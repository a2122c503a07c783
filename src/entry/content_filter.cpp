#include "entry/content_filter.h"

#include <cstring>

#include "common/constants.h"
#include "platform/resources.h"
#include "responses/fallback.h"
#include "routing/router.h"

namespace quillon {

BOOL ContentFilter::Register(HTTP_FILTER_VERSION* version) {
  ServerFilter::Register(version);
  version->dwFlags = (version->dwFlags & ~kNotifyOrderHighMedium) | kContentFilterFlags;

  char description[kFilterDescriptionLength] = {};
  platform::LoadStringResource(kFilterDescriptionId, description, sizeof description);
  std::memcpy(version->lpszFilterDesc, description, sizeof description);
  return TRUE;
}

DWORD ContentFilter::PassOn() { return kStatusNextNotification; }

DWORD ContentFilter::HandleReadRawData(FilterCall, HTTP_FILTER_RAW_DATA*) { return PassOn(); }

DWORD ContentFilter::HandleUrlMap(FilterCall, HTTP_FILTER_URL_MAP*) { return PassOn(); }

DWORD ContentFilter::HandlePreprocHeaders(FilterCall call, HTTP_FILTER_PREPROC_HEADERS* headers) {
  return RouteRequest(call, headers);
}

DWORD ContentFilter::HandleSendRawData(FilterCall call, HTTP_FILTER_RAW_DATA* rawData) {
  return InspectServerReply(call, rawData);
}

DWORD ContentFilter::HandleEndOfNetSession(FilterCall call) { return DropPendingReply(call); }

}  // namespace quillon
