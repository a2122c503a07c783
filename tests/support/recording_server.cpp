#include "support/recording_server.h"

#include <cstring>
#include <memory>

#include "common/ascii.h"
#include "entry/exports.h"
#include "filter/server_filter.h"

namespace quillon::testing {

RecordingServer::RecordingServer() {
  context_.cbSize = sizeof context_;
  context_.ServerContext = this;
  context_.pFilterContext = nullptr;
  context_.WriteClient = &RecordingServer::WriteClient;
  context_.ServerSupportFunction = &RecordingServer::ServerSupportFunction;
  headers_.GetHeader = &RecordingServer::GetHeader;
  headers_.SetHeader = &RecordingServer::SetHeader;
  headers_.AddHeader = &RecordingServer::AddHeader;
}

std::string RecordingServer::Body() const {
  std::string body;
  for (const std::string& w : writes) body += w;
  return body;
}

RecordingServer& RecordingServer::Of(HTTP_FILTER_CONTEXT* pfc) {
  return *static_cast<RecordingServer*>(pfc->ServerContext);
}

BOOL WINAPI RecordingServer::GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size) {
  RecordingServer& self = Of(pfc);
  self.headerReads.emplace_back(name);
  if (self.unfilledHeaders.count(name) != 0) return FALSE;
  for (const auto& [key, value] : self.request) {
    if (!AsciiEqualsIgnoreCase(key, name)) continue;
    DWORD needed = static_cast<DWORD>(value.size() + 1);
    if (*size < needed) {
      *size = needed;
      return FALSE;
    }
    std::memcpy(buffer, value.c_str(), needed);
    *size = needed;
    return TRUE;
  }
  return FALSE;
}

BOOL WINAPI RecordingServer::SetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  RecordingServer& self = Of(pfc);
  self.headerChanges.push_back({"set", name, value});
  self.request[name] = value;
  return TRUE;
}

BOOL WINAPI RecordingServer::AddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  RecordingServer& self = Of(pfc);
  self.headerChanges.push_back({"add", name, value});
  std::string& slot = self.request[name];
  slot = slot.empty() ? std::string(value) : slot + ", " + value;
  return TRUE;
}

BOOL WINAPI RecordingServer::WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes,
                                         DWORD) {
  RecordingServer& self = Of(pfc);
  int index = static_cast<int>(self.writes.size());
  std::string data(static_cast<const char*>(buffer), *bytes);
  self.writes.push_back(data);
  if (self.onSend) self.onSend(data);
  if (index == self.failWriteAt) return FALSE;
  if (index == self.shortWriteAt && *bytes > 0) --*bytes;
  return TRUE;
}

BOOL WINAPI RecordingServer::ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc,
                                                   enum SF_REQ_TYPE request, PVOID data,
                                                   ULONG_PTR ul1, ULONG_PTR) {
  RecordingServer& self = Of(pfc);
  if (request != SF_REQ_SEND_RESPONSE_HEADER) return FALSE;
  SentResponse sent;
  if (data != nullptr) sent.status = static_cast<const char*>(data);
  if (ul1 != 0) sent.headers = reinterpret_cast<const char*>(ul1);
  self.responses.push_back(sent);
  if (self.refuseResponseHeader) return FALSE;
  if (self.onSend) self.onSend(sent.headers);
  return TRUE;
}

DWORD RecordingServer::PreprocHeaders() {
  return HttpFilterProc(&context_, SF_NOTIFY_PREPROC_HEADERS, &headers_);
}

DWORD RecordingServer::SendRawData(std::string_view block) {
  // Exactly block.size() bytes on the heap, so a read past cbInData is caught by the sanitizer.
  std::unique_ptr<char[]> bytes(new char[block.size() == 0 ? 1 : block.size()]);
  std::memcpy(bytes.get(), block.data(), block.size());
  HTTP_FILTER_RAW_DATA raw{};
  raw.pvInData = bytes.get();
  raw.cbInData = static_cast<DWORD>(block.size());
  raw.cbInBuffer = static_cast<DWORD>(block.size());
  return HttpFilterProc(&context_, SF_NOTIFY_SEND_RAW_DATA, &raw);
}

DWORD RecordingServer::EndOfNetSession() {
  return HttpFilterProc(&context_, SF_NOTIFY_END_OF_NET_SESSION, nullptr);
}

CurrentFilterGuard::CurrentFilterGuard() : saved_(CurrentFilter()) {}
CurrentFilterGuard::~CurrentFilterGuard() {
  ExchangeCurrentFilter(static_cast<ServerFilter*>(saved_));
}

}  // namespace quillon::testing
