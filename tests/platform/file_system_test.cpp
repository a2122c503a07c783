#include "platform/file_system.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quillon {
namespace {

namespace fs = std::filesystem;

class NativeFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("quillon-fs-" + std::to_string(std::random_device{}()));
    fs::create_directories(root_ / "docs" / "lum00012");
    fs::create_directories(root_ / "docs" / "lummisc0");
    std::ofstream(root_ / "docs" / "lum00012" / "lum01234.htm") << "page";
    std::ofstream(root_ / "docs" / "lum00012" / "lum01235") << "no extension";
  }
  void TearDown() override { fs::remove_all(root_); }
  std::string Root() const { return root_.string() + "/"; }
  fs::path root_;
};

TEST_F(NativeFiles, OpensDiscPathsAsTheWindowsHostWould) {
  const std::string root = Root();
  const struct {
    std::string path;
    bool opens;
    std::uint64_t size;
  } rows[] = {
    {root + "docs\\lum00012/lum01234.htm", true, 4},  // mixed separators
    {root + "docs/lum00012/lum01234.htm", true, 4},
    {root + "docs\\lum00012\\lum01234.htm", true, 4},
    {root + "docs\\lum00012\\lum01235.", true, 12},  // a trailing dot is dropped
    {root + "docs\\lum00012/lum09999.htm", false, 0},
    {root + "docs\\lum00012", false, 0},  // a folder is no document
    {root + "docs\\lum00012/.", false, 0},
    {root + "docs\\lum00012/..", false, 0},
#if defined(_WIN32)
    // DOS device names open a device wherever they stand: no document.
    {root + "nul", false, 0},
    {root + "NUL.txt", false, 0},
    {root + "docs\\lummisc0\\nul.gif", false, 0},
    {root + "docs/lummisc0/con.htm", false, 0},
    {root + "com1", false, 0},
    {root + "aux", false, 0},
    {root + "con", false, 0},
    {root + "prn", false, 0},
    {root + "lpt1", false, 0},
#endif
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

#if defined(_WIN32)

TEST_F(NativeFiles, AnOpenFileIsSharedWithReadersButNotWriters) {
  const std::string path = root_.string() + "\\docs\\lum00012\\lum01234.htm";
  auto file = platform::CurrentFileSystem().OpenForReading(path);
  ASSERT_NE(file, nullptr);
  const struct {
    DWORD access;
    bool opens;
  } others[] = {
      {GENERIC_READ, true}, {GENERIC_WRITE, false}, {GENERIC_READ | GENERIC_WRITE, false}};
  for (const auto& other : others) {
    HANDLE handle = CreateFileA(path.c_str(), other.access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_EQ(handle != INVALID_HANDLE_VALUE, other.opens) << other.access;
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
  file.reset();

  // A file a writer holds without sharing it cannot be opened: the 404 case.
  HANDLE writer = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform::CurrentFileSystem().OpenForReading(path), nullptr);
  CloseHandle(writer);
}

#else

TEST_F(NativeFiles, AFifoIsRefusedWithoutWaitingForAWriter) {
  const std::string fifo = Root() + "docs/lum00012/lum01236.htm";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto opening = std::async(std::launch::async,
                            [&] { return platform::CurrentFileSystem().OpenForReading(fifo); });
  if (opening.wait_for(std::chrono::seconds(5)) == std::future_status::timeout) {
    // Release the blocked open so the test can end, then fail.
    const int writer = ::open(fifo.c_str(), O_WRONLY);
    opening.wait();
    ::close(writer);
    FAIL() << "opening a FIFO blocked";
  }
  EXPECT_EQ(opening.get(), nullptr);
}

#endif

}  // namespace
}  // namespace quillon
