#include "install_paths.h"

namespace quillon::host {

namespace fs = std::filesystem;

fs::path ExecutableFolder() {
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? fs::path() : self.parent_path();
}

std::string FirstExisting(const fs::path& folder,
                          std::initializer_list<const char*> relativeCandidates) {
  std::string first;
  for (const char* relative : relativeCandidates) {
    std::error_code ec;
    const fs::path candidate = (folder / relative).lexically_normal();
    if (first.empty()) first = candidate.string();
    if (fs::exists(candidate, ec)) return candidate.string();
  }
  return first;
}

// QUILLON_INSTALL_*: the installed files relative to the installed executable's folder;
// QUILLON_BUILD_*: the built files relative to the built executable's folder (host/CMakeLists.txt).
std::string DefaultFilterPath() {
  return FirstExisting(ExecutableFolder(), {QUILLON_INSTALL_FILTER, QUILLON_BUILD_FILTER});
}

std::string DefaultDiscPath() {
  return FirstExisting(ExecutableFolder(), {QUILLON_INSTALL_DISC, QUILLON_BUILD_DISC});
}

}  // namespace quillon::host
