#include "responses/document_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/file_system.h"
#include "support/fake_viewer.h"
#include "support/memory_files.h"
#include "support/recording_server.h"

namespace quillon {
namespace {

using testing::MemoryFileSystem;
using testing::RecordingServer;
using testing::SentResponse;

const char kNotFoundHeaders[] = "Content-Type: text/html\r\nContent-Length: 51\r\n";
const char kNotFoundBody[] = "<body><h1>HTTP/1.0 404 Object Not Found</h1></body>";

TEST(StreamFile, SendsTheHeaderThenOneWritePerBlock) {
  const struct {
    std::size_t size;
    std::vector<std::size_t> writes;
  } rows[] = {{0, {}}, {1, {1}}, {8192, {8192}}, {8193, {8192, 1}}, {20000, {8192, 8192, 3616}}};
  for (const auto& row : rows) {
    MemoryFileSystem files;
    std::string content(row.size, '\0');
    for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31);
    files.files["/d/f.bin"] = content;
    RecordingServer server;
    EXPECT_TRUE(StreamFile(FilterCall{server.context()}, "/d/f.bin", "image/gif")) << row.size;
    ASSERT_EQ(server.responses.size(), 1u);
    EXPECT_EQ(server.responses[0],
              (SentResponse{std::nullopt, "Content-Type: image/gif\r\nContent-Length: " +
                                              std::to_string(row.size) + "\r\n"}));
    std::vector<std::size_t> sizes;
    for (const std::string& w : server.writes) sizes.push_back(w.size());
    EXPECT_EQ(sizes, row.writes) << row.size;
    EXPECT_EQ(server.Body(), content);
    EXPECT_EQ(files.openFiles, 0);
  }
}

TEST(StreamFile, StopsOnEveryFailureAndClosesTheFile) {
  enum Failure { kMissing, kRefusedHeader, kFailedWrite, kShortWrite, kFailedRead };
  const struct {
    Failure failure;
    std::size_t responses;
    std::size_t writes;
  } rows[] = {
      {kMissing, 1, 1},                              // the 404 reply and its body
      {kRefusedHeader, 1, 0}, {kFailedWrite, 1, 1},  // the first block fails: nothing further
      {kShortWrite, 1, 1},    {kFailedRead, 1, 1},   // the second read fails
  };
  for (const auto& row : rows) {
    MemoryFileSystem files;
    files.files["/d/f.htm"] = std::string(20000, 'a');
    RecordingServer server;
    std::string path = "/d/f.htm";
    if (row.failure == kMissing) path = "/d/missing.htm";
    if (row.failure == kRefusedHeader) server.refuseResponseHeader = true;
    if (row.failure == kFailedWrite) server.failWriteAt = 0;
    if (row.failure == kShortWrite) server.shortWriteAt = 0;
    if (row.failure == kFailedRead) files.failReadAfter = 8192;
    EXPECT_FALSE(StreamFile(FilterCall{server.context()}, path, "text/html")) << row.failure;
    EXPECT_EQ(server.responses.size(), row.responses) << row.failure;
    EXPECT_EQ(server.writes.size(), row.writes) << row.failure;
    EXPECT_EQ(files.openFiles, 0) << row.failure;
    if (row.failure == kMissing) {
      EXPECT_EQ(server.responses[0], (SentResponse{"404 Not Found", kNotFoundHeaders}));
      EXPECT_EQ(server.Body(), kNotFoundBody);
    }
  }
}

// A disc file larger than an int can count: its length is still sent exactly.
class HugeFiles : public platform::FileSystem {
 public:
  class Huge : public platform::ReadableFile {
   public:
    std::uint64_t Size() override { return 3ull << 30; }
    std::ptrdiff_t Read(char*, std::size_t) override { return 0; }
  };
  std::unique_ptr<platform::ReadableFile> OpenForReading(const std::string&,
                                                         const std::string&) override {
    return std::make_unique<Huge>();
  }
};

TEST(StreamFile, AnnouncesTheLengthOfAFileOverTwoGigabytes) {
  HugeFiles files;
  platform::FileSystem* previous = platform::ReplaceFileSystem(&files);
  RecordingServer server;
  StreamFile(FilterCall{server.context()}, "/d/huge.mpg", "video/mpeg");
  platform::ReplaceFileSystem(previous);
  ASSERT_EQ(server.responses.size(), 1u);
  EXPECT_EQ(server.responses[0].headers,
            "Content-Type: video/mpeg\r\nContent-Length: 3221225472\r\n");
}

// A file whose length changes after it was announced: never more than the announced length.
class ChangingFiles : public platform::FileSystem {
 public:
  std::uint64_t announced = 0, holds = 0;
  class Changing : public platform::ReadableFile {
   public:
    Changing(std::uint64_t announced, std::uint64_t holds) : announced_(announced), left_(holds) {}
    std::uint64_t Size() override { return announced_; }
    std::ptrdiff_t Read(char* buffer, std::size_t size) override {
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, left_));
      std::fill_n(buffer, n, 'x');
      left_ -= n;
      return static_cast<std::ptrdiff_t>(n);
    }

