// Case rules of the system: only the ASCII letters A-Z and a-z fold; every other byte is itself.
// Never the C locale's tolower, whose answer depends on the process.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; }

constexpr bool AsciiEqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  }
  return true;
}

// Compared over the prefix's full length: a shorter text never matches.
constexpr bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         AsciiEqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

constexpr bool EndsWithIgnoreCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() &&
         AsciiEqualsIgnoreCase(text.substr(text.size() - suffix.size()), suffix);
}

inline std::string AsciiLowered(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = AsciiLower(c);
  return out;
}

// Bytes that may not stand in a header value: a CR or LF would end the line early and start
// another header, the others have no place in an address or a content type. A tab may.
constexpr bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte < 0x20 && c != '\t') || byte == 0x7F) return true;
  }
  return false;
}

constexpr bool IsCSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace quillon
