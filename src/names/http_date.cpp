#include "names/http_date.h"

#include <chrono>
#include <limits>

#include "common/ascii.h"

namespace quillon {

namespace {

constexpr std::string_view kMonthTable = "janfebmaraprmayjunjulaugsepoctnovdec";
constexpr std::size_t kTokenLimit = 11;  // weekday and month tokens hold at most this much

// Reads fields the way the C scanner reads them, over the value as lowered (and, for the GMT
// forms, with '-' read as a blank) without copying it.
class Scanner {
 public:
  Scanner(std::string_view text, bool dashIsBlank) : text_(text), dashIsBlank_(dashIsBlank) {}

  // "%s": a run of non-space characters, lowered into `token`. A token longer than the field
  // cannot be held and fails the date.
  bool Token(char (&token)[kTokenLimit + 1], std::string_view& view) {
    SkipSpace();
    std::size_t length = 0;
    while (pos_ < text_.size() && !IsCSpace(At(pos_))) {
      if (length == kTokenLimit) return false;
      token[length++] = At(pos_++);
    }
    view = std::string_view(token, length);
    return length > 0;
  }

  // "%d": optional sign and decimal digits after white space. Overflow fails the date.
  bool Integer(std::int64_t& value) {
    SkipSpace();
    bool negative = false;
    if (pos_ < text_.size() && (At(pos_) == '+' || At(pos_) == '-')) {
      negative = At(pos_) == '-';
      ++pos_;
    }
    std::size_t digits = pos_;
    std::int64_t result = 0;
    while (pos_ < text_.size() && At(pos_) >= '0' && At(pos_) <= '9') {
      result = result * 10 + (At(pos_) - '0');
      if (result > std::numeric_limits<std::int32_t>::max()) return false;
      ++pos_;
    }
    if (pos_ == digits) return false;
    value = negative ? -result : result;
    return true;
  }

  // A literal character of the format matches itself, with no white space skipped.
  bool Literal(char c) {
    if (pos_ < text_.size() && At(pos_) == c) {
      ++pos_;
      return true;
    }
    return false;
  }

 private:
  char At(std::size_t i) const {
    char c = AsciiLower(text_[i]);
    return dashIsBlank_ && c == '-' ? ' ' : c;
  }
  void SkipSpace() {
    while (pos_ < text_.size() && IsCSpace(At(pos_))) ++pos_;
  }

  std::string_view text_;
  bool dashIsBlank_;
  std::size_t pos_ = 0;
};

bool ContainsGmt(std::string_view text) {
  for (std::size_t i = 0; i + 3 <= text.size(); ++i) {
    if (AsciiLower(text[i]) == 'g' && AsciiLower(text[i + 1]) == 'm' &&
        AsciiLower(text[i + 2]) == 't') {
      return true;
    }
  }
  return false;
}

struct DateFields {
  char weekdayBuffer[kTokenLimit + 1];
  char monthBuffer[kTokenLimit + 1];
  std::string_view weekday, month;
  std::int64_t day = 0, year = 0, hour = 0, minute = 0, second = 0;
};

// Days from 1970-01-01 to the first of the given month (month 1..12), proleptic Gregorian.
std::int64_t DaysFromCivil(std::int64_t year, unsigned month) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
};

CivilDate CivilFromDays(std::int64_t days) {
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  const unsigned day = dayOfYear - (153 * mp + 2) / 5 + 1;
  const unsigned month = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2), month, day};
}

}  // namespace

HttpTime ParseHttpDate(std::string_view value) {
  if (value.empty()) return 0;
  // Every field must convert: a date built from fields that were never read means nothing.
  DateFields f;
  if (ContainsGmt(value)) {
    // "%s %d %s %d %d:%d:%d"
    Scanner s(value, true);
    if (!(s.Token(f.weekdayBuffer, f.weekday) && s.Integer(f.day) &&
          s.Token(f.monthBuffer, f.month) && s.Integer(f.year) && s.Integer(f.hour) &&
          s.Literal(':') && s.Integer(f.minute) && s.Literal(':') && s.Integer(f.second))) {
      return kNoTime;
    }
    if (f.year < 1900) f.year += f.year < 70 ? 2000 : 1900;
  } else {
    // "%s %s %d %d:%d:%d %d"
    Scanner s(value, false);
    if (!(s.Token(f.weekdayBuffer, f.weekday) && s.Token(f.monthBuffer, f.month) &&
          s.Integer(f.day) && s.Integer(f.hour) && s.Literal(':') && s.Integer(f.minute) &&
          s.Literal(':') && s.Integer(f.second) && s.Integer(f.year))) {
      return kNoTime;
    }
  }

  const std::size_t found = kMonthTable.find(f.month);
  if (found == std::string_view::npos) return kNoTime;
  const auto month = static_cast<unsigned>(found / 3 + 1);

  // Fields add up arithmetically: day 0, 31 February and hour 24 all land where they point.
  const std::int64_t days = DaysFromCivil(f.year, month) + (f.day - 1);
  const std::int64_t seconds = days * 86400 + f.hour * 3600 + f.minute * 60 + f.second;
  if (seconds < 0) return kNoTime;
  // Past the last second the type holds, a date is that last second: still later than every
  // stored time, never wrapped round to an early one.
  if (seconds > std::numeric_limits<HttpTime>::max()) return std::numeric_limits<HttpTime>::max();
  return static_cast<HttpTime>(seconds);
}

std::size_t FormatHttpDate(HttpTime time, char (&out)[kHttpDateLength + 1]) {
  static constexpr char kWeekdays[] = "SunMonTueWedThuFriSat";
  static constexpr char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  if (time < 0) {
    out[0] = '\0';
    return 0;
  }
  const std::int64_t days = time / 86400;
  const std::int64_t secondOfDay = time % 86400;
  const CivilDate date = CivilFromDays(days);
  const auto weekday = static_cast<unsigned>((days + 4) % 7);  // 1970-01-01 was a Thursday

  auto two = [](char* p, unsigned v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
  };
  char* p = out;
  for (int i = 0; i < 3; ++i) *p++ = kWeekdays[weekday * 3 + i];
  *p++ = ',';
  *p++ = ' ';
  two(p, date.day);
  p += 2;
  *p++ = ' ';
  for (int i = 0; i < 3; ++i) *p++ = kMonths[(date.month - 1) * 3 + i];
  *p++ = ' ';
  const auto year = static_cast<unsigned>(date.year);
  two(p, year / 100);
  two(p + 2, year % 100);
  p += 4;
  *p++ = ' ';
  two(p, static_cast<unsigned>(secondOfDay / 3600));
  p[2] = ':';
  two(p + 3, static_cast<unsigned>(secondOfDay / 60 % 60));
  p[5] = ':';
  two(p + 6, static_cast<unsigned>(secondOfDay % 60));
  p += 8;
  *p++ = ' ';
  *p++ = 'G';
  *p++ = 'M';
  *p++ = 'T';
  *p = '\0';
  return kHttpDateLength;
}

std::string FormatHttpDate(HttpTime time) {
  char text[kHttpDateLength + 1];
  std::size_t length = FormatHttpDate(time, text);
  return std::string(text, length);
}

HttpTime CurrentTime() {
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  // Past the range of the type the clock reads as its last second, never as a wrapped value.
  if (now > std::numeric_limits<HttpTime>::max()) return std::numeric_limits<HttpTime>::max();
  if (now < 0) return 0;
  return static_cast<HttpTime>(now);
}

}  // namespace quillon