   private:
    std::uint64_t announced_, left_;
  };
  std::unique_ptr<platform::ReadableFile> OpenForReading(const std::string&,
                                                         const std::string&) override {
    return std::make_unique<Changing>(announced, holds);
  }
};

TEST(StreamFile, SendsNoMoreThanTheAnnouncedLength) {
  const struct {
    std::uint64_t announced, holds, sent;
  } rows[] = {{10, 1u << 20, 10}, {8192, 9000, 8192}, {8193, 8193, 8193}, {10, 4, 4}};
  for (const auto& row : rows) {
    ChangingFiles files;
    files.announced = row.announced;
    files.holds = row.holds;
    platform::FileSystem* previous = platform::ReplaceFileSystem(&files);
    RecordingServer server;
    EXPECT_TRUE(StreamFile(FilterCall{server.context()}, "/d/f.bin", "x/y")) << row.announced;
    platform::ReplaceFileSystem(previous);
    EXPECT_EQ(server.Body().size(), row.sent) << row.announced << " " << row.holds;
  }
}

TEST(ExtensionContentType, FollowsTheTableWithAsciiCaseOnly) {
  const struct {
    const char* extension;
    const char* type;
  } rows[] = {
      {"htm", "text/html"},
      {"HTM", "text/html"},
      {"Htm", "text/html"},
      {"html", ""},
      {"JPG", "image/jpeg"},
      {"jpeg", ""},
      {"", "application/octet-stream"},
      {"txt", "text/plain"},
      {"gif", "image/gif"},
      {"tif", "image/tiff"},
      {"tiff", ""},
      {"wav", "audio/wav"},
      {"mpg", "video/mpeg"},
      {"mpeg", ""},
      {"avi", "video/avi"},
      {"mov", "video/quicktime"},
      {"pdf", "application/pdf"},
      {"ppt", "application/x-mspowerpoint"},
      {"doc", "application/msword"},
      {"rtf", "application/rtf"},
      {"BMV", "application/x-bmv"},
      {"h\xC4m", ""},
      {"htm ", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(ExtensionContentType(row.extension), row.type);
}

TEST(ServeCatalogueEntry, BuildsThePathFromRootNumberAndExtension) {
  testing::FakeViewer viewer;
  viewer.rootPath = "D:\\";
  viewer.Link();
  const struct {
    const char* contentType;
    const char* extension;
    const char* path;
    const char* typeLine;
  } rows[] = {
      {"text/plain", "htm", "D:\\docs\\lum00012/lum01234.htm", "Content-Type: text/plain\r\n"},
      {"", "htm", "D:\\docs\\lum00012/lum01234.htm", "Content-Type: text/html\r\n"},
      {"", "xyz", "D:\\docs\\lum00012/lum01234.xyz", "Content-Type: \r\n"},
      {"", "", "D:\\docs\\lum00012/lum01234.", "Content-Type: application/octet-stream\r\n"},
  };
  for (const auto& row : rows) {
    MemoryFileSystem files;
    files.files[row.path] = "12345";
    CatalogueEntry entry;
    entry.number = 0x1234;
    entry.contentType = row.contentType;
    entry.extension = row.extension;
    RecordingServer server;
    EXPECT_TRUE(ServeCatalogueEntry(FilterCall{server.context()}, entry));
    EXPECT_EQ(files.opened, std::vector<std::string>{row.path});
    ASSERT_EQ(server.responses.size(), 1u);
    EXPECT_EQ(server.responses[0].headers, std::string(row.typeLine) + "Content-Length: 5\r\n");
    EXPECT_EQ(server.Body(), "12345");
  }
}

}  // namespace
}  // namespace quillon
