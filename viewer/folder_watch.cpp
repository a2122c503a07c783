#include "folder_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>

namespace quillon::viewer {

FolderWatch::FolderWatch(const std::filesystem::path& folder) {
  fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) return;
  constexpr std::uint32_t kEvents = IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE |
                                    IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF;
  if (::inotify_add_watch(fd_, folder.c_str(), kEvents) < 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

FolderWatch::~FolderWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool FolderWatch::Changed() {
  if (fd_ < 0) return true;
  // The events themselves do not matter, only that there were some: drain them all.
  alignas(inotify_event) char events[4096];
  bool changed = false;
  for (;;) {
    const ssize_t got = ::read(fd_, events, sizeof events);
    if (got > 0) {
      changed = true;
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    return changed;
  }
}

}  // namespace quillon::viewer
