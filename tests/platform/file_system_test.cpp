#include "platform/file_system.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace quillon {
namespace {

namespace fs = std::filesystem;

class NativeFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quillon-fs-" + std::to_string(::getpid()));
    fs::create_directories(root_ / "docs" / "lum00012");
    std::ofstream(root_ / "docs" / "lum00012" / "lum01234.htm") << "page";
    std::ofstream(root_ / "docs" / "lum00012" / "lum01235") << "no extension";
  }
  void TearDown() override { fs::remove_all(root_); }
  fs::path root_;
};

TEST_F(NativeFiles, OpensDiscPathsAsTheWindowsHostWould) {
  const std::string root = root_.string() + "/";
  const struct {
    std::string path;
    bool opens;
    std::uint64_t size;
  } rows[] = {
      {root + "docs\\lum00012/lum01234.htm", true, 4},  // mixed separators
      {root + "docs/lum00012/lum01234.htm", true, 4},
      {root + "docs\\lum00012\\lum01235.", true, 12},  // a trailing dot is dropped
      {root + "docs\\lum00012/lum09999.htm", false, 0},
      {root + "docs\\lum00012", false, 0},  // a folder is no document
      {root + "docs\\lum00012/.", false, 0},
      {root + "docs\\lum00012/..", false, 0},
  };
  for (const auto& row : rows) {
    auto file = platform::CurrentFileSystem().OpenForReading(row.path);
    EXPECT_EQ(file != nullptr, row.opens) << row.path;
    if (file == nullptr) continue;
    EXPECT_EQ(file->Size(), row.size);
    char buffer[64];
    EXPECT_EQ(file->Read(buffer, sizeof buffer), static_cast<std::ptrdiff_t>(row.size));
    EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
  }
}

}  // namespace
}  // namespace quillon
