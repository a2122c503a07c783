#include "platform/file_system.h"

#include "platform/disc_open.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <random>
#include <thread>

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
  const struct {
    std::string relative;
    bool opens;
    std::uint64_t size;
  } rows[] = {
    {"docs\\lum00012/lum01234.htm", true, 4},  // mixed separators
    {"docs/lum00012/lum01234.htm", true, 4},
    {"docs\\lum00012\\lum01234.htm", true, 4},
    {"docs\\lum00012\\lum01235.", true, 12},  // a trailing dot is dropped
    {"docs\\lum00012/lum09999.htm", false, 0},
    {"docs\\lum00012", false, 0},  // a folder is no document
    {"docs\\lum00012/.", false, 0},
    {"docs\\lum00012/..", false, 0},
#if defined(_WIN32)
    // DOS device names open a device wherever they stand: no document.
    {"nul", false, 0},
    {"NUL.txt", false, 0},
    {"docs\\lummisc0\\nul.gif", false, 0},
    {"docs/lummisc0/con.htm", false, 0},
    {"com1", false, 0},
    {"aux", false, 0},
    {"con", false, 0},
    {"prn", false, 0},
    {"lpt1", false, 0},
#endif
  };
  for (const auto& row : rows) {
    auto file = platform::CurrentFileSystem().OpenForReading(Root(), row.relative);
    EXPECT_EQ(file != nullptr, row.opens) << row.relative;
    if (file == nullptr) continue;
    EXPECT_EQ(file->Size(), row.size);
    char buffer[64];
    EXPECT_EQ(file->Read(buffer, sizeof buffer), static_cast<std::ptrdiff_t>(row.size));
    EXPECT_EQ(file->Read(buffer, sizeof buffer), 0);
  }
}

// A hostile disc holds links to anything; what the disc's files lead to must stay on the disc.
TEST_F(NativeFiles, NothingOutsideTheDiscIsOpenedThroughALink) {
  const fs::path outside = root_.string() + "-outside";
  fs::create_directories(outside);
  std::ofstream(outside / "secret.txt") << "secret";
  fs::create_directories(root_ / "docs" / "lumother");
  const std::string away = outside.filename().string();
  const struct {
    const char* what;
    std::string relative;  // what is opened
    std::string link;      // a link made first, under the disc root, unless empty
    fs::path target;       // what the link names
    bool opens;
  } rows[] = {
      {"file link out", "docs/lumother/passwd", "docs/lumother/passwd", outside / "secret.txt",
       false},
      {"folder link out", "docs/lummisc0/out/secret.txt", "docs/lummisc0/out", outside, false},
      {"../ link", "docs/lumother/up.txt", "docs/lumother/up.txt",
       fs::path("../../..") / away / "secret.txt", false},
      {"../ in the name", "docs/../../" + away + "/secret.txt", "", {}, false},
      {"link within the disc", "docs/lumother/same.htm", "docs/lumother/same.htm",
       fs::path("../lum00012/lum01234.htm"), true},
      {"folder link within the disc", "docs/lumother/pages/lum01234.htm", "docs/lumother/pages",
       fs::path("../lum00012"), true},
      {"plain file", "docs/lum00012/lum01234.htm", "", {}, true},
      {"document file that is a link", "docs\\lum00012/lum01237.htm", "docs/lum00012/lum01237.htm",
       outside / "secret.txt", false},
  };
  for (const auto& row : rows) {
    if (row.link.empty()) continue;
    const fs::path at = (root_ / row.link).make_preferred();
    const fs::path target = fs::path(row.target).make_preferred();
    const bool folder = fs::is_directory(at.parent_path() / target);
#if defined(_WIN32)
    // The C++ library makes no links on Windows; the system call does, unprivileged where allowed.
    const bool made = CreateSymbolicLinkA(at.string().c_str(), target.string().c_str(),
                                          (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) |
                                              SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) != 0;
#else
    std::error_code error;
    folder ? fs::create_directory_symlink(target, at, error)
           : fs::create_symlink(target, at, error);
    const bool made = !error;
#endif
    if (!made) {
      fs::remove_all(outside);
      GTEST_SKIP() << "no links here";
    }
  }
#if defined(_WIN32)
  // Wine makes links but opens nothing through them: no row could tell anything there.
  HANDLE probe =
      CreateFileA((root_ / "docs" / "lumother" / "same.htm").string().c_str(), GENERIC_READ,
                  FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (probe == INVALID_HANDLE_VALUE) {
    fs::remove_all(outside);
    GTEST_SKIP() << "links are not followed here";
  }
  CloseHandle(probe);
#endif
  for (const auto& row : rows) {
    auto file = platform::CurrentFileSystem().OpenForReading(Root(), row.relative);
    EXPECT_EQ(file != nullptr, row.opens) << row.what;
    if (file != nullptr) {
      char buffer[16];
      EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(file->Read(buffer, sizeof buffer))),
                "page")
          << row.what;
    }
#if !defined(_WIN32)
    // The walk kernels without openat2 take: the same answers.
    const int rootFd = ::open(root_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(rootFd, 0);
    const int fd =
        platform::OpenBeneathByWalking(rootFd, platform::NativePath(row.relative), O_RDONLY);
    EXPECT_EQ(fd >= 0, row.opens) << row.what << " (walking)";
    if (fd >= 0) ::close(fd);
    ::close(rootFd);
#endif
  }
  // With no disc linked there is no root to stay under: not even a whole path opens.
  EXPECT_EQ(platform::CurrentFileSystem().OpenForReading("", Root() + "docs/lum00012/lum01234.htm"),
            nullptr);
  fs::remove_all(outside);
}

