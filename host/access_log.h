// The access log: one line per request on standard output, in the combined format with who
// answered and why the proxy answered itself ("-" when it did not) at the end. Every field a
// client or an origin chose is escaped.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

namespace quillon::host {

// Who answered a request.
enum class Answer { kFilter, kNetwork, kDiscFallback, kProxy };

const char* AnswerName(Answer answer);

struct LogEntry {
  std::string_view remote;
  std::string_view requestLine;
  unsigned status = 0;
  std::uint64_t bytes = 0;
  std::string_view referer;    // empty: "-"
  std::string_view userAgent;  // empty: "-"
  Answer answer = Answer::kProxy;
  std::string_view reason;  // the proxy's own answer's reason ("not-on-disc"); empty: "-"
};

class AccessLog {
 public:
  explicit AccessLog(bool quiet) : quiet_(quiet) {}
  void Write(const LogEntry& entry);
  static std::string Format(const LogEntry& entry, std::string_view time);

 private:
  const bool quiet_;
  std::mutex mutex_;
};

}  // namespace quillon::host
