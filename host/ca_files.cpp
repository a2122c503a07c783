// The authority's folder and files, which hold its private key: owned by the user, closed to
// others, written whole or not at all.
#include "ca_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "filter_host.h"

namespace quillon::host {

namespace fs = std::filesystem;

// Writes `text` to `path` through a new file of its own with `mode`, renamed into place, so a
// reader never sees half a file and a key is never readable by others, not even for a moment.
void WriteFileAtomically(const fs::path& path, const std::string& text, mode_t mode) {
  const fs::path temporary = path.string() + ".new." + std::to_string(getpid());
  const int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
  if (fd < 0) throw HostError("cannot write " + temporary.string());
  bool ok = fchmod(fd, mode) == 0;
  for (std::size_t done = 0; ok && done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = fsync(fd) == 0 && ok;
  ok = close(fd) == 0 && ok;
  if (!ok || rename(temporary.c_str(), path.c_str()) != 0) {
    unlink(temporary.c_str());
    throw HostError("cannot write " + path.string());
  }
}

// A missing folder is made the owner's alone; an existing one is taken as it is, never changed
// (`--ca-dir /tmp` must not close /tmp to everyone else), so it must be the user's own and closed
// to others' writes, or they could swap the files in it.
void PrepareFolder(const fs::path& folder) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) {
    if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), ec);
    if (ec || (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)) {
      throw HostError("cannot make the folder " + folder.string() +
                      (ec ? ": " + ec.message() : std::string()));
    }
  }
  struct stat info {};
  if (stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    throw HostError(folder.string() + " is not a folder");
  }
  if (info.st_uid != geteuid()) {
    throw HostError(folder.string() +
                    " belongs to another user: give the local certificate authority a folder of "
                    "its own (--ca-dir makes a missing one)");
  }
  if ((info.st_mode & 022) != 0) {
    throw HostError(folder.string() +
                    " may be written by other users: give the local certificate authority a "
                    "folder of its own (--ca-dir makes a missing one)");
  }
}

// A file of the authority, opened without following a link and checked as opened: the user's
// own, and none of `forbidden` in its mode.
CaFile OpenOwnFile(const fs::path& path, mode_t forbidden, const char* advice) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) throw HostError("cannot read " + path.string());
  struct stat info {};
  std::string refusal;
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    refusal = " is not a file";
  } else if (info.st_uid != geteuid()) {
    refusal = " belongs to another user";
  } else if ((info.st_mode & forbidden) != 0) {
    refusal = advice;
  }
  FILE* file = refusal.empty() ? fdopen(fd, "re") : nullptr;
  if (file == nullptr) {
    close(fd);
    throw HostError(path.string() + (refusal.empty() ? ": cannot read" : refusal));
  }
  return CaFile(file);
}

}  // namespace quillon::host
