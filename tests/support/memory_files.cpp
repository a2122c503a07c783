#include "support/memory_files.h"

#include <algorithm>
#include <cstring>

namespace quillon::testing {

namespace {

class MemoryFile : public platform::ReadableFile {
 public:
  MemoryFile(const std::string& content, long failAfter, std::atomic<int>& openFiles)
      : content_(content), failAfter_(failAfter), openFiles_(openFiles) {
    ++openFiles_;
  }
  ~MemoryFile() override { --openFiles_; }
  std::uint64_t Size() override { return content_.size(); }
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    std::size_t n = std::min(size, content_.size() - position_);
    if (failAfter_ >= 0 && n > 0 && position_ + n > static_cast<std::size_t>(failAfter_)) return -1;
    std::memcpy(buffer, content_.data() + position_, n);
    position_ += n;
    return static_cast<std::ptrdiff_t>(n);
  }

 private:
  std::string content_;
  long failAfter_;
  std::atomic<int>& openFiles_;
  std::size_t position_ = 0;
};

}  // namespace

MemoryFileSystem::MemoryFileSystem() : previous_(platform::ReplaceFileSystem(this)) {}
MemoryFileSystem::~MemoryFileSystem() { platform::ReplaceFileSystem(previous_); }

std::unique_ptr<platform::ReadableFile> MemoryFileSystem::OpenForReading(
    const std::string& root, const std::string& relative) {
  const std::string path = root + relative;
  std::lock_guard lock(mutex_);
  opened.push_back(path);
  auto it = files.find(path);
  if (it == files.end()) return nullptr;
  return std::make_unique<MemoryFile>(it->second, failReadAfter, openFiles);
}

}  // namespace quillon::testing
