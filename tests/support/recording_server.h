// A recording stand-in for the web server: serves request headers from a map with the published
// GetHeader buffer rules, records every header change, response header and client write, and can
// be told to fail. One instance is one connection.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "filter/isapi.h"

namespace quillon::testing {

struct SentResponse {
  std::optional<std::string> status;  // nullopt: the server's default status
  std::string headers;
  bool operator==(const SentResponse&) const = default;
};

struct HeaderChange {
  std::string op;  // "set" or "add"
  std::string name;
  std::string value;
  bool operator==(const HeaderChange&) const = default;
};

class RecordingServer {
 public:
  RecordingServer();
  RecordingServer(const RecordingServer&) = delete;
  RecordingServer& operator=(const RecordingServer&) = delete;

  HTTP_FILTER_CONTEXT* context() { return &context_; }
  HTTP_FILTER_PREPROC_HEADERS* headers() { return &headers_; }

  // Request headers as the filter names them: "url", "method", "Referer:", ...
  std::map<std::string, std::string> request;

  // Injected failures.
  bool refuseResponseHeader = false;
  std::set<std::string> unfilledHeaders;  // GetHeader answers FALSE and leaves the buffer alone
  int failWriteAt = -1;                   // this WriteClient call (0-based) returns FALSE
  int shortWriteAt = -1;                  // this WriteClient call reports one byte fewer
  // Called after every recorded response header and write: a server that hands the filter's own
  // output back to it as send-raw-data does it here.
  std::function<void(std::string_view bytes)> onSend;

  // What the filter did.
  std::vector<std::string> headerReads;
  std::vector<HeaderChange> headerChanges;
  std::vector<SentResponse> responses;
  std::vector<std::string> writes;
  std::string Body() const;

  // Notifications through the exported HttpFilterProc.
  DWORD PreprocHeaders();
  DWORD SendRawData(std::string_view block);  // the block is copied without a terminating NUL
  DWORD EndOfNetSession();

 private:
  static RecordingServer& Of(HTTP_FILTER_CONTEXT* pfc);
  static BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI AddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes,
                                 DWORD reserved);
  static BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request,
                                           PVOID data, ULONG_PTR ul1, ULONG_PTR ul2);

  HTTP_FILTER_CONTEXT context_{};
  HTTP_FILTER_PREPROC_HEADERS headers_{};
};

// Restores the module's current filter when a test is done swapping it.
class CurrentFilterGuard {
 public:
  CurrentFilterGuard();
  ~CurrentFilterGuard();

 private:
  void* saved_;
};

}  // namespace quillon::testing
