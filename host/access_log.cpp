#include "access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "filter_host.h"
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

// Appended to, never truncated: a log another process also appends to keeps its lines. Readable
// by the owner's group, for the log readers (adm on Debian).
std::FILE* OpenLog(const std::filesystem::path& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0640);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "a");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace

AccessLog::AccessLog(bool quiet, std::filesystem::path file)
    : quiet_(quiet), path_(std::move(file)) {
  if (quiet_ || path_.empty()) return;
  out_ = OpenLog(path_);
  if (out_ == nullptr) {
    throw HostError("cannot open the access log " + path_.string() + ": " + std::strerror(errno));
  }
}

AccessLog::~AccessLog() {
  if (out_ != stdout) std::fclose(out_);
}

void AccessLog::Reopen() {
  if (quiet_ || path_.empty()) return;
  std::FILE* fresh = OpenLog(path_);
  if (fresh == nullptr) {
    std::fprintf(stderr, "quillon-proxy: cannot reopen the access log %s: %s; writing on\n",
                 path_.c_str(), std::strerror(errno));
    return;
  }
  std::lock_guard lock(mutex_);
  std::fclose(out_);
  out_ = fresh;
}

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
  std::fwrite(line.data(), 1, line.size(), out_);
  std::fflush(out_);
}

}  // namespace quillon::host
