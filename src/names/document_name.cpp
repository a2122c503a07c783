#include "names/document_name.h"

#include <cstdio>

#include "common/ascii.h"

namespace quillon {

namespace {

constexpr std::string_view kNamePrefix = "lum";
constexpr std::ptrdiff_t kNameLength = 8;  // "lum" and five hex digits
constexpr std::ptrdiff_t kFolderSpan = 9;  // the folder name and its separator
constexpr std::ptrdiff_t kDigitsLength = 5;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Base-16 conversion by strtol's rules (white space, sign, "0x"), over [begin, end). The byte at
// `end` is never a character strtol would go on with, so stopping there is what strtol would do.
// Returns true when the conversion ends exactly at `end`.
bool ConvertHexField(const char* begin, const char* end, long& value) {
  const char* p = begin;
  while (p < end && IsCSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    // "0x" counts as a prefix only when a digit follows; otherwise strtol reads just the "0".
    if (end - p >= 3 && HexValue(p[2]) >= 0) p += 2;
  }
  const char* digits = p;
  long result = 0;
  while (p < end && HexValue(*p) >= 0) {
    result = result * 16 + HexValue(*p);
    ++p;
  }
  if (p == digits) return false;  // no conversion at all
  value = negative ? -result : result;
  return p == end;
}

bool HasNamePrefix(const char* p) {
  return AsciiEqualsIgnoreCase(std::string_view(p, kNamePrefix.size()), kNamePrefix);
}

}  // namespace

std::string DocumentFileName(DocumentNumber number) {
  char name[32];
  const auto folder = static_cast<std::uint32_t>(number / 256);
  const auto file = static_cast<std::uint32_t>(number);
  int length = std::snprintf(name, sizeof name, "lum%.5x/lum%.5x", folder, file);
  return std::string(name, static_cast<std::size_t>(length));
}

DocumentNumber ParseDocumentNumber(std::string_view address) {
  const char* start = address.data();
  const char* stop = start;
  const char* nameStart = nullptr;
  const char* lastDot = nullptr;
  for (const char* end = start + address.size(); stop < end; ++stop) {
    char c = *stop;
    if (c == '\0' || c == '#' || c == ';' || c == '?') break;
    if (c == '/' || c == '\\') nameStart = stop + 1;
    if (c == '.') lastDot = stop;
  }
  if (nameStart == nullptr) return kNoDocument;

  const char* nameEnd = lastDot != nullptr ? lastDot : stop;
  if (nameEnd - nameStart != kNameLength) return kNoDocument;
  if (!HasNamePrefix(nameStart)) return kNoDocument;
  long candidate = 0;
  if (!ConvertHexField(nameStart + kNamePrefix.size(), nameEnd, candidate)) return kNoDocument;

  if (nameStart - start < kFolderSpan) return kNoDocument;
  const char* folder = nameStart - kFolderSpan;
  if (!HasNamePrefix(folder)) return kNoDocument;
  const char* folderDigits = folder + kNamePrefix.size();
  long folderNumber = 0;
  if (!ConvertHexField(folderDigits, folderDigits + kDigitsLength, folderNumber)) {
    return kNoDocument;
  }
  if (folderNumber != candidate / 256) return kNoDocument;
  return static_cast<DocumentNumber>(candidate);
}

}  // namespace quillon
