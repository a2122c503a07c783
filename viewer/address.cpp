#include "address.h"

#include <array>
#include <utility>

#include "common/ascii.h"

namespace quillon::viewer {

namespace {

bool IsHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

char AsciiUpper(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

constexpr std::array<std::pair<std::string_view, std::string_view>, 2> kDefaultPorts = {{
    {"http", ":80"},
    {"https", ":443"},
}};

}  // namespace

std::string NormalizeAddress(std::string_view address) {
  const std::size_t scheme = address.find("://");
  if (scheme == std::string_view::npos || scheme == 0) return std::string(address);
  for (char c : address.substr(0, scheme)) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!letter && c != '+' && c != '-' && c != '.') return std::string(address);
  }
  const std::size_t hostStart = scheme + 3;
  const std::size_t hostEnd = std::min(address.find_first_of("/?#", hostStart), address.size());
  std::string out;
  out.reserve(address.size() + 1);  // one allocation per lookup, whatever its length
  for (char c : address.substr(0, hostEnd)) out.push_back(AsciiLower(c));
  for (const auto& [name, port] : kDefaultPorts) {
    if (std::string_view(out).substr(0, scheme) == name && out.ends_with(port) &&
        out.size() - port.size() > hostStart) {
      out.resize(out.size() - port.size());
    }
  }
  std::string_view rest = address.substr(hostEnd);
  if (rest.empty() || rest.front() != '/') out.push_back('/');
  for (std::size_t i = 0; i < rest.size(); ++i) {
    out.push_back(rest[i]);
    if (rest[i] == '%' && i + 2 < rest.size() && IsHex(rest[i + 1]) && IsHex(rest[i + 2])) {
      out.push_back(AsciiUpper(rest[i + 1]));
      out.push_back(AsciiUpper(rest[i + 2]));
      i += 2;
    }
  }
  return out;
}

std::string WithFolderSlash(std::string_view normalized) {
  const std::size_t scheme = normalized.find("://");
  if (scheme == std::string_view::npos) return {};
  const std::size_t path = normalized.find('/', scheme + 3);
  if (path == std::string_view::npos || normalized.back() == '/' ||
      normalized.find_first_of("?#", path) != std::string_view::npos) {
    return {};
  }
  return std::string(normalized) + "/";
}

namespace {

struct QueryParts {
  std::string_view before;    // up to and without the '?'
  std::string_view query;     // between '?' and '#'
  std::string_view fragment;  // from the '#' on
};

QueryParts SplitQuery(std::string_view address) {
  const std::size_t mark = address.find('?');
  if (mark == std::string_view::npos) return {address, {}, {}};
  std::string_view query = address.substr(mark + 1);
  const std::size_t hash = query.find('#');
  std::string_view fragment;
  if (hash != std::string_view::npos) {
    fragment = query.substr(hash);
    query = query.substr(0, hash);
  }
  return {address.substr(0, mark), query, fragment};
}

bool IsCacheBuster(std::string_view parameter) {
  const std::string_view name = parameter.substr(0, parameter.find('='));
  for (std::string_view buster : kCacheBusters) {
    if (name == buster) return true;
  }
  return false;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  return AsciiUpper(c) - 'A' + 10;
}

}  // namespace

std::string_view WithoutQuery(std::string_view address) { return SplitQuery(address).before; }

std::string WithoutCacheBusters(std::string_view address) {
  const QueryParts parts = SplitQuery(address);
  if (parts.before.size() == address.size()) return std::string(address);
  std::string kept;
  std::string_view query = parts.query;
  while (true) {
    const std::size_t amp = query.find('&');
    const std::string_view parameter = query.substr(0, amp);
    if (!IsCacheBuster(parameter)) {
      if (!kept.empty()) kept.push_back('&');
      kept += parameter;
    }
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  std::string out(parts.before);
  if (!kept.empty()) out.append("?").append(kept);
  return out.append(parts.fragment);
}

std::string SearchWordsOf(std::string_view address) {
  const std::string_view query = SplitQuery(address).query;
  for (std::string_view name : kSearchParameters) {
    for (std::string_view rest = query; !rest.empty();) {
      const std::size_t amp = rest.find('&');
      const std::string_view parameter = rest.substr(0, amp);
      rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
      if (parameter.size() <= name.size() || !parameter.starts_with(name) ||
          parameter[name.size()] != '=') {
        continue;
      }
      const std::string_view value = parameter.substr(name.size() + 1);
      std::string words;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '+') {
          words.push_back(' ');
        } else if (value[i] == '%' && i + 2 < value.size() && IsHex(value[i + 1]) &&
                   IsHex(value[i + 2])) {
          words.push_back(static_cast<char>(HexValue(value[i + 1]) * 16 + HexValue(value[i + 2])));
          i += 2;
        } else {
          words.push_back(value[i]);
        }
      }
      // Control characters are no words; a search for nothing suggests nothing.
      for (char& c : words) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
      }
      if (words.find_first_not_of(' ') == std::string::npos) continue;
      return words;
    }
  }
  return {};
}

std::string_view ContentTypeOf(std::string_view extension) {
  static constexpr std::pair<std::string_view, std::string_view> kTypes[] = {
      {"htm", "text/html"},       {"html", "text/html"},
      {"txt", "text/plain"},      {"gif", "image/gif"},
      {"jpg", "image/jpeg"},      {"jpeg", "image/jpeg"},
      {"css", "text/css"},        {"js", "text/javascript"},
      {"mjs", "text/javascript"}, {"json", "application/json"},
      {"xml", "application/xml"}, {"png", "image/png"},
      {"svg", "image/svg+xml"},   {"ico", "image/x-icon"},
      {"webp", "image/webp"},     {"bmp", "image/bmp"},
      {"mp3", "audio/mpeg"},      {"mp4", "video/mp4"},
      {"webm", "video/webm"},     {"ogg", "audio/ogg"},
      {"woff", "font/woff"},      {"woff2", "font/woff2"},
      {"ttf", "font/ttf"},        {"zip", "application/zip"},
      {"csv", "text/csv"},        {"xhtml", "application/xhtml+xml"},
      {"pdf", "application/pdf"},
  };
  for (const auto& [name, type] : kTypes) {
    if (name == extension) return type;
  }
  return "application/octet-stream";
}

}  // namespace quillon::viewer
