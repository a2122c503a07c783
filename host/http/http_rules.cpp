#include "http_rules.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <limits>

#include "common/ascii.h"

namespace quillon::host {

namespace http = boost::beast::http;

namespace {

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Calls `each` with every trimmed, non-empty element of a comma-separated list.
template <typename Each>
void ForEachListElement(std::string_view list, Each&& each) {
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const std::string_view element = Trimmed(list.substr(0, comma));
    if (!element.empty()) each(element);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsAlnum(char c) { return IsDigit(c) || (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'z'); }
bool IsHex(char c) { return IsDigit(c) || (AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f'); }

bool ValidRegName(std::string_view name) {
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (IsAlnum(c) || std::string_view("-._~!$&'()*+,;=").find(c) != std::string_view::npos) {
      continue;
    }
    if (c == '%' && i + 2 < name.size() && IsHex(name[i + 1]) && IsHex(name[i + 2])) {
      i += 2;
      continue;
    }
    return false;
  }
  return true;
}

bool ValidPort(std::string_view digits) {
  if (digits.empty()) return true;  // "host:" is allowed by the grammar
  if (digits.size() > 5) return false;
  unsigned port = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  return ec == std::errc() && end == digits.data() + digits.size() && port <= 65535;
}

void AppendField(std::string& out, std::string_view name, std::string_view value) {
  out.append(name).append(": ").append(value).append("\r\n");
}

// Copies every field that may cross the proxy, except the ones named in `skip`.
template <typename Skip>
void AppendEndToEnd(std::string& out, const Fields& fields, Skip&& skip) {
  const HopByHop hop(fields);
  for (const auto& field : fields) {
    const std::string_view name = field.name_string();
    if (hop.Drops(name) || skip(field)) continue;
    AppendField(out, name, field.value());
  }
}

}  // namespace

std::size_t HopByHop::NoCaseHash::operator()(std::string_view s) const noexcept {
  std::size_t hash = 14695981039346656037ull;  // FNV-1a over the lower-cased bytes
  for (char c : s) hash = (hash ^ static_cast<unsigned char>(AsciiLower(c))) * 1099511628211ull;
  return hash;
}

bool HopByHop::NoCaseEqual::operator()(std::string_view a, std::string_view b) const noexcept {
  return AsciiEqualsIgnoreCase(a, b);
}

bool IsFramingField(std::string_view name) {
  return AsciiEqualsIgnoreCase(name, "content-length") ||
         AsciiEqualsIgnoreCase(name, "transfer-encoding") || AsciiEqualsIgnoreCase(name, "host") ||
         AsciiEqualsIgnoreCase(name, "connection");
}

HopByHop::HopByHop(const Fields& fields) {
  for (auto it = fields.find(http::field::connection);
       it != fields.end() && it->name() == http::field::connection; ++it) {
    ForEachListElement(it->value(), [this](std::string_view token) {
      if (IsFramingField(token)) {
        listsFraming_ = true;
      } else {
        listed_.emplace(token);
      }
    });
  }
}

bool HopByHop::Drops(std::string_view name) const {
  static constexpr std::string_view kHop[] = {"connection",
                                              "keep-alive",
                                              "proxy-connection",
                                              "proxy-authorization",
                                              "proxy-authenticate",
                                              "te",
                                              "trailer",
                                              "transfer-encoding",
                                              "upgrade"};
  for (std::string_view hop : kHop) {
    if (AsciiEqualsIgnoreCase(name, hop)) return true;
  }
  return !listed_.empty() && listed_.find(name) != listed_.end();
}

bool HopByHop::Listed(std::string_view token) const { return listed_.find(token) != listed_.end(); }

std::size_t FindHeadEnd(std::string_view data, std::size_t searched) {
  const std::size_t from = searched > 2 ? searched - 2 : 0;
  for (std::size_t lf = data.find('\n', from); lf != std::string_view::npos;
       lf = data.find('\n', lf + 1)) {
    if (lf + 1 < data.size() && data[lf + 1] == '\n') return lf + 2;
    if (lf + 2 < data.size() && data[lf + 1] == '\r' && data[lf + 2] == '\n') return lf + 3;
  }
  return std::string_view::npos;
}

bool ValidHostField(std::string_view value) {
  if (value.empty()) return false;
  std::string_view port;
  if (value.front() == '[') {
    const std::size_t close = value.find(']');
    if (close == std::string_view::npos || close < 2) return false;
    for (char c : value.substr(1, close - 1)) {
      if (!IsHex(c) && c != ':' && c != '.') return false;
    }
    const std::string_view rest = value.substr(close + 1);
    if (!rest.empty() && rest.front() != ':') return false;
    if (!rest.empty()) port = rest.substr(1);
    return ValidPort(port);
  }
  const std::size_t colon = value.find(':');
  if (colon != std::string_view::npos) {
    port = value.substr(colon + 1);
    value = value.substr(0, colon);
  }
  return !value.empty() && ValidRegName(value) && ValidPort(port);
}

ContentLength ParseContentLength(const Fields& fields) {
  ContentLength length;
  for (auto it = fields.find(http::field::content_length);
       it != fields.end() && it->name() == http::field::content_length; ++it) {
    const std::string_view value = it->value();
    std::size_t elements = 0;
    ForEachListElement(value, [&](std::string_view element) {
      ++elements;
      std::uint64_t n = 0;
      auto [end, ec] = std::from_chars(element.data(), element.data() + element.size(), n);
      if (ec != std::errc() || end != element.data() + element.size() || !IsDigit(element[0]) ||
          (length.value && *length.value != n)) {
        length.valid = false;
      }
      length.value = n;
    });
    // "", "3,", ",3": an empty element is no length
    if (elements == 0 ||
        static_cast<std::size_t>(std::count(value.begin(), value.end(), ',')) != elements - 1) {
      length.valid = false;
    }
  }
  if (!length.valid) length.value.reset();
  return length;
}

namespace {

// The target's authority holds userinfo ("user:pass@host"), in absolute or authority form.
bool TargetHasUserinfo(std::string_view target) {
  const std::size_t scheme = target.find("://");
  if (scheme != std::string_view::npos && target.find_first_of("/?#") >= scheme) {
    target.remove_prefix(scheme + 3);
    return target.substr(0, target.find_first_of("/?#")).find('@') != std::string_view::npos;
  }
  return !target.empty() && target.front() != '/' && target.find('@') != std::string_view::npos;
}

}  // namespace

std::optional<std::string_view> RequestFramingError(const RequestHead& head) {
  std::size_t codings = 0;
  std::size_t chunkedCount = 0;
  std::string_view last;
  for (auto it = head.find(http::field::transfer_encoding);
       it != head.end() && it->name() == http::field::transfer_encoding; ++it) {
    ForEachListElement(it->value(), [&](std::string_view coding) {
      ++codings;
      last = coding;
      if (AsciiEqualsIgnoreCase(coding, "chunked")) ++chunkedCount;
    });
    if (Trimmed(it->value()).empty()) ++codings;  // an empty coding is no coding we know
  }
  const bool hasLength = head.find(http::field::content_length) != head.end();
  if (codings > 0) {
    if (head.version() < 11) return "Transfer-Encoding in an HTTP/1.0 request";
    if (!AsciiEqualsIgnoreCase(last, "chunked") || chunkedCount != 1) {
      return "the request's transfer coding does not end in chunked";
    }
    if (hasLength) return "both Transfer-Encoding and Content-Length";
  }
  if (!ParseContentLength(head).valid) return "differing Content-Length values";
  if (HopByHop(head).ListsFraming()) return "Connection names a field that frames the message";
  std::size_t hosts = 0;
  for (auto it = head.find(http::field::host); it != head.end() && it->name() == http::field::host;
       ++it) {
    if (++hosts > 1) return "more than one Host";
    if (!ValidHostField(it->value())) return "the Host is not host[:port]";
  }
  if (hosts == 0 && head.version() >= 11) return "no Host";
  const std::string_view target = head.target();
  if (TargetHasUserinfo(target)) return "userinfo in the target";
  if (head.method() == http::verb::connect) {
    const auto authority = ParseAuthority(target, 0);  // 0: no port given
    if (!authority || authority->port == 0) return "CONNECT needs host:port";
  }
  return std::nullopt;
}

std::optional<std::string_view> ResponseFramingError(const ResponseHead& head) {
  std::size_t codings = 0;
  bool chunked = false;
  for (auto it = head.find(http::field::transfer_encoding);
       it != head.end() && it->name() == http::field::transfer_encoding; ++it) {
    ForEachListElement(it->value(), [&](std::string_view coding) {
      ++codings;
      chunked = AsciiEqualsIgnoreCase(coding, "chunked");
    });
    if (Trimmed(it->value()).empty()) ++codings;
  }
  if (codings > 1 || (codings == 1 && !chunked)) {
    return "the network's answer has a transfer coding the proxy does not decode";
  }
  if (!ParseContentLength(head).valid) return "the network's answer has differing lengths";
  return std::nullopt;
}

std::optional<std::uint64_t> MaxForwards(const RequestHead& head) {
  if (head.method() != http::verb::options && head.method() != http::verb::trace) return {};
  const auto it = head.find(http::field::max_forwards);
  if (it == head.end()) return {};
  const std::string_view value = Trimmed(it->value());
  std::uint64_t n = 0;
  auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), n);
  if (value.empty() || !IsDigit(value[0]) || ec != std::errc() ||
      end != value.data() + value.size()) {
    return {};
  }
  return n;
}

std::optional<std::string> LastHopAnswer(const RequestHead& head) {
  const auto hops = MaxForwards(head);
  if (!hops || *hops != 0) return std::nullopt;
  if (head.method() == http::verb::options) {
    return std::string(
        "HTTP/1.1 200 OK\r\nAllow: GET, HEAD, POST, PUT, DELETE, CONNECT, OPTIONS, TRACE, PATCH\r\n"
        "Content-Length: 0\r\n\r\n");
  }
  std::string echo;
  echo.append(head.method_string()).append(" ").append(head.target());
  echo.append(head.version() == 10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
  for (const auto& field : head) {
    if (field.name() == http::field::authorization ||
        field.name() == http::field::proxy_authorization || field.name() == http::field::cookie) {
      continue;
    }
    AppendField(echo, field.name_string(), field.value());
  }
  echo.append("\r\n");
  return "HTTP/1.1 200 OK\r\nContent-Type: message/http\r\nContent-Length: " +
         std::to_string(echo.size()) + "\r\n\r\n" + echo;
}

bool ExpectsContinue(const RequestHead& head) {
  if (head.version() < 11) return false;
  const auto it = head.find(http::field::expect);
  return it != head.end() && AsciiEqualsIgnoreCase(Trimmed(it->value()), "100-continue");
}

std::string_view RequestedUpgrade(const RequestHead& head) {
  if (head.version() < 11) return {};
  const auto it = head.find(http::field::upgrade);
  if (it == head.end() || !HopByHop(head).Listed("upgrade")) return {};
  return Trimmed(it->value());
}

bool ViaNames(const Fields& fields, std::string_view name) {
  bool found = false;
  for (auto it = fields.find(http::field::via);
       it != fields.end() && it->name() == http::field::via; ++it) {
    // Each entry: protocol received-by [comment]
    ForEachListElement(it->value(), [&](std::string_view entry) {
      const std::size_t space = entry.find(' ');
      if (space == std::string_view::npos) return;
      std::string_view by = Trimmed(entry.substr(space + 1));
      by = by.substr(0, by.find_first_of(" \t"));
      if (AsciiEqualsIgnoreCase(by, name)) found = true;
    });
  }
  return found;
}

std::string UpstreamRequestHead(const RequestHead& head, const NetworkTarget& target,
                                const UpstreamHeadOptions& options) {
  std::string out;
  out.reserve(512);
  out.append(head.method_string()).append(" ").append(target.path).append(" HTTP/1.1\r\n");
  out.append("Host: ").append(target.AuthorityForHost()).append("\r\n");
  const bool dropExpect = ExpectsContinue(head);
  const auto hops = MaxForwards(head);
  // Framing is the proxy's own: one Content-Length of the value it read, or its re-chunking.
  AppendEndToEnd(out, head, [&](const auto& field) {
    return field.name() == http::field::host || field.name() == http::field::content_length ||
           (dropExpect && field.name() == http::field::expect) ||
           (hops && field.name() == http::field::max_forwards);
  });
  AppendField(out, "Via", options.via);
  if (hops) out.append("Max-Forwards: ").append(std::to_string(*hops - 1)).append("\r\n");
  if (options.chunkedBody) {
    // The codings applied before chunked go on with the body, which stays coded.
    std::string codings;
    for (auto it = head.find(http::field::transfer_encoding);
         it != head.end() && it->name() == http::field::transfer_encoding; ++it) {
      ForEachListElement(it->value(), [&](std::string_view coding) {
        if (AsciiEqualsIgnoreCase(coding, "chunked")) return;
        codings.append(coding).append(", ");
      });
    }
    AppendField(out, "Transfer-Encoding", codings + "chunked");
  } else if (const auto length = ParseContentLength(head).value) {
    AppendField(out, "Content-Length", std::to_string(*length));
  }
  // Otherwise the connection stays open (HTTP/1.1's default) for the next request to the origin.
  if (!options.upgrade.empty()) {
    AppendField(out, "Upgrade", options.upgrade);
    out.append("Connection: Upgrade\r\n");
  }
  out.append("\r\n");
  return out;
}

std::string ClientResponseHead(const ResponseHead& head, const ClientHeadOptions& options) {
  std::string out;
  out.reserve(512);
  out.append("HTTP/1.1 ").append(std::to_string(head.result_int())).append(" ");
  out.append(head.reason()).append("\r\n");
  AppendEndToEnd(out, head,
                 [](const auto& field) { return field.name() == http::field::content_length; });
  AppendField(out, "Via", options.via);
  if (!options.interim) {
    if (!options.upgrade.empty()) {
      AppendField(out, "Upgrade", options.upgrade);
      out.append("Connection: Upgrade\r\n");
    } else {
      // The framing the proxy relays by: chunks, the length it read, or the end of the
      // connection. 1xx and 204 have no body, nor fields that would frame one.
      const unsigned status = head.result_int();
      const bool mayHaveBody = status / 100 != 1 && status != 204;
      if (mayHaveBody && options.chunked) {
        out.append("Transfer-Encoding: chunked\r\n");
      } else if (const auto length = ParseContentLength(head).value; mayHaveBody && length) {
        AppendField(out, "Content-Length", std::to_string(*length));
      }
      if (!options.keepAlive) out.append("Connection: close\r\n");
    }
  }
  out.append("\r\n");
  return out;
}

std::string LogEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\' || byte < 0x20 || byte >= 0x7f) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
      out.append(escaped);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

bool NamesDiscInternals(std::string_view target, std::string_view barePrefix) {
  if (!StartsWithIgnoreCase(target, barePrefix)) return false;
  std::string_view rest = target.substr(barePrefix.size());
  rest = rest.substr(0, rest.find_first_of("?#"));
  // The first segment that names something: empty and "." segments name the root itself.
  while (!rest.empty()) {
    const std::size_t end = rest.find_first_of("/\\");
    const std::string_view segment = rest.substr(0, end);
    if (!segment.empty() && segment != ".") {
      return StartsWithIgnoreCase(segment, "catalogue.db") ||
             AsciiEqualsIgnoreCase(segment, kDiscUpdatesFolder);
    }
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  return false;
}

}  // namespace quillon::host
