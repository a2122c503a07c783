// HTTP dates: the three forms of HTTP/1.0 read, the RFC 1123 form written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon {

// Seconds since 1970-01-01 00:00:00 UTC; -1 means no valid time, 0 in a catalogue entry means none.
using HttpTime = std::int32_t;

inline constexpr HttpTime kNoTime = -1;
inline constexpr std::size_t kHttpDateLength = 29;  // "Sun, 06 Nov 1994 08:49:37 GMT"

// 0 for an empty value, -1 when it cannot be converted or lies before 1970-01-01 00:00:00, the
// time otherwise; a date past 2038-01-19 03:14:07 saturates at that last second.
HttpTime ParseHttpDate(std::string_view value);

// Writes the RFC 1123 form into out (kHttpDateLength characters and a NUL) and returns its
// length; a negative time writes "" and returns 0. English names whatever the locale.
std::size_t FormatHttpDate(HttpTime time, char (&out)[kHttpDateLength + 1]);
std::string FormatHttpDate(HttpTime time);

HttpTime CurrentTime();

}  // namespace quillon
