// The access log: one line per request on standard output or in a file (--access-log), in the
// combined format with who answered and why the proxy answered itself ("-" when it did not) at
// the end. Every field a client or an origin chose is escaped.
//
// Lines are written by a thread of the log's own, so that no event loop waits for a write or a
// flush: Write only queues the line.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

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

// Lines waiting for the writer at most: past this (a log that cannot keep up, a stalled disc)
// lines are dropped rather than held in memory or waited for, and their number said on stderr.
inline constexpr std::size_t kLogQueueLines = 16384;

class AccessLog {
 public:
  // Writes to `file` when given (appended to, made if missing); throws HostError when it
  // cannot be opened.
  explicit AccessLog(bool quiet, std::filesystem::path file = {});
  ~AccessLog();
  AccessLog(const AccessLog&) = delete;
  AccessLog& operator=(const AccessLog&) = delete;
  // Queues the line; it is written and flushed by the writer shortly after. Lines still queued
  // at the log's end are written before it ends.
  void Write(const LogEntry& entry);
  // Opens the file again by its name, after a rotation renamed it; the old one stays in use
  // when that fails (said on stderr). Nothing to do on standard output.
  void Reopen();
  static std::string Format(const LogEntry& entry, std::string_view time);

 private:
  void WriteLoop();

  const bool quiet_;
  const std::filesystem::path path_;
  std::FILE* out_ = stdout;  // the writer's alone
  std::mutex mutex_;         // guards what follows, never held for a write
  std::condition_variable wake_;
  std::vector<std::string> queued_;
  std::size_t dropped_ = 0;        // lines lost to a full queue, not yet said
  std::FILE* reopened_ = nullptr;  // the file to go on in, after a rotation
  std::size_t reopenAt_ = 0;       // how many queued lines came before the rotation
  bool ending_ = false;
  std::thread writer_;
};

}  // namespace quillon::host
