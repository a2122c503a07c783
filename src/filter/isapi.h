// The host/filter contract: Microsoft's published ISAPI filter interface.
//
// On Windows this is the platform's own <httpfilt.h>. Elsewhere the same records are declared here,
// member for member and in the same order, so that a host written against the published interface
// can load this library and drive it. The static_asserts at the end pin the layout on both sides.
//
// What the filter relies on from the host:
//   GetHeader(pfc, name, buffer, &size)
//       name is "url", "method" or "version" (no colon) for the request line, or "Name:" (with the
//       colon) for a request header. Success: TRUE, the value NUL-terminated in buffer, size set to
//       the length including the NUL. Buffer too small: FALSE, size set to the length needed.
//       Header missing: FALSE, buffer untouched.
//   SetHeader / AddHeader(pfc, name, value)
//       The request goes on with the new or added value. Setting "url" changes the request target.
//   ServerSupportFunction(pfc, SF_REQ_SEND_RESPONSE_HEADER, statusText, headerBlock, 0)
//       statusText such as "304 Not Modified", or null for "200 OK"; headerBlock is zero or more
//       lines each ending in CR LF. The host writes the status line in front and ends the header
//       section itself. TRUE when sent.
//   WriteClient(pfc, bytes, &count, 0)
//       TRUE with count unchanged when every byte went out.
//   pFilterContext
//       Null on a new connection; handed back unchanged with every later notification of it.
//       Two notifications of one connection never run at the same time.
//
// What each status returned by HttpFilterProc obliges the host to do:
//   SF_STATUS_REQ_FINISHED           the filter answered; send nothing more for this request (for
//                                    send-raw-data: not even the block being inspected).
//   SF_STATUS_REQ_NEXT_NOTIFICATION  go on with the request; header changes stay in effect.
#pragma once

#if defined(_WIN32)

#include <windows.h>
// windows.h comes first: httpfilt.h relies on its types.
#include <httpfilt.h>

#else

#include <cstdint>

using DWORD = std::uint32_t;
using BOOL = int;
using ULONG_PTR = std::uintptr_t;
using CHAR = char;
using VOID = void;
using PVOID = void*;
using LPVOID = void*;
using LPSTR = char*;
using LPDWORD = DWORD*;

#define WINAPI

inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;

extern "C" {

#define SF_MAX_USERNAME (256 + 1)
#define SF_MAX_PASSWORD (256 + 1)
#define SF_MAX_AUTH_TYPE (32 + 1)
#define SF_MAX_FILTER_DESC_LEN (256 + 1)

enum SF_REQ_TYPE {
  SF_REQ_SEND_RESPONSE_HEADER,
  SF_REQ_ADD_HEADERS_ON_DENIAL,
  SF_REQ_SET_NEXT_READ_SIZE,
  SF_REQ_SET_PROXY_INFO,
  SF_REQ_GET_CONNID,
  SF_REQ_SET_CERTIFICATE_INFO,
  SF_REQ_GET_PROPERTY,
  SF_REQ_NORMALIZE_URL,
  SF_REQ_DISABLE_NOTIFICATIONS
};

enum SF_STATUS_TYPE {
  SF_STATUS_REQ_FINISHED = 0x8000000,
  SF_STATUS_REQ_FINISHED_KEEP_CONN,
  SF_STATUS_REQ_NEXT_NOTIFICATION,
  SF_STATUS_REQ_HANDLED_NOTIFICATION,
  SF_STATUS_REQ_ERROR,
  SF_STATUS_REQ_READ_NEXT
};

typedef struct _HTTP_FILTER_CONTEXT {
  DWORD cbSize;
  DWORD Revision;
  PVOID ServerContext;
  DWORD ulReserved;
  BOOL fIsSecurePort;
  PVOID pFilterContext;
  BOOL(WINAPI* GetServerVariable)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszVariableName, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* AddResponseHeaders)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszHeaders, DWORD dwReserved);
  BOOL(WINAPI* WriteClient)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPVOID Buffer, LPDWORD lpdwBytes, DWORD dwReserved);
  VOID*(WINAPI* AllocMem)(struct _HTTP_FILTER_CONTEXT* pfc, DWORD cbSize, DWORD dwReserved);
  BOOL(WINAPI* ServerSupportFunction)
  (struct _HTTP_FILTER_CONTEXT* pfc, enum SF_REQ_TYPE sfReq, PVOID pData, ULONG_PTR ul1,
   ULONG_PTR ul2);
} HTTP_FILTER_CONTEXT, *PHTTP_FILTER_CONTEXT;

typedef struct _HTTP_FILTER_RAW_DATA {
  PVOID pvInData;
  DWORD cbInData;
  DWORD cbInBuffer;
  DWORD dwReserved;
} HTTP_FILTER_RAW_DATA, *PHTTP_FILTER_RAW_DATA;

