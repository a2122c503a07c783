// The ISAPI server side of the proxy: loads a filter library by path and plays the web server
// it was written for, one FilterSession per browser connection.
#pragma once

#include <boost/beast/http.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "filter/isapi.h"

namespace quillon::host {

class HostError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using RequestHead = boost::beast::http::request_header<>;

class FilterLibrary {
 public:
  // Opens the library, resolves its exports and registers it. Throws HostError with one clear
  // line when any of that fails.
  static std::unique_ptr<FilterLibrary> Load(const std::string& path);
  ~FilterLibrary();
  FilterLibrary(const FilterLibrary&) = delete;
  FilterLibrary& operator=(const FilterLibrary&) = delete;

  DWORD flags() const { return flags_; }
  const std::string& description() const { return description_; }
  // Registered for this notification on the kind of port (secure: TLS) a connection came in on.
  bool Wants(DWORD notification, bool securePort) const;
  DWORD Call(HTTP_FILTER_CONTEXT* context, DWORD notification, void* record) const;
  // The viewer hand-over export, or null for a filter without one.
  using SupportProcFn = void*(WINAPI*)(std::uint32_t, void*);
  SupportProcFn supportProc() const { return support_; }

 private:
  FilterLibrary() = default;
  void* handle_ = nullptr;
  HttpFilterProcFn proc_ = nullptr;
  SupportProcFn support_ = nullptr;
  DWORD flags_ = 0;
  std::string description_;
};

// What the filter sent of its own reply during one request.
struct FilterReply {
  bool started = false;
  std::string statusLine;  // "HTTP/1.1 302 redirect"
  std::optional<std::uint64_t> contentLength;
  std::uint64_t bodyBytes = 0;
  bool failed = false;    // a write to the browser failed
  bool headOnly = false;  // a HEAD: the body the filter writes never goes out
  // Complete by its Content-Length (or, for a HEAD, once its head went out), so the
  // connection may carry another request.
  bool Complete() const {
    return started && !failed && (headOnly || (contentLength && bodyBytes == *contentLength));
  }
};

// One browser connection as the filter sees it: an HTTP_FILTER_CONTEXT whose pFilterContext
// lives as long as the connection, and the server callbacks. Notifications of one session run
// one after another on whichever thread drives it.
class FilterSession {
 public:
  // Writes two pieces to the browser synchronously, in order and in one go when it can; false
  // when they did not all go out.
  using Writer = std::function<bool(std::string_view, std::string_view)>;

  // `securePort`: the browser's requests came through TLS (an https:// address).
  FilterSession(const FilterLibrary& library, Writer writer, bool securePort = false);
  ~FilterSession();  // raises end-of-net-session
  FilterSession(const FilterSession&) = delete;
  FilterSession& operator=(const FilterSession&) = delete;

  // Per request: the head the filter reads and rewrites. `headOnly`: the request is a HEAD, so
  // the server sends no body whatever the filter writes.
  void StartRequest(RequestHead* head, bool headOnly);
  DWORD ReadRawData(std::string_view rawHead);
  DWORD PreprocHeaders();
  DWORD UrlMap();

  // Every block bound for the browser passes here first. False when the filter finished the
  // request in send-raw-data: the block, and the rest of its answer, must not go out.
  bool PassBlock(std::string_view block);
  // The same for a block the caller sends from a buffer of its own: the filter sees that buffer
  // itself, as a server's filter sees the data it is about to send, rather than a copy.
  bool PassOwnBlock(char* data, std::size_t size);
  // PassBlock, then a synchronous write of what passed (after the head still held, if any).
  bool SendBlock(std::string_view block);

  const FilterReply& reply() const { return reply_; }
  // The filter armed a fallback for this request (a disc copy to stand in for the network's).
  bool FallbackArmed() const { return context_.pFilterContext != nullptr; }

 private:
  static FilterSession& Of(HTTP_FILTER_CONTEXT* pfc);
  static BOOL WINAPI GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer, LPDWORD size);
  static BOOL WINAPI SetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI AddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value);
  static BOOL WINAPI GetServerVariable(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                       LPDWORD size);
  static BOOL WINAPI AddResponseHeaders(HTTP_FILTER_CONTEXT* pfc, LPSTR headers, DWORD reserved);
  static BOOL WINAPI WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes,
                                 DWORD reserved);
  static VOID* WINAPI AllocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD reserved);
  static BOOL WINAPI ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request,
                                           PVOID data, ULONG_PTR ul1, ULONG_PTR ul2);

  const FilterLibrary& library_;
  Writer writer_;
  HTTP_FILTER_CONTEXT context_{};
  HTTP_FILTER_PREPROC_HEADERS headers_{};
  RequestHead* head_ = nullptr;
  FilterReply reply_;
  std::vector<std::unique_ptr<char[]>> allocations_;  // AllocMem: freed with the connection
  std::string rawScratch_;  // send-raw-data copies, reused block after block
  int rawDepth_ = 0;
  // What the filter wrote and the browser has not been sent yet: its head and its small blocks
  // gathered into writes of up to kGatherLimit, so that a page costs one system call and a large
  // file one per 64 KiB rather than one per 8 KiB block. All of it goes out before the
  // notification that wrote it returns.
  std::string pending_;
  void FlushPending();
};

}  // namespace quillon::host
