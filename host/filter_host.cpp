#include "filter_host.h"

#include "common/ascii.h"

#include <dlfcn.h>

#include <charconv>
#include <cstring>

namespace quillon::host {

namespace http = boost::beast::http;

namespace {

constexpr std::size_t kGatherLimit = 64 * 1024;
constexpr std::size_t kKeptGatherCapacity = 16 * 1024;

// A header name as the filter passes it: "Name:" for a field, "url"/"method"/"version" bare.
std::string_view FieldName(std::string_view name) {
  if (!name.empty() && name.back() == ':') name.remove_suffix(1);
  return name;
}

std::optional<std::uint64_t> ContentLengthOf(std::string_view block) {
  std::size_t start = 0;
  while (start < block.size()) {
    std::size_t end = block.find("\r\n", start);
    if (end == std::string_view::npos) end = block.size();
    std::string_view line = block.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos &&
        AsciiEqualsIgnoreCase(line.substr(0, colon), "Content-Length")) {
      std::string_view value = line.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t'))
        value.remove_prefix(1);
      std::uint64_t length = 0;
      auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
      if (ec == std::errc() && p != value.data()) return length;
    }
    start = end + 2;
  }
  return std::nullopt;
}

}  // namespace

std::unique_ptr<FilterLibrary> FilterLibrary::Load(const std::string& path) {
  std::unique_ptr<FilterLibrary> library(new FilterLibrary());
  library->handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library->handle_ == nullptr) {
    throw HostError("cannot load filter library " + path + ": " + dlerror());
  }
  auto getVersion =
      reinterpret_cast<GetFilterVersionFn>(dlsym(library->handle_, "GetFilterVersion"));
  library->proc_ = reinterpret_cast<HttpFilterProcFn>(dlsym(library->handle_, "HttpFilterProc"));
  library->support_ =
      reinterpret_cast<SupportProcFn>(dlsym(library->handle_, "QuillonSupportProc"));
  if (getVersion == nullptr || library->proc_ == nullptr) {
    throw HostError("filter library " + path + " does not export " +
                    (getVersion == nullptr ? "GetFilterVersion" : "HttpFilterProc"));
  }
  HTTP_FILTER_VERSION version{};
  version.dwServerFilterVersion = 0x00060000;
  if (!getVersion(&version)) throw HostError("filter library " + path + " refused registration");
  library->flags_ = version.dwFlags;
  version.lpszFilterDesc[SF_MAX_FILTER_DESC_LEN - 1] = '\0';
  library->description_ = version.lpszFilterDesc;
  return library;
}

FilterLibrary::~FilterLibrary() {
  // Left loaded: a filter may still be referenced by objects handed to it (the viewer).
}

bool FilterLibrary::Wants(DWORD notification, bool securePort) const {
  const DWORD port = securePort ? SF_NOTIFY_SECURE_PORT : SF_NOTIFY_NONSECURE_PORT;
  return (flags_ & port) != 0 && (flags_ & notification) != 0;
}

DWORD FilterLibrary::Call(HTTP_FILTER_CONTEXT* context, DWORD notification, void* record) const {
  if (!Wants(notification, context->fIsSecurePort != FALSE)) {
    return SF_STATUS_REQ_NEXT_NOTIFICATION;
  }
  return proc_(context, notification, record);
}

FilterSession::FilterSession(const FilterLibrary& library, Writer writer, bool securePort)
    : library_(library), writer_(std::move(writer)) {
  context_.cbSize = sizeof context_;
  context_.Revision = 0x00060000;
  context_.ServerContext = this;
  context_.fIsSecurePort = securePort ? TRUE : FALSE;
  context_.pFilterContext = nullptr;
  context_.GetServerVariable = &FilterSession::GetServerVariable;
  context_.AddResponseHeaders = &FilterSession::AddResponseHeaders;
  context_.WriteClient = &FilterSession::WriteClient;
  context_.AllocMem = &FilterSession::AllocMem;
  context_.ServerSupportFunction = &FilterSession::ServerSupportFunction;
  headers_.GetHeader = &FilterSession::GetHeader;
  headers_.SetHeader = &FilterSession::SetHeader;
  headers_.AddHeader = &FilterSession::AddHeader;
}

