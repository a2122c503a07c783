// The filter's own replies: one send-response-header request, then zero or more writes.
#pragma once

#include <cstddef>
#include <string_view>

#include "filter/server_filter.h"

namespace quillon {

// "302 redirect" with "Location: target" and "Content-Length: 0"; no body. The target is sent
// as it is, whatever its length.
void SendRedirect(FilterCall call, std::string_view target);

// statusText with "Content-Type: text/html" and the body's length; the body (null or NUL-ended)
// is written only when the server accepted the header.
void SendSimpleReply(FilterCall call, const char* body, const char* statusText);

// The two server calls every reply is made of. statusText null means the server's default status.
bool SendResponseHeader(FilterCall call, const char* statusText, const char* headerBlock);
bool WriteToClient(FilterCall call, const char* bytes, std::size_t count);

}  // namespace quillon
