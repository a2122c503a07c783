// A ZIM import's reading over any bytes: the archive opened with the checks the import makes
// first, its metadata and main page, every entry read to its end. Whatever the bytes, the only
// way out is a ZimError (or ToolError) naming the problem; a crash, an abort or another exception
// is a fault.
#include <sys/mman.h>
#include <unistd.h>
#include <zim/archive.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "zim_disc.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon::disc;
  const int fd = ::memfd_create("fuzz.zim", MFD_CLOEXEC);
  if (fd < 0) std::abort();
  if (size > 0 && ::write(fd, data, size) != static_cast<ssize_t>(size)) std::abort();
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  try {
    // The first byte chooses whether the checksum is compared too, as --verify does.
    const auto archive = OpenZimArchive(path, size > 0 && (data[0] & 1) != 0);
    const ZimFacts facts = ReadZimFacts(*archive, "", "fuzz");
    if (facts.host.empty()) std::abort();
    ReadZimEntries(*archive, facts, [&](const ZimEntry& entry) {
      if (!entry.skipped.empty() || !entry.redirectUrl.empty()) return;
      if (entry.url.empty()) std::abort();
      for (std::string_view piece = entry.pieces(); !piece.empty(); piece = entry.pieces()) {
      }
    });
  } catch (const ToolError&) {
    // A damaged file, reported as one.
  }
  ::close(fd);
  return 0;
}
