// Whether anything in a folder changed: the catalogue's files (catalogue.db, its -wal and
// -journal) are written there, by whichever process writes the disc.
#pragma once

#include <filesystem>

namespace quillon::viewer {

class FolderWatch {
 public:
  // Watches nothing when the system refuses a watch (its limit reached): ok() is false then.
  explicit FolderWatch(const std::filesystem::path& folder);
  ~FolderWatch();
  FolderWatch(const FolderWatch&) = delete;
  FolderWatch& operator=(const FolderWatch&) = delete;

  bool ok() const { return fd_ >= 0; }
  // True when a file in the folder was written, made, removed or renamed since the last call, or
  // the folder itself was moved or removed. A write that returned before this call is seen by it.
  bool Changed();

 private:
  int fd_ = -1;
};

}  // namespace quillon::viewer
