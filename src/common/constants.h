// Every fixed value the filter defines, in one place.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/resource_ids.h"

#ifndef QUILLON_CATALOGUE_DOMAIN
#define QUILLON_CATALOGUE_DOMAIN "quillon.internal"
#endif

namespace quillon {

// Registration with the server.
inline constexpr std::uint32_t kNotifySecurePort = 0x00000001;
inline constexpr std::uint32_t kNotifyNonsecurePort = 0x00000002;
inline constexpr std::uint32_t kNotifyEndOfRequest = 0x00000080;
inline constexpr std::uint32_t kNotifyEndOfNetSession = 0x00000100;
inline constexpr std::uint32_t kNotifyLog = 0x00000200;
inline constexpr std::uint32_t kNotifySendRawData = 0x00000400;
inline constexpr std::uint32_t kNotifyUrlMap = 0x00001000;
inline constexpr std::uint32_t kNotifyAuthentication = 0x00002000;
inline constexpr std::uint32_t kNotifyPreprocHeaders = 0x00004000;
inline constexpr std::uint32_t kNotifyReadRawData = 0x00008000;
inline constexpr std::uint32_t kNotifyOrderLow = 0x00020000;
inline constexpr std::uint32_t kNotifyOrderHighMedium = 0x000C0000;
inline constexpr std::uint32_t kNotifyOrderDefault = kNotifyOrderLow;

inline constexpr std::uint32_t kContentFilterFlags =
    kNotifySecurePort | kNotifyNonsecurePort | kNotifyEndOfNetSession | kNotifySendRawData |
    kNotifyUrlMap | kNotifyPreprocHeaders | kNotifyReadRawData | kNotifyOrderLow;
static_assert(kContentFilterFlags == 0x0002D503);

inline constexpr std::uint32_t kFilterVersion = 0x00020001;
inline constexpr unsigned kFilterDescriptionId = IDS_FILTER_DESCRIPTION;
inline constexpr std::size_t kFilterDescriptionLength = 257;  // SF_MAX_FILTER_DESC_LEN

// Filter statuses handed back to the server.
inline constexpr std::uint32_t kStatusFinished = 0x08000000;
inline constexpr std::uint32_t kStatusNextNotification = 0x08000002;

// The viewer hands over its services with this code (low 16 bits).
inline constexpr std::uint32_t kSupportCodeLinkViewer = 1;

// Viewer modes the router acts on.
inline constexpr std::int32_t kModeFetchStale = 3;
inline constexpr std::int32_t kModeConditionalNotModified = 4;

// Header names passed to the server.
inline constexpr const char kHeaderUrl[] = "url";
inline constexpr const char kHeaderMethod[] = "method";
inline constexpr const char kHeaderReferer[] = "Referer:";
inline constexpr const char kHeaderUserAgent[] = "User-Agent:";
inline constexpr const char kHeaderIfModifiedSince[] = "If-Modified-Since:";
inline constexpr std::size_t kHeaderBufferSize = 1024;
// A longer value is read again at the size the server names, up to this many bytes with its NUL.
// A value beyond it reads as empty, like a header the server does not deliver: no request head
// this long comes from a browser.
inline constexpr std::size_t kHeaderValueLimit = 64 * 1024;

// Status texts of the filter's own replies.
inline constexpr const char kStatusRedirect[] = "302 redirect";
inline constexpr const char kStatusNotModified[] = "304 Not Modified";
inline constexpr const char kStatusNoContent[] = "204 No Content";
inline constexpr const char kStatusNoContentOld[] = "204";
inline constexpr const char kStatusNotFound[] = "404 Not Found";
inline constexpr const char kStatusServerError[] = "500 Internal Server Error";
inline constexpr const char kNotFoundBody[] = "<body><h1>HTTP/1.0 404 Object Not Found</h1></body>";
inline constexpr const char kOldBrowserMarker[] = "MSIE 3";
inline constexpr const char kPostMethod[] = "post";

// Reply shapes.
inline constexpr const char kHtmlContentType[] = "text/html";
inline constexpr const char kOctetStreamContentType[] = "application/octet-stream";
inline constexpr std::size_t kSimpleReplyHeaderSize = 1024;
inline constexpr std::size_t kStreamBlockSize = 8192;

// Disc layout.
inline constexpr const char kDocsFolder[] = "docs\\";  // the file layer reads either separator
// A path handed to another program (the desktop's launcher) goes as it is: the platform's own.
#if defined(_WIN32)
inline constexpr const char kNativeDocsFolder[] = "docs\\";
#else
inline constexpr const char kNativeDocsFolder[] = "docs/";
#endif
inline constexpr const char kDocsName[] = "docs";
inline constexpr const char kFileUrlScheme[] = "file://";  // an absolute path follows
inline constexpr const char kMiscFolder[] = "docs/lummisc0/";
inline constexpr const char kBookmarkTail[] = "/lummisc0/bookmark.htm";
inline constexpr const char kOtherFolderMarker[] = "/lumother/";
inline constexpr const char kMiscFolderTail[] = "/lummisc0/";
inline constexpr std::size_t kPathPartLimit = 255;

// The viewer's main window and the command posted to it.
inline constexpr const char kViewerWindowClass[] = "Quillon_Viewer";
inline constexpr std::uint32_t kViewerCommandMessage = 0x0111;  // WM_COMMAND
inline constexpr std::uintptr_t kViewerCommandId = 57664;       // 0xE140
inline constexpr int kShowNormal = 1;                           // SW_SHOWNORMAL
inline constexpr const char kDesktopLauncher[] = "xdg-open";    // the default action elsewhere

// The reserved host name and the routes under it.
inline constexpr const char kCatalogueDomain[] = QUILLON_CATALOGUE_DOMAIN;
inline constexpr const char kBarePrefix[] = "http://" QUILLON_CATALOGUE_DOMAIN "/";
inline constexpr const char kProgramPrefix[] = "http://" QUILLON_CATALOGUE_DOMAIN "/program/";
inline constexpr const char kOptionsPrefix[] = "http://options." QUILLON_CATALOGUE_DOMAIN "/";
inline constexpr const char kDirectPrefix[] = "http://direct." QUILLON_CATALOGUE_DOMAIN "/";
inline constexpr const char kLocalPrefix[] = "http://local." QUILLON_CATALOGUE_DOMAIN "/";
inline constexpr const char kBookmarksPrefix[] = "http://bookmarks." QUILLON_CATALOGUE_DOMAIN "/";
inline constexpr const char kLivePrefix[] = "http://live." QUILLON_CATALOGUE_DOMAIN "/";

}  // namespace quillon
