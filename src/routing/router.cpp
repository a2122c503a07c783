#include "routing/router.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "common/ascii.h"
#include "common/constants.h"
#include "filter/viewer_link.h"
#include "names/document_name.h"
#include "names/http_date.h"
#include "platform/desktop.h"
#include "platform/file_system.h"
#include "responses/document_server.h"
#include "responses/fallback.h"
#include "responses/reply.h"
#include "routing/header_ops.h"

namespace quillon {

namespace {

constexpr std::string_view kHttpScheme = "http://";
constexpr int kDefaultPort = 80;
constexpr int kHighestPort = 65535;

// One request's working values.
struct Request {
  FilterCall call;
  HTTP_FILTER_PREPROC_HEADERS* headers;
  std::string address;
  std::string referrer;
  std::string userAgent;
  CatalogueEntry entry;

  std::string Header(const char* name) const { return ReadRequestHeader(call, headers, name); }
  void SetHeader(const char* name, std::string value) const {
    headers->SetHeader(call.context, const_cast<char*>(name), value.data());
  }
  void AddHeader(const char* name, std::string value) const {
    headers->AddHeader(call.context, const_cast<char*>(name), value.data());
  }
  // A request from outside the local entry's own pages (an empty referrer counts as outside).
  bool LocalEntry() const {
    return StartsWithIgnoreCase(address, kLocalPrefix) &&
           !StartsWithIgnoreCase(referrer, kLocalPrefix);
  }
  const char* NoContentStatus() const {
    return userAgent.find(kOldBrowserMarker) != std::string::npos ? kStatusNoContentOld
                                                                  : kStatusNoContent;
  }
};

std::string_view After(std::string_view text, std::string_view prefix) {
  return text.substr(text.size() < prefix.size() ? text.size() : prefix.size());
}

enum class Segments {
  kPath,     // a file path: names are taken as they are
  kAddress,  // an address a browser will resolve: it reads "%2e" as a dot
};

bool IsClimbingSegment(std::string_view segment, Segments kind) {
  if (segment == "..") return true;
  return kind == Segments::kAddress &&
         (AsciiEqualsIgnoreCase(segment, ".%2e") || AsciiEqualsIgnoreCase(segment, "%2e.") ||
          AsciiEqualsIgnoreCase(segment, "%2e%2e"));
}

// Paths and addresses built from a request address must stay on the disc: a ".." segment,
// between separators of either kind or at either end, would climb out of it.
bool ClimbsOutOfDisc(std::string_view relative, Segments kind = Segments::kPath) {
  std::size_t start = 0;
  while (start <= relative.size()) {
    std::size_t end = relative.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = relative.size();
    if (IsClimbingSegment(relative.substr(start, end - start), kind)) return true;
    start = end + 1;
  }
  return false;
}

// The extension of a path's final component, without its dot; each part at most 255 characters.
std::string_view PathExtension(std::string_view path) {
  std::size_t separator = path.find_last_of("/\\");
  std::string_view name = separator == std::string_view::npos ? path : path.substr(separator + 1);
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return {};
  std::string_view extension = name.substr(dot, kPathPartLimit);
  return extension.substr(1);
}

// "file://" and the absolute path: three slashes in all, whether the path starts with one
// ("/disc/") or with a drive letter.
std::string FileAddress(std::string_view path) {
  std::string address = kFileUrlScheme;
  if (path.empty() || path.front() != '/') address.push_back('/');
  return address.append(path);
}

DWORD Finished() { return kStatusFinished; }
DWORD PassOn() { return kStatusNextNotification; }

DWORD AnswerOptions(const Request& r) {
  SendSimpleReply(r.call, nullptr, r.NoContentStatus());
  platform::CurrentDesktop().NotifyViewerWindow();  // after the reply has gone out
  return Finished();
}

DWORD LaunchFromDisc(Request& r) {
  const std::string rest =
      RepairCollapsedScheme(After(r.address, kDirectPrefix), SchemeRepair::kCanonical);
  const bool found = FindEntryByUrl(rest.c_str(), r.entry);
  std::string relative;
  if (found && !r.entry.redirectUrl.empty()) {
    relative = After(r.entry.redirectUrl, kBarePrefix);
  } else if (StartsWithIgnoreCase(rest, kBarePrefix)) {
    relative = After(rest, kBarePrefix);
  } else if (found) {
    relative = kNativeDocsFolder + DocumentFileName(r.entry.number) + "." + r.entry.extension;
  } else {
    relative = rest;
  }
  // A file name has no query: a page's "readme.txt?0" opens readme.txt.
  relative.resize(std::min(relative.size(), relative.find('?')));
  // With no disc linked there is no root to put in front, and the rest alone may name any file
  // of the machine ("//etc/passwd").
  const std::string& root = DiscRootPath();
  // The shell follows links: only a file that opens beneath the disc's folder, no link leading
  // out on the way, is handed to it.
  if (!root.empty() && !ClimbsOutOfDisc(relative) &&
      platform::CurrentFileSystem().OpenForReading(root, relative) != nullptr) {
    platform::CurrentDesktop().OpenWithDefaultAction(root + relative);
  }
  SendSimpleReply(r.call, nullptr, r.NoContentStatus());
  return Finished();
}

DWORD FollowLiveRoute(Request& r) {
  r.address = RepairCollapsedScheme(After(r.address, kLivePrefix), SchemeRepair::kPreserving);
  if (!StartsWithIgnoreCase(r.referrer, kLivePrefix)) {
    r.SetHeader(kHeaderUrl, r.address);
    return PassOn();
  }
  if (!StartsWithIgnoreCase(r.address, kHttpScheme)) {
    // A relative address on a live page: rebuilt on the referring page's host. A port the
    // referring address names (other than the default) is kept, so the link stays on that server.
    const ProxyAddress referring = SplitProxyAddress(
        RepairCollapsedScheme(After(r.referrer, kLivePrefix), SchemeRepair::kPreserving));
    std::string host = referring.host;
    if (referring.port != kDefaultPort && referring.port > 0 && referring.port <= kHighestPort) {
      host.append(1, ':').append(std::to_string(referring.port));
    }
    r.address = std::string(kHttpScheme) + host + "/" + r.address;
  }
  SendRedirect(r.call, r.address);
  return Finished();
}

DWORD AnswerUncatalogued(Request& r) {
  if (StartsWithIgnoreCase(r.address, kProgramPrefix) && IsExecutableAddress(r.address)) {
    return PassOn();
  }
  // The shared folder answers on any host.
  bool misc = false;
  std::string_view name;
  const std::size_t slash = r.address.rfind('/');
  if (slash != std::string::npos &&
      EndsWithIgnoreCase(std::string_view(r.address).substr(0, slash + 1), kMiscFolderTail)) {
    misc = true;
    name = std::string_view(r.address).substr(slash + 1);
  }
  if (misc || StartsWithIgnoreCase(r.address, kBarePrefix)) {
    const std::string relative =
        misc ? std::string(kMiscFolder).append(name) : std::string(After(r.address, kBarePrefix));
    if (ClimbsOutOfDisc(relative)) {
      SendNotFound(r.call);
      return Finished();
    }
    const std::string path = DiscRootPath() + relative;
    StreamFile(r.call, path, ExtensionContentType(PathExtension(path)));
    return Finished();
  }
  if (ViewerMode() == kModeConditionalNotModified && !r.Header(kHeaderIfModifiedSince).empty()) {
    SendSimpleReply(r.call, nullptr, kStatusNotModified);
    return Finished();
  }
  return PassOn();
}

DWORD FetchStaleCopy(Request& r) {
  r.SetHeader(kHeaderUrl, r.address);
  StorePendingReply(r.call, r.entry);
  return PassOn();
}

DWORD AnswerCatalogued(Request& r, bool localEntry) {
  CatalogueEntry& e = r.entry;
  if (localEntry) {
    ServeCatalogueEntry(r.call, e);
    return Finished();
  }
  if (!e.redirectUrl.empty()) {
    // A redirect address that could not go into a reply does not go into the request either.
    if (AsciiEqualsIgnoreCase(r.Header(kHeaderMethod), kPostMethod) &&
        IsExecutableAddress(e.redirectUrl) && !HasControlCharacter(e.redirectUrl)) {
      r.SetHeader(kHeaderUrl, e.redirectUrl);
      return PassOn();
    }
    SendRedirect(r.call, e.redirectUrl);
    return Finished();
  }

  // The browser's own copy is at least as new as the disc's: a 304 (or a fetch whose fallback
  // is a 304) rather than the file.
  const std::string ims = r.Header(kHeaderIfModifiedSince);
  if (!ims.empty()) {
    if (e.staleAfter == 0) {
      ServeCatalogueEntry(r.call, e);
      return Finished();
    }
    if (e.staleAfter < CurrentTime() && ParseHttpDate(ims) >= e.lastModified) {
      if (ViewerMode() == kModeFetchStale) {
        e.fallbackNotModified = 1;
        return FetchStaleCopy(r);
      }
      SendSimpleReply(r.call, nullptr, kStatusNotModified);
      return Finished();
    }
  }

  if (e.staleAfter == 0 || e.staleAfter >= CurrentTime() || ViewerMode() != kModeFetchStale) {
    ServeCatalogueEntry(r.call, e);
    return Finished();
  }
  // Stale, and the viewer wants the network's copy: ask for it since the disc copy's date, with
  // the disc copy as the fallback.
  r.SetHeader(kHeaderUrl, r.address);
  if (e.lastModified != 0) {
    std::string date = FormatHttpDate(e.lastModified);
    if (r.Header(kHeaderIfModifiedSince).empty()) {
      r.AddHeader(kHeaderIfModifiedSince, std::move(date));
    } else {
      r.SetHeader(kHeaderIfModifiedSince, std::move(date));
    }
  }
  StorePendingReply(r.call, e);
  return PassOn();
}

}  // namespace

DWORD RouteRequest(FilterCall call, HTTP_FILTER_PREPROC_HEADERS* headers) {
  Request r{call, headers, {}, {}, {}, {}};
  r.address = r.Header(kHeaderUrl);
  r.referrer = r.Header(kHeaderReferer);
  r.userAgent = r.Header(kHeaderUserAgent);

  if (StartsWithIgnoreCase(r.address, kOptionsPrefix)) return AnswerOptions(r);
  if (StartsWithIgnoreCase(r.address, kDirectPrefix)) return LaunchFromDisc(r);

  // A request for the disc file of a network document that is not a page stands for the
  // document's network address.
  DocumentNumber number = ParseDocumentNumber(r.address);
  if (number >= 0 && FindEntryByNumber(number, r.entry) && r.entry.redirectUrl.empty() &&
      !StartsWithIgnoreCase(r.entry.url, kBarePrefix) && !IsPageExtension(r.entry.extension) &&
      !r.LocalEntry() && !HasControlCharacter(r.entry.url)) {
    r.address = r.entry.url;
  }

  if (EndsWithIgnoreCase(r.address, kBookmarkTail)) {
    r.address = kBookmarksPrefix;
  } else {
    const std::string lowered = AsciiLowered(r.address);
    const std::size_t other = lowered.find(kOtherFolderMarker);
    if (other != std::string::npos) {
      const std::string_view tail = std::string_view(lowered).substr(other);
      if (ClimbsOutOfDisc(tail, Segments::kAddress)) {
        SendNotFound(call);
      } else {
        SendRedirect(call, FileAddress(DiscRootPath() + kDocsName).append(tail));
      }
      return Finished();
    }
  }

  const bool localEntry = r.LocalEntry();
  number = ParseDocumentNumber(r.address);
  if (number >= 0 && FindEntryByNumber(number, r.entry)) {
    if (localEntry) {
      ServeCatalogueEntry(call, r.entry);
      return Finished();
    }
    if (!StartsWithIgnoreCase(r.entry.url, kBarePrefix)) {
      SendRedirect(call, r.entry.url);
      return Finished();
    }
    return AnswerCatalogued(r, localEntry);
  }
  if (FindEntryByUrl(r.address.c_str(), r.entry)) return AnswerCatalogued(r, localEntry);

  if (StartsWithIgnoreCase(r.address, kLivePrefix)) return FollowLiveRoute(r);
  return AnswerUncatalogued(r);
}

}  // namespace quillon
