#include "platform/file_system.h"

#include "platform/disc_open.h"
#include "platform/replaceable.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <unordered_map>
#include <vector>
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

// The path the system resolves an open handle to, "" when it cannot say.
std::string FinalPath(HANDLE handle) {
  std::string path(MAX_PATH, '\0');
  for (;;) {
    const DWORD length =
        GetFinalPathNameByHandleA(handle, path.data(), static_cast<DWORD>(path.size()),
                                  FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(length);  // the size asked for, terminator included
  }
}

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool EqualIgnoringAsciiCase(char a, char b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return lower(a) == lower(b);
}

// Whether the opened file, reparse points (links, junctions, mount points) resolved, is still
// inside the folder `root`.
bool LiesUnder(HANDLE file, const std::string& root) {
  HANDLE folder = CreateFileA(root.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (folder == INVALID_HANDLE_VALUE) return false;
  std::string base = FinalPath(folder);
  CloseHandle(folder);
  const std::string path = FinalPath(file);
  if (base.empty() || path.empty()) return false;
  if (!IsSeparator(base.back())) base.push_back('\\');
  if (path.size() <= base.size()) return false;
  for (std::size_t i = 0; i < base.size(); ++i) {
    if (!EqualIgnoringAsciiCase(path[i], base[i])) return false;
  }
  return true;
}

class NativeFileSystem : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& root,
                                               const std::string& relative) override {
    if (root.empty()) return nullptr;
    const std::string path = root + relative;
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return nullptr;
    // Only files on a disk: a DOS device name ("nul", "com1", "lummisc0/con.gif") opens a device
    // in any folder, and a device is no document. Only files inside the disc: checked on the
    // open handle, so a link swapped in meanwhile changes nothing.
    if (GetFileType(handle) != FILE_TYPE_DISK || !LiesUnder(handle, root)) {
      CloseHandle(handle);
      return nullptr;
    }
    return std::make_unique<WindowsFile>(handle);
  }
};

#else

// Disc files held open at once, each a descriptor (the proxy reserves room for them): a few hot
// pages are what the reuse is for.
constexpr std::size_t kMostKeptDiscFiles = 16;

// A disc file opened once and read by every request that asks for it within kDiscRecheck: a
// page asked for again and again then costs one read instead of an open, a stat, a read and a
// close. Readers share the descriptor, so each reads at its own offset.
class OpenDiscFile {
 public:
  OpenDiscFile(int fd, std::uint64_t size, std::int64_t openedAt)
      : fd_(fd), size_(size), openedAt_(openedAt) {}
  ~OpenDiscFile() { ::close(fd_); }
  OpenDiscFile(const OpenDiscFile&) = delete;
  OpenDiscFile& operator=(const OpenDiscFile&) = delete;
  int fd() const { return fd_; }
  std::uint64_t size() const { return size_; }
  bool Fresh(std::int64_t now) const { return now - openedAt_ < kDiscRecheck.count(); }

 private:
  int fd_;
  std::uint64_t size_;
  std::int64_t openedAt_;
};

using SharedFile = std::shared_ptr<const OpenDiscFile>;

class PosixFile : public ReadableFile {
 public:
  explicit PosixFile(SharedFile file) : file_(std::move(file)) {}
  std::uint64_t Size() override { return file_->size(); }
  std::ptrdiff_t Read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::pread(file_->fd(), buffer, size, static_cast<off_t>(offset_));
      if (n >= 0) {
        offset_ += static_cast<std::uint64_t>(n);
        return n;
      }
      if (errno != EINTR) return -1;
    }
  }

 private:
  SharedFile file_;
  std::uint64_t offset_ = 0;
};

class NativeFileSystem : public FileSystem {
 public:
  std::unique_ptr<ReadableFile> OpenForReading(const std::string& root,
                                               const std::string& relative) override {
    if (root.empty()) return nullptr;
    const std::int64_t now = SteadyNanoseconds();
    std::string key = root;
    key.push_back('\0');  // no path holds one: root and relative cannot run into each other
    key += relative;
    if (auto kept = Kept(key, now)) return std::make_unique<PosixFile>(std::move(kept));
    // Opened without blocking, then checked: opening a FIFO for reading would wait for a writer
    // and hold the server's thread. The flag stays: it changes nothing for a regular file.
    int fd = OpenBeneath(NativePath(root), NativePath(relative), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return nullptr;
    struct stat info {};
    // Only regular files: a folder, FIFO or device opens on POSIX but is no document.
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
      ::close(fd);
      return nullptr;
    }
    auto opened =
        std::make_shared<const OpenDiscFile>(fd, static_cast<std::uint64_t>(info.st_size), now);
    Keep(std::move(key), opened, now);
    return std::make_unique<PosixFile>(std::move(opened));
  }

 private:
  SharedFile Kept(const std::string& key, std::int64_t now) {
    std::lock_guard lock(mutex_);
    const auto it = kept_.find(key);
    if (it == kept_.end() || !it->second->Fresh(now)) return nullptr;
    return it->second;
  }

  void Keep(std::string key, SharedFile file, std::int64_t now) {
    std::vector<SharedFile> released;  // closed outside the lock
    std::lock_guard lock(mutex_);
    // Stale files go first: none is read again, and each holds a descriptor (and a file
    // removed from the disc) for as long as it is kept.
    for (auto it = kept_.begin(); it != kept_.end();) {
      if (it->second->Fresh(now)) {
        ++it;
      } else {
        released.push_back(std::move(it->second));
        it = kept_.erase(it);
      }
    }
    if (kept_.size() >= kMostKeptDiscFiles) {
      released.push_back(std::move(kept_.begin()->second));
      kept_.erase(kept_.begin());
    }
    kept_.insert_or_assign(std::move(key), std::move(file));
  }

  std::mutex mutex_;
  std::unordered_map<std::string, SharedFile> kept_;
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
