#include "names/http_date.h"

#include <gtest/gtest.h>

#include <clocale>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

namespace quillon {
namespace {

constexpr HttpTime k19941106 = 784111777;  // 1994-11-06 08:49:37 UTC
constexpr HttpTime kLast = 2147483647;     // 2038-01-19 03:14:07 UTC

// The C library's own reading of a time, to compare with.
std::tm UtcFields(std::time_t time) {
  std::tm fields{};
#if defined(_WIN32)
  gmtime_s(&fields, &time);
#else
  gmtime_r(&time, &fields);
#endif
  return fields;
}

TEST(ParseHttpDate, ReadsTheThreeFormsAndTheirCorners) {
  const struct {
    const char* value;
    HttpTime expected;
  } rows[] = {
      {"Sun, 06 Nov 1994 08:49:37 GMT", k19941106},
      {"Sunday, 06-Nov-94 08:49:37 GMT", k19941106},
      {"Sun Nov  6 08:49:37 1994", k19941106},
      {"SUN, 06 NOV 1994 08:49:37 GMT", k19941106},
      {"sunday, 06-nov-94 08:49:37 gmt", k19941106},
      {"SUN NOV  6 08:49:37 1994", k19941106},
      {"Sun, 06 Nov 1994 08:49:37 GMT; length=1234", k19941106},
      {"", 0},
      {"Thu, 01 Jan 1970 00:00:00 GMT", 0},
      {"Thursday, 01-Jan-70 00:00:00 GMT", 0},
      {"Thursday, 01-Jan-54 00:00:00 GMT", kLast},  // 2054: past the last second, saturated
      {"Thursday, 01-Jan-05 00:00:00 GMT", 1104537600},
      {"Thu, 01 Jan 100 00:00:00 GMT", 946684800},  // 100 + 1900 = 2000
      {"Fri, 31 Dec 2038 23:59:59 GMT", kLast},
      {"Tue, 19 Jan 2038 03:14:07 GMT", kLast},
      {"Tue, 19 Jan 2038 03:14:06 GMT", kLast - 1},
      {"Tue, 19 Jan 2038 03:14:08 GMT", kLast},
      {"Wed Jan  1 00:00:00 2100", kLast},
      {"Sun, 2147483647 Nov 1994 08:49:37 GMT", kLast},
      {"Sun Nov  6 08:49:37 94", -1},                // asctime keeps a two-digit year
      {"Sun, 06 November 1994 08:49:37 GMT", -1},    // not in the month table
      {"Sun, 06 ov 1994 08:49:37 GMT", k19941106},   // any fragment at its first occurrence
      {"Sun, 06 yju 1994 08:49:37 GMT", 768214177},  // "yju" is May
      {"Thu, 31 Feb 1994 00:00:00 GMT", 762652800},  // 1994-03-03
      {"Thu, 31 Feb 1996 00:00:00 GMT", 825724800},  // leap year: 1996-03-02
      {"Thu, 00 Mar 1994 00:00:00 GMT", 762393600},  // day 0: 1994-02-28
      {"Thu, 05 Mar 1994 24:00:00 GMT", 762912000},  // hour 24: next midnight
      {"Wed, 31 Dec 1969 23:59:59 GMT", -1},         // before 1970
      {"Tue, 19 Jan 2037 03:14:07 GMT", 2115947647},
      {"Thu, 31 Dec 2037 23:59:59 GMT", 2145916799},
      {"Sun Nov  6 08:49:37 1994 GMT", -1},  // asctime with GMT: fields out of order
      {"Sun, 06 Nov 1994", -1},              // fields missing
      {"Sun, 06 Nov 1994 08:49 GMT", -1},
      {"Sun, 06 Nov 1994 08 : 49:37 GMT", -1},          // ':' must follow the number directly
      {"Wednesdayyyyy, 06 Nov 1994 08:49:37 GMT", -1},  // token longer than 11
      {"Sun, 06 Novemberrrrrr 1994 08:49:37 GMT", -1},
      {"Sun, 99999999999 Nov 1994 08:49:37 GMT", -1},  // does not fit an int
      {"Sun, 06 Nov 1994 08:49:37 GMT extra text", k19941106},
      {"garbage", -1},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(ParseHttpDate(row.value), row.expected) << row.value;
  }
}

TEST(FormatHttpDate, WritesTheRfc1123Form) {
  const struct {
    HttpTime time;
    const char* text;
  } rows[] = {
      {k19941106, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {2147483647, "Tue, 19 Jan 2038 03:14:07 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {-1, ""},
      {-2147483647 - 1, ""},
  };
  for (const auto& row : rows) EXPECT_EQ(FormatHttpDate(row.time), row.text) << row.time;
}

TEST(FormatHttpDate, AgreesWithTheCLibraryAndReadsBackUpToTheEndOf2037) {
  // A spread of times with a prime step, so every weekday, month and time of day is met.
  for (std::int64_t t = 0; t <= 2145916799; t += 999983) {
    const auto time = static_cast<HttpTime>(t);
    const std::string text = FormatHttpDate(time);
    ASSERT_EQ(text.size(), kHttpDateLength);
    const std::tm fields = UtcFields(time);
    char expected[64];
    std::strftime(expected, sizeof expected, "%a, %d %b %Y %H:%M:%S GMT", &fields);
    ASSERT_EQ(text, expected);
    ASSERT_EQ(ParseHttpDate(text), time) << text;
  }
  EXPECT_EQ(ParseHttpDate(FormatHttpDate(2145916799)), 2145916799);
}

TEST(FormatHttpDate, WritesEnglishUnderAnotherLocale) {
  const char* const candidates[] = {"de_DE.UTF-8", "fr_FR.UTF-8", "es_ES.UTF-8", "ru_RU.UTF-8"};
  std::string previous = std::setlocale(LC_ALL, nullptr);
  const char* chosen = nullptr;
  for (const char* name : candidates) {
    if (std::setlocale(LC_ALL, name) != nullptr) {
      chosen = name;
      break;
    }
  }
  if (chosen == nullptr) GTEST_SKIP() << "no non-English locale is installed";
  // Sanity: the C library itself writes another language here.
  const std::tm fields = UtcFields(k19941106);
  char local[64];
  std::strftime(local, sizeof local, "%a %b", &fields);
  std::string formatted = FormatHttpDate(k19941106);
  std::setlocale(LC_ALL, previous.c_str());
  EXPECT_STRNE(local, "Sun Nov") << chosen;
  EXPECT_EQ(formatted, "Sun, 06 Nov 1994 08:49:37 GMT");
}

TEST(CurrentTime, ReadsTheClock) {
  const std::time_t now = std::time(nullptr);
  const HttpTime t = CurrentTime();
  EXPECT_GE(t, static_cast<HttpTime>(now));
  EXPECT_LE(t, static_cast<HttpTime>(now) + 5);
}

}  // namespace
}  // namespace quillon
