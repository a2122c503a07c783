// An in-memory file system for the filter: files by the exact path the filter asks for, with
// injected read failures and a count of open files. Files are set up before the filter runs.
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace quillon::testing {

class MemoryFileSystem : public platform::FileSystem {
 public:
  MemoryFileSystem();
  ~MemoryFileSystem() override;  // puts the platform's file system back

  std::map<std::string, std::string> files;
  long failReadAfter = -1;  // a read that would go past this many bytes fails
  std::vector<std::string> opened;
  std::atomic<int> openFiles{0};

  // Files by the root and relative path joined.
  std::unique_ptr<platform::ReadableFile> OpenForReading(const std::string& root,
                                                         const std::string& relative) override;

 private:
  std::mutex mutex_;  // requests on several threads open files at once
  platform::FileSystem* previous_;
};

}  // namespace quillon::testing