FilterSession::~FilterSession() {
  head_ = nullptr;
  library_.Call(&context_, SF_NOTIFY_END_OF_NET_SESSION, nullptr);
}

FilterSession& FilterSession::Of(HTTP_FILTER_CONTEXT* pfc) {
  return *static_cast<FilterSession*>(pfc->ServerContext);
}

void FilterSession::StartRequest(RequestHead* head, bool headOnly) {
  head_ = head;
  reply_ = FilterReply{};
  reply_.headOnly = headOnly;
}

DWORD FilterSession::ReadRawData(std::string_view rawHead) {
  std::string copy(rawHead);  // the filter may change what it is handed
  HTTP_FILTER_RAW_DATA raw{};
  raw.pvInData = copy.data();
  raw.cbInData = static_cast<DWORD>(copy.size());
  raw.cbInBuffer = static_cast<DWORD>(copy.size());
  const DWORD status = library_.Call(&context_, SF_NOTIFY_READ_RAW_DATA, &raw);
  // A reply the filter wrote in any notification goes out before that notification returns:
  // left waiting, it would come before the next answer on the connection.
  FlushPending();
  return status;
}

DWORD FilterSession::PreprocHeaders() {
  const DWORD status = library_.Call(&context_, SF_NOTIFY_PREPROC_HEADERS, &headers_);
  FlushPending();
  return status;
}

void FilterSession::FlushPending() {
  if (pending_.empty()) return;
  if (!writer_(pending_, {})) reply_.failed = true;
  pending_.clear();
  // A kept connection waits with a small buffer, not with the largest it ever gathered.
  if (pending_.capacity() > kKeptGatherCapacity) pending_ = std::string();
}

DWORD FilterSession::UrlMap() {
  if (head_ == nullptr) return SF_STATUS_REQ_NEXT_NOTIFICATION;
  const std::string url(head_->target());
  char physical[1024] = {};
  HTTP_FILTER_URL_MAP map{};
  map.pszURL = url.c_str();
  map.pszPhysicalPath = physical;
  map.cbPathBuff = sizeof physical;
  const DWORD status = library_.Call(&context_, SF_NOTIFY_URL_MAP, &map);
  FlushPending();
  return status;
}

bool FilterSession::PassBlock(std::string_view block) {
  if (!library_.Wants(SF_NOTIFY_SEND_RAW_DATA, context_.fIsSecurePort != FALSE)) return true;
  // The filter gets a copy it may write to; a nested notification (the filter writing from
  // inside this one) takes a buffer of its own.
  std::string local;
  std::string& copy = rawDepth_ == 0 ? rawScratch_ : local;
  copy.assign(block);
  return PassOwnBlock(copy.data(), copy.size());
}

bool FilterSession::PassOwnBlock(char* data, std::size_t size) {
  if (!library_.Wants(SF_NOTIFY_SEND_RAW_DATA, context_.fIsSecurePort != FALSE)) return true;
  ++rawDepth_;
  HTTP_FILTER_RAW_DATA raw{};
  raw.pvInData = data;
  raw.cbInData = static_cast<DWORD>(size);
  raw.cbInBuffer = static_cast<DWORD>(size);
  const bool holding = !pending_.empty();  // what this block follows, sent with it
  const DWORD status = library_.Call(&context_, SF_NOTIFY_SEND_RAW_DATA, &raw);
  // A reply the filter made in there goes out now.
  if (--rawDepth_ == 0 && !holding) FlushPending();
  return status != SF_STATUS_REQ_FINISHED;
}

bool FilterSession::SendBlock(std::string_view block) {
  if (!PassBlock(block)) return true;  // the filter took this block over
  if (pending_.size() + block.size() <= kGatherLimit) {
    pending_.append(block);
    return true;
  }
  const bool sent = writer_(pending_, block);
  pending_.clear();
  if (sent) return true;
  reply_.failed = true;
  return false;
}

