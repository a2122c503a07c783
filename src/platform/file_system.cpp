#include "platform/file_system.h"

#include "platform/replaceable.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace quillon::platform {

namespace {

#if defined(_WIN32)

class WindowsFile : public ReadableFile {
 public:
  explicit WindowsFile(HANDLE handle) : handle_(handle) {}
  ~WindowsFile() override { CloseHandle(handle_); }
  std::uint64_t Size() override {
    LARGE_INTEGER size{};
    return GetFileSizeEx(handle_, &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  }
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    DWORD read = 0;
    if (!ReadFile(handle_, buffer, static_cast<DWORD>(size), &read, nullptr)) return -1;
    return static_cast<std::ptrdiff_t>(read);
  }

 private:
  HANDLE handle_;
};

class NativeFileSystem : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Only files on a disk: a DOS device name ("nul", "com1", "lummisc0/con.gif") opens a device
    // in any folder, and a device is no document.
    if (GetFileType(handle) != FILE_TYPE_DISK) {
      CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<WindowsFile>(handle);
  }
};

#else

class PosixFile : public ReadableFile {
 public:
  PosixFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixFile() override { ::close(fd_); }
  std::uint64_t Size() override { return size_; }
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      ssize_t n = ::read(fd_, buffer, size);
      if (n >= 0) return n;
      if (errno != EINTR) return -1;
    }
  }

 private:
  int fd_;
  std::uint64_t size_;
};

class NativeFileSystem : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& path) override {
    // Opened without blocking, then checked: opening a FIFO for reading would wait for a writer
    // and hold the server's thread. The flag stays: it changes nothing for a regular file.
    int fd = ::open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info {};
    // Only regular files: a folder, FIFO or device opens on POSIX but is no document.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    return std::make_unique<PosixFile>(fd, static_cast<std::uint64_t>(info.st_size));
  }
};

#endif

NativeFileSystem nativeFileSystem;
Replaceable<FileSystem> current(nativeFileSystem);

}  // namespace

std::string NativePath(const std::string& path) {
#if defined(_WIN32)
  return path;
#else
  std::string native = path;
  for (char& c : native) {
    if (c == '\\') c = '/';
  }
  // "name." opens "name" on Windows; a final "." or ".." is a folder reference, not a name.
  std::size_t nameStart = native.rfind('/') + 1;  // npos + 1 == 0
  std::string_view name = std::string_view(native).substr(nameStart);
  if (name.size() > 1 && name.back() == '.' && name != "..") native.pop_back();
  return native;
#endif
}

FileSystem& CurrentFileSystem() { return current.Current(); }

FileSystem* ReplaceFileSystem(FileSystem* replacement) { return current.Replace(replacement); }

}  // namespace quillon::platform
