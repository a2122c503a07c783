// An in-memory file system for the filter: files by the exact path the filter asks for, with
// injected read failures and a count of open files.
#pragma once

#include <map>
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
  int openFiles = 0;

  std::unique_ptr<platform::ReadableFile> OpenForReading(const std::string& path) override;

 private:
  platform::FileSystem* previous_;
};

}  // namespace quillon::testing