#if defined(_WIN32)

TEST_F(NativeFiles, AnOpenFileIsSharedWithReadersButNotWriters) {
  const std::string root = root_.string() + "\\";
  const std::string path = root + "docs\\lum00012\\lum01234.htm";
  auto file = platform::CurrentFileSystem().OpenForReading(root, "docs\\lum00012\\lum01234.htm");
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
  EXPECT_EQ(platform::CurrentFileSystem().OpenForReading(root, "docs\\lum00012\\lum01234.htm"),
            nullptr);
  CloseHandle(writer);
}

#else

// The disc folder stays open between opens: each open a moment after a change reads the folder
// its path names now.
TEST_F(NativeFiles, EachOpenReadsTheFolderThePathNamesNow) {
  const fs::path other = root_.string() + "-other", link = root_.string() + "-link";
  auto page = [](const fs::path& folder, const std::string& text) {
    fs::create_directories(folder / "docs" / "lum00012");
    std::ofstream(folder / "docs" / "lum00012" / "lum01234.htm") << text;
  };
  page(other, "other");
  fs::create_directory_symlink(root_, link);
  const struct {
    const char* change;
    std::function<void()> apply;
    fs::path root;
    std::string read;
  } rows[] = {
      {"none", [] {}, root_, "page"},
      {"made again at its path", [&] { fs::remove_all(root_), page(root_, "again"); }, root_,
       "again"},
      {"removed", [&] { fs::remove_all(root_); }, root_, "(none)"},
      {"made again after its removal", [&] { page(root_, "back"); }, root_, "back"},
      {"none, through a link", [] {}, link, "back"},
      {"the link names another folder",
       [&] { fs::remove(link), fs::create_directory_symlink(other, link); }, link, "other"},
  };
  for (const auto& row : rows) {
    row.apply();
    std::this_thread::sleep_for(std::chrono::milliseconds(2));  // past the folder's recheck
    auto file = platform::CurrentFileSystem().OpenForReading(row.root.string() + "/",
                                                             "docs/lum00012/lum01234.htm");
    std::string read = "(none)";
    if (file != nullptr) {
      char text[16];
      const auto n = file->Read(text, sizeof text);
      read.assign(text, n > 0 ? static_cast<std::size_t>(n) : 0);
    }
    EXPECT_EQ(read, row.read) << row.change;
  }
  fs::remove(link);
  fs::remove_all(other);
}

// A page asked for again at once is read from the same open file: each reader still reads it
// from its own start to its own end.
TEST_F(NativeFiles, ReadersOfOneFileEachReadItWhole) {
  auto open = [&] {
    return platform::CurrentFileSystem().OpenForReading(Root(), "docs/lum00012/lum01234.htm");
  };
  auto first = open();
  ASSERT_NE(first, nullptr);
  char head[2];
  ASSERT_EQ(first->Read(head, sizeof head), 2);
  auto second = open();
  ASSERT_NE(second, nullptr);
  char text[8];
  EXPECT_EQ(std::string(text, second->Read(text, sizeof text)), "page");
  EXPECT_EQ(std::string(text, first->Read(text, sizeof text)), "ge");
  EXPECT_EQ(first->Read(text, sizeof text), 0);
}

TEST_F(NativeFiles, AFifoIsRefusedWithoutWaitingForAWriter) {
  const std::string fifo = Root() + "docs/lum00012/lum01236.htm";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  auto opening = std::async(std::launch::async, [&] {
    return platform::CurrentFileSystem().OpenForReading(Root(), "docs/lum00012/lum01236.htm");
  });
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
