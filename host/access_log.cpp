#include "access_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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
  if (quiet_) return;
  if (!path_.empty()) {
    out_ = OpenLog(path_);
    if (out_ == nullptr) {
      throw HostError("cannot open the access log " + path_.string() + ": " + std::strerror(errno));
    }
  }
  writer_ = std::thread(&AccessLog::WriteLoop, this);
}

AccessLog::~AccessLog() {
  if (writer_.joinable()) {
    {
      std::lock_guard lock(mutex_);
      ending_ = true;
    }
    wake_.notify_one();
    writer_.join();
  }
  if (reopened_ != nullptr) std::fclose(reopened_);
  if (out_ != stdout) std::fclose(out_);
}

void AccessLog::WriteLoop() {
  std::vector<std::string> lines;
  for (;;) {
    std::size_t dropped = 0;
    std::FILE* fresh = nullptr;
    std::size_t before = 0;  // of the batch, the lines queued before a rotation
    bool ending = false;
    {
      std::unique_lock lock(mutex_);
      wake_.wait(lock, [this] {
        return ending_ || !queued_.empty() || dropped_ != 0 || reopened_ != nullptr;
      });
      lines.swap(queued_);
      std::swap(dropped, dropped_);
      std::swap(fresh, reopened_);
      const std::size_t at = reopenAt_;
      reopenAt_ = 0;
      ending = ending_;
      // Lines queued before the rotation go to the old file, those after to the new one.
      before = fresh != nullptr ? std::min(at, lines.size()) : lines.size();
    }
    for (std::size_t i = 0; i < before; ++i) std::fwrite(lines[i].data(), 1, lines[i].size(), out_);
    if (before != 0) std::fflush(out_);
    if (fresh != nullptr) {
      if (out_ != stdout) std::fclose(out_);
      out_ = fresh;
    }
    for (std::size_t i = before; i < lines.size(); ++i) {
      std::fwrite(lines[i].data(), 1, lines[i].size(), out_);
    }
    if (before != lines.size()) std::fflush(out_);
    lines.clear();
    if (dropped != 0) {
      std::fprintf(stderr,
                   "quillon-proxy: %zu access log lines dropped: the log could not keep up\n",
                   dropped);
    }
    if (ending) {
      std::lock_guard lock(mutex_);
      if (queued_.empty()) return;
    }
  }
}

void AccessLog::Reopen() {
  if (quiet_ || path_.empty()) return;
  // Opened under the lock: a line queued once the new file is there goes to it, never to the old.
  std::lock_guard lock(mutex_);
  std::FILE* fresh = OpenLog(path_);
  if (fresh == nullptr) {
    std::fprintf(stderr, "quillon-proxy: cannot reopen the access log %s: %s; writing on\n",
                 path_.c_str(), std::strerror(errno));
    return;
  }
  if (reopened_ != nullptr) std::fclose(reopened_);  // two rotations before the writer woke
  reopened_ = fresh;
  reopenAt_ = queued_.size();
  wake_.notify_one();
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
  std::string line = Format(entry, LogTime());
  {
    std::lock_guard lock(mutex_);
    if (queued_.size() >= kLogQueueLines) {
      ++dropped_;
      return;
    }
    queued_.push_back(std::move(line));
  }
  wake_.notify_one();
}

}  // namespace quillon::host
