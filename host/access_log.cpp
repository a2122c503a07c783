#include "access_log.h"

#include <cstdio>
#include <ctime>

#include "http_rules.h"

namespace quillon::host {

namespace {

std::string LogTime() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%d/%b/%Y:%H:%M:%S +0000", &utc);
  return text;
}

std::string Quoted(std::string_view field) {
  return "\"" + (field.empty() ? std::string("-") : LogEscape(field)) + "\"";
}

}  // namespace

const char* AnswerName(Answer answer) {
  switch (answer) {
    case Answer::kFilter:
      return "filter";
    case Answer::kNetwork:
      return "network";
    case Answer::kDiscFallback:
      return "disc-fallback";
    case Answer::kProxy:
      return "proxy";
  }
  return "?";
}

std::string AccessLog::Format(const LogEntry& e, std::string_view time) {
  std::string line = LogEscape(e.remote);
  line.append(" - - [").append(time).append("] ").append(Quoted(e.requestLine));
  line.append(" ").append(std::to_string(e.status)).append(" ").append(std::to_string(e.bytes));
  line.append(" ").append(Quoted(e.referer)).append(" ").append(Quoted(e.userAgent));
  line.append(" ").append(AnswerName(e.answer));
  line.append(" ").append(e.reason.empty() ? std::string_view("-") : e.reason).append("\n");
  return line;
}

void AccessLog::Write(const LogEntry& entry) {
  if (quiet_) return;
  const std::string line = Format(entry, LogTime());
  std::lock_guard lock(mutex_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

}  // namespace quillon::host