BOOL WINAPI FilterSession::GetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                                     LPDWORD size) {
  FilterSession& self = Of(pfc);
  if (self.head_ == nullptr || name == nullptr || size == nullptr) return FALSE;
  const std::string_view key = name;
  std::string value;
  if (key == "url") {
    value = std::string(self.head_->target());
  } else if (key == "method") {
    value = std::string(self.head_->method_string());
  } else if (key == "version") {
    value = self.head_->version() == 10 ? "HTTP/1.0" : "HTTP/1.1";
  } else {
    auto it = self.head_->find(FieldName(key));
    if (it == self.head_->end()) return FALSE;
    value = std::string(it->value());
  }
  const DWORD needed = static_cast<DWORD>(value.size() + 1);
  if (*size < needed || buffer == nullptr) {
    *size = needed;
    return FALSE;
  }
  std::memcpy(buffer, value.c_str(), needed);
  *size = needed;
  return TRUE;
}

BOOL WINAPI FilterSession::SetHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  FilterSession& self = Of(pfc);
  if (self.head_ == nullptr || name == nullptr) return FALSE;
  const std::string_view key = name;
  const std::string_view text = value != nullptr ? value : "";
  if (key == "url") {
    self.head_->target(text);
  } else if (key == "method") {
    self.head_->method_string(text);
  } else if (text.empty()) {
    self.head_->erase(FieldName(key));  // an empty value removes the header
  } else {
    self.head_->set(FieldName(key), text);
  }
  return TRUE;
}

BOOL WINAPI FilterSession::AddHeader(HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPSTR value) {
  FilterSession& self = Of(pfc);
  if (self.head_ == nullptr || name == nullptr || value == nullptr) return FALSE;
  self.head_->insert(FieldName(name), value);
  return TRUE;
}

BOOL WINAPI FilterSession::GetServerVariable(HTTP_FILTER_CONTEXT*, LPSTR, LPVOID, LPDWORD) {
  return FALSE;
}

BOOL WINAPI FilterSession::AddResponseHeaders(HTTP_FILTER_CONTEXT*, LPSTR, DWORD) { return FALSE; }

BOOL WINAPI FilterSession::WriteClient(HTTP_FILTER_CONTEXT* pfc, LPVOID buffer, LPDWORD bytes,
                                       DWORD) {
  FilterSession& self = Of(pfc);
  if (bytes == nullptr || (buffer == nullptr && *bytes != 0)) return FALSE;
  const std::string_view block(static_cast<const char*>(buffer), *bytes);
  if (self.reply_.headOnly && self.reply_.started) return TRUE;  // a HEAD's body is not sent
  if (!self.SendBlock(block)) return FALSE;
  self.reply_.bodyBytes += block.size();
  return TRUE;
}

VOID* WINAPI FilterSession::AllocMem(HTTP_FILTER_CONTEXT* pfc, DWORD size, DWORD) {
  FilterSession& self = Of(pfc);
  self.allocations_.push_back(std::make_unique<char[]>(size == 0 ? 1 : size));
  return self.allocations_.back().get();
}

BOOL WINAPI FilterSession::ServerSupportFunction(HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE request,
                                                 PVOID data, ULONG_PTR ul1, ULONG_PTR) {
  FilterSession& self = Of(pfc);
  if (request != SF_REQ_SEND_RESPONSE_HEADER) return FALSE;
  const char* status = data != nullptr ? static_cast<const char*>(data) : "200 OK";
  const char* lines = ul1 != 0 ? reinterpret_cast<const char*>(ul1) : "";
  std::string head = "HTTP/1.1 ";
  head.append(status).append("\r\n").append(lines).append("\r\n");
  const bool headOnly = self.reply_.headOnly;
  self.reply_ = FilterReply{};
  self.reply_.headOnly = headOnly;
  self.reply_.started = true;
  self.reply_.statusLine = "HTTP/1.1 " + std::string(status);
  self.reply_.contentLength = ContentLengthOf(lines);
  if (self.PassBlock(head)) self.pending_.append(head);
  return TRUE;
}

}  // namespace quillon::host
