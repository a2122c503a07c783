// Small operations on request headers and addresses used by the router.
#pragma once

#include <string>
#include <string_view>

#include "filter/isapi.h"
#include "filter/server_filter.h"

namespace quillon {

// The header's value, whole up to 64 KiB; empty when the server does not fill it in or the value
// is longer. Names are "url" and "method" without a colon, real headers with theirs ("Referer:").
std::string ReadRequestHeader(FilterCall call, HTTP_FILTER_PREPROC_HEADERS* headers,
                              const char* name);

enum class SchemeRepair {
  kCanonical,   // "http://" in lower case
  kPreserving,  // the scheme's letters as they were
};

// "http:/x..." (any case, seventh character not '/') gets its lost slash back.
std::string RepairCollapsedScheme(std::string_view address, SchemeRepair variant);

struct ProxyAddress {
  std::string host;
  int port = 80;
  std::string path;
};

ProxyAddress SplitProxyAddress(std::string_view address);

// Ends in ".dll" or ".exe" (any case) before any query.
bool IsExecutableAddress(std::string_view address);

// "htm", "cla" or "pdf", any case, given without the dot.
bool IsPageExtension(std::string_view extension);

}  // namespace quillon
