// Reading disc files: open an existing file, take its length, read it in blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quillon::platform {

class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  virtual std::uint64_t Size() = 0;
  // Bytes read, 0 at the end of the file, -1 on a read error.
  virtual std::ptrdiff_t Read(char* buffer, std::size_t size) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // The existing regular file `relative` in the disc folder `root` (`root` + `relative` joined
  // as they are), opened for reading, shared with other readers; null when it cannot be opened,
  // when `root` is empty (no disc), or when reaching it would leave `root`: by ".." or by a link,
  // to a file or a folder, whose target lies outside. Links that stay inside are followed. Both
  // parts may mix '/' and '\'.
  virtual std::unique_ptr<ReadableFile> OpenForReading(const std::string& root,
                                                       const std::string& relative) = 0;
};

// The file system the filter reads through: the platform's own unless a test put another in place.
FileSystem& CurrentFileSystem();
// Puts `replacement` in place (null restores the platform's own) and returns the one before.
FileSystem* ReplaceFileSystem(FileSystem* replacement);

// The platform's own path for a disc path: on POSIX '\' becomes '/' and a trailing '.' of the
// final name goes, as Windows would open it.
std::string NativePath(const std::string& path);

}  // namespace quillon::platform
