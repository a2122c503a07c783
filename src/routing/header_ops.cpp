#include "routing/header_ops.h"

#include <climits>
#include <cstring>

#include "common/ascii.h"
#include "common/constants.h"

namespace quillon {

std::string ReadRequestHeader(FilterCall call, HTTP_FILTER_PREPROC_HEADERS* headers,
                              const char* name) {
  // The usual value fits the first buffer. When it does not, the server answers FALSE and names
  // the size it needs, and the value is read again at that size.
  std::string buffer(kHeaderBufferSize, '\0');
  DWORD size = kHeaderBufferSize;
  if (!headers->GetHeader(call.context, const_cast<char*>(name), buffer.data(), &size) &&
      size > kHeaderBufferSize) {
    if (size > kHeaderValueLimit) return {};
    buffer.assign(size, '\0');
    if (!headers->GetHeader(call.context, const_cast<char*>(name), buffer.data(), &size)) {
      return {};
    }
  }
  // A server that fills the whole buffer without a NUL still ends here.
  buffer.resize(strnlen(buffer.c_str(), buffer.size()));
  return buffer;
}

std::string RepairCollapsedScheme(std::string_view address, SchemeRepair variant) {
  constexpr std::string_view kCollapsed = "http:/";
  if (address.size() < kCollapsed.size() + 1 || !StartsWithIgnoreCase(address, kCollapsed) ||
      address[kCollapsed.size()] == '/') {
    return std::string(address);
  }
  std::string repaired;
  repaired.reserve(address.size() + 1);
  if (variant == SchemeRepair::kCanonical) {
    repaired = "http://";
  } else {
    repaired.append(address.substr(0, kCollapsed.size()));
    repaired.push_back('/');
  }
  repaired.append(address.substr(kCollapsed.size()));
  return repaired;
}

namespace {
// Decimal digits after optional white space and sign, as atoi reads them, but saturating instead
// of overflowing.
int ReadPort(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > INT_MAX) {
      value = INT_MAX;
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}
}  // namespace

ProxyAddress SplitProxyAddress(std::string_view address) {
  std::size_t scheme = address.find("://");
  if (scheme != std::string_view::npos) address.remove_prefix(scheme + 3);
  ProxyAddress result;
  const std::size_t slash = address.find('/');
  std::string_view host = address.substr(0, slash);
  result.path.assign(slash != std::string_view::npos ? address.substr(slash) : "/");
  std::size_t colon = host.find(':');
  if (colon != std::string_view::npos) {
    result.port = ReadPort(host.substr(colon + 1));
    host = host.substr(0, colon);
  }
  result.host = std::string(host);
  return result;
}

bool IsExecutableAddress(std::string_view address) {
  address = address.substr(0, address.find('?'));
  std::string_view tail = address.substr(address.size() < 4 ? 0 : address.size() - 4);
  return AsciiEqualsIgnoreCase(tail, ".dll") || AsciiEqualsIgnoreCase(tail, ".exe");
}

bool IsPageExtension(std::string_view extension) {
  return AsciiEqualsIgnoreCase(extension, "htm") || AsciiEqualsIgnoreCase(extension, "cla") ||
         AsciiEqualsIgnoreCase(extension, "pdf");
}

}  // namespace quillon
