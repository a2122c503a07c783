// Where quillon-proxy finds the filter library and the disc it uses when not told: relative to
// its own executable, so that one binary works installed under any prefix (or unpacked into a
// scratch root) and in the build tree, with no build-tree path compiled in.
#pragma once

#include <filesystem>
#include <string>

namespace quillon::host {

// The folder of the running executable (/proc/self/exe), empty when it cannot be told.
std::filesystem::path ExecutableFolder();

// The first of the candidates, each relative to the executable's folder, that exists; the first
// candidate when none does (so that an error names the installed place).
std::string FirstExisting(const std::filesystem::path& folder,
                          std::initializer_list<const char*> relativeCandidates);

// <prefix>/bin/../<libdir>/quillon/libquillon_filter.so installed, build/src/ in the build tree.
std::string DefaultFilterPath();
// <prefix>/bin/../<datadir>/quillon/sample-disc installed, build/sample-disc in the build tree.
std::string DefaultDiscPath();

}  // namespace quillon::host
