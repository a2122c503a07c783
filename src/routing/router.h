// The request router: decides, once per request, how it is answered.
#pragma once

#include "filter/isapi.h"
#include "filter/server_filter.h"

namespace quillon {

// Pre-processed headers. SF_STATUS_REQ_FINISHED when the filter answered the request itself,
// SF_STATUS_REQ_NEXT_NOTIFICATION when the server is to go on (perhaps with a rewritten "url"
// and "If-Modified-Since:", and perhaps with the connection's slot armed for the fallback).
DWORD RouteRequest(FilterCall call, HTTP_FILTER_PREPROC_HEADERS* headers);

}  // namespace quillon
