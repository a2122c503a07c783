#include "platform/disc_open.h"

#if !defined(_WIN32)

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#if defined(__linux__) && __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#include <sys/syscall.h>
#if defined(SYS_openat2)
#define QUILLON_HAVE_OPENAT2 1
#endif
#endif

namespace quillon::platform {

namespace {

// Links followed in one lookup, the kernel's own limit: a loop of links ends in ELOOP.
constexpr int kLinkLimit = 40;

// Folders on the way are only looked through: a folder that may be searched but not listed
// is passed, as a plain open of the whole path passes it.
#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY;
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY;
#endif

// The names of `path` pushed in reverse, so the next one to walk is at the back and a link's
// target goes in front of what follows the link. Empty names and "." change nothing.
void PushNames(std::vector<std::string>& pending, std::string_view path) {
  std::size_t end = path.size();
  while (end > 0) {
    const std::size_t slash = path.rfind('/', end - 1);
    const std::size_t start = slash == std::string_view::npos ? 0 : slash + 1;
    const std::string_view name = path.substr(start, end - start);
    if (!name.empty() && name != ".") pending.emplace_back(name);
    if (slash == std::string_view::npos) break;
    end = slash;
  }
}

class Folders {
 public:
  explicit Folders(int root) : root_(root) {}
  ~Folders() {
    for (int fd : opened_) ::close(fd);
  }
  Folders(const Folders&) = delete;
  Folders& operator=(const Folders&) = delete;
  int Top() const { return opened_.empty() ? root_ : opened_.back(); }
  bool AtRoot() const { return opened_.empty(); }
  void Enter(int fd) { opened_.push_back(fd); }
  void Leave() {
    ::close(opened_.back());
    opened_.pop_back();
  }

 private:
  int root_;                 // not owned
  std::vector<int> opened_;  // folders under the root, innermost last
};

int Fail(int error) {
  errno = error;
  return -1;
}

}  // namespace

int OpenBeneathByWalking(int rootFd, std::string_view relative, int flags) {
  std::vector<std::string> pending;
  PushNames(pending, relative);
  // A trailing '/' names a folder, as the kernel reads it.
  const bool folderWanted = !relative.empty() && relative.back() == '/';
  Folders folders(rootFd);
  int links = 0;
  while (!pending.empty()) {
    const std::string name = std::move(pending.back());
    pending.pop_back();
    if (name == "..") {
      if (folders.AtRoot()) return Fail(EXDEV);
      folders.Leave();
      continue;
    }
    const bool last = pending.empty();
    const int openFlags = last ? flags | (folderWanted ? O_DIRECTORY : 0) : kFolderFlags;
    int fd = -1;
    do {
      fd = ::openat(folders.Top(), name.c_str(), openFlags | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
      if (last) return fd;
      folders.Enter(fd);
      continue;
    }
    // Not opened: a link is resolved here, against the folder it stands in; anything else fails.
    const int openError = errno;
    std::string target(PATH_MAX, '\0');
    const ssize_t length = ::readlinkat(folders.Top(), name.c_str(), target.data(), target.size());
    if (length < 0) return Fail(openError);
    if (static_cast<std::size_t>(length) >= target.size()) return Fail(ENAMETOOLONG);
    target.resize(static_cast<std::size_t>(length));
    if (++links > kLinkLimit) return Fail(ELOOP);
    if (target.empty()) return Fail(ENOENT);
    if (target.front() == '/') return Fail(EXDEV);  // an absolute link names no place on the disc
    PushNames(pending, target);
  }
  // The walk ended on a folder ("", "a/.."): open it as the last name.
  int fd = -1;
  do {
    fd = ::openat(folders.Top(), ".", flags | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

namespace {

// The disc folder stays open between calls: a request then pays one stat of the folder instead
// of an open and a close, and only the first request of each recheck time pays even that. The
// stat keeps the answer exact: a folder made again, or a link now naming another folder, has
// another inode, and the folder held open cannot hand its inode number to a new one. Between
// stats the folder held is read, as the catalogue's own change watch is asked only once per the
// same time: a busy server would otherwise spend one system call in nine on this stat. One folder
// is held for the library, not one per thread: a thread's own would keep the library loaded after a
// host unloads it, and leave a descriptor behind with each thread that ends. A replaced folder
// closes once its last open is done with it.
class HeldRoot {
 public:
  HeldRoot(int fd, std::string path, dev_t device, ino_t inode)
      : fd_(fd), path_(std::move(path)), device_(device), inode_(inode) {}
  ~HeldRoot() { ::close(fd_); }
  HeldRoot(const HeldRoot&) = delete;
  HeldRoot& operator=(const HeldRoot&) = delete;

  int fd() const { return fd_; }
  bool Names(const std::string& path, const struct stat& now) const {
    return path == path_ && now.st_dev == device_ && now.st_ino == inode_;
  }
  // True when `path` is this folder's and its last stat is younger than the recheck time.
  bool Fresh(const std::string& path, std::int64_t now) const {
    return now - checkedAt_.load(std::memory_order_relaxed) < kDiscRecheck.count() && path == path_;
  }
  void Checked(std::int64_t now) const { checkedAt_.store(now, std::memory_order_relaxed); }

 private:
  int fd_;
  std::string path_;
  dev_t device_;
  ino_t inode_;
  mutable std::atomic<std::int64_t> checkedAt_{std::numeric_limits<std::int64_t>::min() / 2};
};

std::atomic<std::shared_ptr<const HeldRoot>> heldRoot;

// The folder `root` names now, open; null with errno set when it cannot be opened.
std::shared_ptr<const HeldRoot> RootFolder(const std::string& root) {
  std::shared_ptr<const HeldRoot> held = heldRoot.load(std::memory_order_acquire);
  const std::int64_t at = SteadyNanoseconds();
  if (held != nullptr && held->Fresh(root, at)) return held;
  struct stat now {};
  if (::stat(root.c_str(), &now) != 0) return nullptr;
  if (held != nullptr && held->Names(root, now)) {
    held->Checked(at);
    return held;
  }
  const int fd = ::open(root.c_str(), kFolderFlags | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat opened {};
  if (::fstat(fd, &opened) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return nullptr;
  }
  held = std::make_shared<const HeldRoot>(fd, root, opened.st_dev, opened.st_ino);
  held->Checked(at);
  heldRoot.store(held, std::memory_order_release);
  return held;
}

}  // namespace

int OpenBeneath(const std::string& root, std::string_view relative, int flags) {
  while (!relative.empty() && relative.front() == '/') relative.remove_prefix(1);
  const std::shared_ptr<const HeldRoot> folder = RootFolder(root);
  if (folder == nullptr) return -1;
  const int rootFd = folder->fd();
  int fd = -1;
#if defined(QUILLON_HAVE_OPENAT2)
  open_how how{};
  how.flags = static_cast<unsigned long long>(flags | O_CLOEXEC);
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  const std::string path = relative.empty() ? std::string(".") : std::string(relative);
  do {
    fd = static_cast<int>(::syscall(SYS_openat2, rootFd, path.c_str(), &how, sizeof how));
  } while (fd < 0 && errno == EINTR);
  // Kernels before 5.6 lack the call; a seccomp filter may refuse one it does not know.
  if (fd < 0 && (errno == ENOSYS || errno == EPERM)) {
    fd = OpenBeneathByWalking(rootFd, relative, flags);
  }
#else
  fd = OpenBeneathByWalking(rootFd, relative, flags);
#endif
  return fd;
}

}  // namespace quillon::platform

#endif
