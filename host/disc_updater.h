// Keeping a served disc current (--update-disc): a 200 answer from the network for an address on
// the disc replaces the disc's copy; with --update-disc=all, new pages of the disc's hosts are
// added. Each copy is written to a file of its own, renamed into place, and then named in one
// catalogue transaction, so a crash leaves the old copy or the new one, never a part of one.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "http_rules.h"
#include "sqlite.h"

namespace quillon::host {

// A copy larger than this is not put on the disc.
inline constexpr std::uint64_t kMostUpdateBytes = 64 * 1024 * 1024;
// Copies on their way to the disc are written here, under the disc root.
inline constexpr const char* kUpdatesFolder = kDiscUpdatesFolder;

class DiscUpdater {
 public:
  // One answer's body on its way to the disc.
  class Copy {
   public:
    ~Copy();
    // Adds a block; a copy that grows too large or cannot be written is dropped.
    void Append(std::string_view data);

   private:
    friend class DiscUpdater;
    int fd_ = -1;
    std::filesystem::path temporary_;
    std::string url_;
    std::string contentType_;
    std::uint64_t size_ = 0;
    bool failed_ = false;
  };

  // Throws viewer::DiscError when the disc cannot be written.
  DiscUpdater(const std::filesystem::path& disc, bool addNewPages);

  // A copy to fill when an answer for `url` (absolute) is to go on the disc: a 200 without a
  // content coding, for an address on the disc (or, adding new pages, of a host on it).
  std::unique_ptr<Copy> Begin(std::string_view url, unsigned status, std::string_view contentType,
                              std::string_view contentEncoding);
  // Puts a complete copy on the disc; false when it was dropped or could not be written.
  bool Commit(Copy& copy);

 private:
  std::filesystem::path disc_;
  bool addNewPages_;
  std::set<std::string> hosts_;  // "host[:port]" of the disc's addresses
  std::mutex mutex_;             // one write at a time on the one connection
  std::unique_ptr<viewer::Database> db_;
  std::uint64_t copies_ = 0;  // names the temporary files
};

}  // namespace quillon::host
