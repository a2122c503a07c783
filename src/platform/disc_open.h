// Opening a file of the disc so that no name and no link leads out of the disc's folder: a
// hostile disc may hold links to any file of the machine.
#pragma once

#if !defined(_WIN32)

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillon::platform {

// How long what was learnt of the disc's files is trusted: the disc folder's stat, and a disc file
// opened, which later requests for its path read. A folder or file replaced on the disc is read
// from the first open this long after the change.
inline constexpr std::chrono::nanoseconds kDiscRecheck = std::chrono::milliseconds(1);

// The steady clock in nanoseconds, the unit kDiscRecheck is compared in.
inline std::int64_t SteadyNanoseconds() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// A descriptor for `relative` under the folder `root`, opened with `flags` (O_CLOEXEC is added);
// -1 with errno set when it cannot be opened or when reaching it would leave `root`: a ".." above
// it, or a link on the way (to a file or a folder) that is absolute or climbs above it. Relative
// links that stay under `root` are followed. `root` itself is trusted and may be a link. Leading
// '/'s of `relative` are dropped: it is a path inside `root`, as when the two are joined.
int OpenBeneath(const std::string& root, std::string_view relative, int flags);

// The same from an open folder, one name at a time, each opened without following a link and
// every link resolved here: what OpenBeneath falls back on where the kernel lacks openat2.
int OpenBeneathByWalking(int rootFd, std::string_view relative, int flags);

}  // namespace quillon::platform

#endif
