// The filter's own replies: one send-response-header request, then zero or more writes.
#pragma once

#include <cstddef>
#include <string_view>

#include "filter/server_filter.h"

namespace quillon {

// "302 redirect" with "Location: target" and "Content-Length: 0"; no body. The target is sent
// as it is, whatever its length. A target holding a control character would break the header
// block (a CR LF starts a header of its own): it comes from a damaged catalogue entry, so the
// answer is a redirect-free 500. Not a 404: the address exists, and a browser or cache must not
// learn that it does not; the fault lies with the disc.
void SendRedirect(FilterCall call, std::string_view target);

// "500 Internal Server Error", no body: catalogue data that cannot go into a reply.
void SendServerError(FilterCall call);

// statusText with "Content-Type: text/html" and the body's length; the body (null or NUL-ended)
// is written only when the server accepted the header.
void SendSimpleReply(FilterCall call, const char* body, const char* statusText);

// The two server calls every reply is made of. statusText null means the server's default status.
bool SendResponseHeader(FilterCall call, const char* statusText, const char* headerBlock);
bool WriteToClient(FilterCall call, const char* bytes, std::size_t count);

}  // namespace quillon
