// The local authority's folder and files: made and opened so that no other user can read its
// key or swap what it reads.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

namespace quillon::host {

struct CloseFile {
  void operator()(FILE* file) const { std::fclose(file); }
};
using CaFile = std::unique_ptr<FILE, CloseFile>;

// Writes `text` to `path` through a new file of its own with `mode`, renamed into place. Throws
// HostError.
void WriteFileAtomically(const std::filesystem::path& path, const std::string& text, mode_t mode);

// Makes a missing folder the owner's alone; refuses an existing one another user owns or may
// write to. Throws HostError.
void PrepareFolder(const std::filesystem::path& folder);

// Opens a file of the authority without following a link: refused unless the user's own and
// free of `forbidden` in its mode (`advice` says why). Throws HostError.
CaFile OpenOwnFile(const std::filesystem::path& path, mode_t forbidden, const char* advice);

}  // namespace quillon::host
