// Text of the disc's pages: HTML escapes, query strings, an address's words and its
// docs/lumother/ path.
#include "page_text.h"

#include <algorithm>

#include "common/ascii.h"

namespace quillon::host {

namespace {

constexpr std::string_view kOtherFolder = "/lumother/";

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = AsciiLower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecoded(std::string_view text, bool plusIsSpace) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 &&
        HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(plusIsSpace && text[i] == '+' ? ' ' : text[i]);
    }
  }
  return out;
}

}  // namespace

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out.push_back(c);
    }
  }
  return out;
}

std::string QueryParameter(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = pair.find('=');
    if (PercentDecoded(pair.substr(0, eq), true) == name) {
      return eq == std::string_view::npos ? "" : PercentDecoded(pair.substr(eq + 1), true);
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return "";
}

std::string EscapeQueryValue(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "%%%02X", c);
      out += escaped;
    }
  }
  return out;
}

std::string AddressWords(std::string_view url) {
  const std::size_t scheme = url.find("://");
  if (scheme != std::string_view::npos) url.remove_prefix(scheme + 3);
  const std::size_t slash = url.find('/');
  url = slash == std::string_view::npos ? std::string_view() : url.substr(slash);
  url = url.substr(0, url.find_first_of("?#"));
  // The last name's extension says nothing of the page.
  const std::size_t dot = url.rfind('.');
  if (dot != std::string_view::npos && url.find('/', dot) == std::string_view::npos) {
    url = url.substr(0, dot);
  }
  const std::string decoded = PercentDecoded(url, false);
  std::string words;
  bool inWord = false;
  for (char c : decoded) {
    const bool wordByte = static_cast<unsigned char>(c) >= 0x80 || (c >= 'a' && c <= 'z') ||
                          (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (wordByte) {
      if (!inWord && !words.empty()) words.push_back(' ');
      words.push_back(c);
    }
    inWord = wordByte;
  }
  return words;
}

std::optional<std::string> OtherPagePath(std::string_view url) {
  const std::string lowered = AsciiLowered(url.substr(0, url.find_first_of("?#")));
  const std::size_t at = lowered.find(kOtherFolder);
  if (at == std::string::npos) return std::nullopt;
  const std::string rest =
      PercentDecoded(std::string_view(lowered).substr(at + kOtherFolder.size()), false);
  if (rest.find('\0') != std::string::npos || rest.find('\\') != std::string::npos) return "";
  // No segment may climb out of the folder, and a folder is no page.
  for (std::size_t start = 0; start <= rest.size();) {
    const std::size_t end = std::min(rest.find('/', start), rest.size());
    const std::string_view segment = std::string_view(rest).substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return "";
    start = end + 1;
  }
  return "docs/lumother/" + rest;
}

}  // namespace quillon::host
