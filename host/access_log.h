// The access log: one line per request on standard output or in a file (--access-log), in the
// combined format with who answered and why the proxy answered itself ("-" when it did not) at
// the end. Every field a client or an origin chose is escaped.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
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
  // Writes to `file` when given (appended to, made if missing); throws HostError when it
  // cannot be opened.
  explicit AccessLog(bool quiet, std::filesystem::path file = {});
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;
  void Write(const LogEntry& entry);
  // Opens the file again by its name, after a rotation renamed it; the old one stays in use
  // when that fails (said on stderr). Nothing to do on standard output.
  void Reopen();
  static std::string Format(const LogEntry& entry, std::string_view time);

 private:
  const bool quiet_;
  const std::filesystem::path path_;
  std::mutex mutex_;
  std::FILE* out_ = stdout;
};

}  // namespace quillon::host