typedef struct _HTTP_FILTER_PREPROC_HEADERS {
  BOOL(WINAPI* GetHeader)
  (struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPVOID lpvBuffer, LPDWORD lpdwSize);
  BOOL(WINAPI* SetHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  BOOL(WINAPI* AddHeader)(struct _HTTP_FILTER_CONTEXT* pfc, LPSTR lpszName, LPSTR lpszValue);
  DWORD HttpStatus;
  DWORD dwReserved;
} HTTP_FILTER_PREPROC_HEADERS, *PHTTP_FILTER_PREPROC_HEADERS;

typedef struct _HTTP_FILTER_AUTHENT {
  CHAR* pszUser;
  DWORD cbUserBuff;
  CHAR* pszPassword;
  DWORD cbPasswordBuff;
} HTTP_FILTER_AUTHENT, *PHTTP_FILTER_AUTHENT;

typedef struct _HTTP_FILTER_URL_MAP {
  const CHAR* pszURL;
  CHAR* pszPhysicalPath;
  DWORD cbPathBuff;
} HTTP_FILTER_URL_MAP, *PHTTP_FILTER_URL_MAP;

typedef struct _HTTP_FILTER_LOG {
  const CHAR* pszClientHostName;
  const CHAR* pszClientUserName;
  const CHAR* pszServerName;
  const CHAR* pszOperation;
  const CHAR* pszTarget;
  const CHAR* pszParameters;
  DWORD dwHttpStatus;
  DWORD dwWin32Status;
  DWORD dwBytesSent;
  DWORD dwBytesRecvd;
  DWORD msTimeForProcessing;
} HTTP_FILTER_LOG, *PHTTP_FILTER_LOG;

#define SF_NOTIFY_SECURE_PORT 0x00000001
#define SF_NOTIFY_NONSECURE_PORT 0x00000002

#define SF_NOTIFY_READ_RAW_DATA 0x00008000
#define SF_NOTIFY_PREPROC_HEADERS 0x00004000
#define SF_NOTIFY_AUTHENTICATION 0x00002000
#define SF_NOTIFY_URL_MAP 0x00001000
#define SF_NOTIFY_ACCESS_DENIED 0x00000800
#define SF_NOTIFY_SEND_RESPONSE 0x00000040
#define SF_NOTIFY_SEND_RAW_DATA 0x00000400
#define SF_NOTIFY_LOG 0x00000200
#define SF_NOTIFY_END_OF_REQUEST 0x00000080
#define SF_NOTIFY_END_OF_NET_SESSION 0x00000100
#define SF_NOTIFY_AUTH_COMPLETE 0x04000000

#define SF_NOTIFY_ORDER_HIGH 0x00080000
#define SF_NOTIFY_ORDER_MEDIUM 0x00040000
#define SF_NOTIFY_ORDER_LOW 0x00020000
#define SF_NOTIFY_ORDER_DEFAULT SF_NOTIFY_ORDER_LOW
#define SF_NOTIFY_ORDER_MASK (SF_NOTIFY_ORDER_HIGH | SF_NOTIFY_ORDER_MEDIUM | SF_NOTIFY_ORDER_LOW)

typedef struct _HTTP_FILTER_VERSION {
  DWORD dwServerFilterVersion;
  DWORD dwFilterVersion;
  CHAR lpszFilterDesc[SF_MAX_FILTER_DESC_LEN];
  DWORD dwFlags;
} HTTP_FILTER_VERSION, *PHTTP_FILTER_VERSION;

}  // extern "C"

#endif

#include <cstddef>
#include <cstdint>

// The export signatures, as a host resolves them by name.
using GetFilterVersionFn = BOOL(WINAPI*)(HTTP_FILTER_VERSION*);
using HttpFilterProcFn = DWORD(WINAPI*)(HTTP_FILTER_CONTEXT*, DWORD, void*);

// The layout is the contract: pinned here on every platform, against the real header on Windows.
static_assert(sizeof(DWORD) == 4 && sizeof(BOOL) == 4);
static_assert(sizeof(ULONG_PTR) == sizeof(void*));
static_assert(SF_MAX_FILTER_DESC_LEN == 257);
static_assert(SF_REQ_SEND_RESPONSE_HEADER == 0);
static_assert(SF_STATUS_REQ_FINISHED == 0x08000000);
static_assert(SF_STATUS_REQ_NEXT_NOTIFICATION == 0x08000002);
static_assert(offsetof(HTTP_FILTER_VERSION, lpszFilterDesc) == 8);
static_assert(offsetof(HTTP_FILTER_RAW_DATA, cbInData) == sizeof(void*));
#if UINTPTR_MAX == 0xFFFFFFFFFFFFFFFFu
static_assert(sizeof(HTTP_FILTER_CONTEXT) == 72);
static_assert(offsetof(HTTP_FILTER_CONTEXT, ServerContext) == 8);
static_assert(offsetof(HTTP_FILTER_CONTEXT, ulReserved) == 16);
static_assert(offsetof(HTTP_FILTER_CONTEXT, pFilterContext) == 24);
static_assert(offsetof(HTTP_FILTER_CONTEXT, GetServerVariable) == 32);
static_assert(offsetof(HTTP_FILTER_CONTEXT, WriteClient) == 48);
static_assert(offsetof(HTTP_FILTER_CONTEXT, ServerSupportFunction) == 64);
static_assert(sizeof(HTTP_FILTER_VERSION) == 272);
static_assert(offsetof(HTTP_FILTER_VERSION, dwFlags) == 268);
static_assert(sizeof(HTTP_FILTER_PREPROC_HEADERS) == 32);
static_assert(offsetof(HTTP_FILTER_PREPROC_HEADERS, HttpStatus) == 24);
static_assert(sizeof(HTTP_FILTER_RAW_DATA) == 24);
static_assert(sizeof(HTTP_FILTER_URL_MAP) == 24);
#endif
