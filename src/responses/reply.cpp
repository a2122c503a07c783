#include "responses/reply.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "common/ascii.h"
#include "common/constants.h"

namespace quillon {

bool SendResponseHeader(FilterCall call, const char* statusText, const char* headerBlock) {
  return call.context->ServerSupportFunction(call.context, SF_REQ_SEND_RESPONSE_HEADER,
                                             const_cast<char*>(statusText),
                                             reinterpret_cast<ULONG_PTR>(headerBlock), 0) != FALSE;
}

bool WriteToClient(FilterCall call, const char* bytes, std::size_t count) {
  DWORD written = static_cast<DWORD>(count);
  BOOL ok = call.context->WriteClient(call.context, const_cast<char*>(bytes), &written, 0);
  return ok != FALSE && written == count;
}

void SendServerError(FilterCall call) { SendSimpleReply(call, nullptr, kStatusServerError); }

void SendRedirect(FilterCall call, std::string_view target) {
  if (HasControlCharacter(target)) {
    SendServerError(call);
    return;
  }
  std::string block;
  block.reserve(target.size() + 40);
  block.append("Location: ").append(target).append("\r\nContent-Length: 0\r\n");
  SendResponseHeader(call, kStatusRedirect, block.c_str());
}

void SendSimpleReply(FilterCall call, const char* body, const char* statusText) {
  const std::size_t length = body != nullptr ? std::strlen(body) : 0;
  char block[kSimpleReplyHeaderSize];
  std::snprintf(block, sizeof block, "Content-Type: %s\r\nContent-Length: %zu\r\n",
                kHtmlContentType, length);
  if (SendResponseHeader(call, statusText, block) && length > 0) {
    WriteToClient(call, body, length);
  }
}

}  // namespace quillon
