#include "responses/fallback.h"

#include <gtest/gtest.h>

#include <string>

#include "common/constants.h"
#include "support/fake_viewer.h"
#include "support/memory_files.h"
#include "support/recording_server.h"

namespace quillon {
namespace {

using testing::MemoryFileSystem;
using testing::RecordingServer;
using testing::SentResponse;

TEST(ReadReplyStatus, FollowsTheStatusLineScanWithinTheBlock) {
  const struct {
    std::string block;
    std::uint32_t status;
  } rows[] = {
      {"HTTP/1.0 304 Not Modified\r\n", 304},
      {"HTTP/1.1 404 Not Found\r\n", 404},
      {"HTTP/1.1    200", 200},
      {"HTTP/1.1 \r\n 500", 500},  // white space of any kind before the number
      {"HTTP/1.1\t304 x", 0},      // a tab does not end the version
      {"HTTP/1.1 +302", 302},
      {"HTTP/1.1 -1", 0xFFFFFFFFu},  // negated in unsigned arithmetic
      {"HTTP/1.1 99999999999999", 0xFFFFFFFFu},
      {"HTTP/1.0 OK", 0},
      {"http/1.0 404", 0},
      {"HTTP/ 404", 0},  // no version
      {"HTTP/1.1", 0},
      {"HTTP/1.1 ", 0},
      {"HTTP/", 0},
      {"HTTP", 0},
      {"", 0},
      {std::string("HTTP/1.1 30\0"
                   "4",
                   13),
       30},
  };
  for (const auto& row : rows) EXPECT_EQ(ReadReplyStatus(row.block), row.status) << row.block;
}

class Fallback : public ::testing::Test {
 protected:
  void SetUp() override {
    viewer_.rootPath = "/disc/";
    viewer_.Link();
    files_.files["/disc/docs\\lum00012/lum01234.htm"] = "<p>disc copy</p>";
    entry_.number = 0x1234;
    entry_.extension = "htm";
  }
  void Arm(RecordingServer& server, int fallbackNotModified, DocumentNumber number = 0x1234) {
    CatalogueEntry entry = entry_;
    entry.number = number;
    entry.fallbackNotModified = fallbackNotModified;
    StorePendingReply(FilterCall{server.context()}, entry);
  }
  testing::FakeViewer viewer_;
  MemoryFileSystem files_;
  CatalogueEntry entry_;
};

TEST_F(Fallback, ReplacesNotModifiedAndFailedAnswersAndPassesTheRest) {
  const std::string kDiscHeaders = "Content-Type: text/html\r\nContent-Length: 16\r\n";
  const std::string k304Headers = "Content-Type: text/html\r\nContent-Length: 0\r\n";
  enum Outcome { kPass, kNotModified, kDiscCopy, kNotFound };
  const struct {
    std::string block;
    int fallbackNotModified;
    DocumentNumber number;
    Outcome outcome;
  } rows[] = {
      {"HTTP/1.0 304 Not Modified\r\nDate: x\r\n\r\n", 1, 0x1234, kNotModified},
      {"HTTP/1.0 304 Not Modified\r\n\r\n", 0, 0x1234, kDiscCopy},
      {"HTTP/1.1 404 Not Found\r\n", 0, 0x1234, kDiscCopy},
      {"HTTP/1.1 404 Not Found\r\n", 0, 0x9999, kNotFound},  // no disc copy either
      {"HTTP/1.0 500 Server Error\r\n", 1, 0x1234, kNotModified},
      {"HTTP/1.1 502 Bad Gateway\r\n", 0, 0x1234, kDiscCopy},
      {"HTTP/1.1 400 Bad Request\r\n", 0, 0x1234, kDiscCopy},
      {"HTTP/1.1 399 Odd\r\n", 0, 0x1234, kPass},
      {"HTTP/1.1 200 OK\r\n", 0, 0x1234, kPass},
      {"HTTP/1.1 301 Moved\r\n", 1, 0x1234, kPass},
      {"HTTP/1.1 302 Found\r\n", 0, 0x1234, kPass},
      {"http/1.0 404 Not Found\r\n", 0, 0x1234, kPass},
      {"HTTP/1.0 OK\r\n", 0, 0x1234, kPass},
      {"<html>no status line", 0, 0x1234, kPass},
      {"", 0, 0x1234, kPass},
  };
  for (const auto& row : rows) {
    RecordingServer server;
    Arm(server, row.fallbackNotModified, row.number);
    const DWORD status = server.SendRawData(row.block);
    EXPECT_EQ(server.context()->pFilterContext, nullptr) << row.block;
    EXPECT_EQ(status, row.outcome == kPass ? kStatusNextNotification : kStatusFinished)
        << row.block;
    switch (row.outcome) {
      case kPass:
        EXPECT_TRUE(server.responses.empty()) << row.block;
        EXPECT_TRUE(server.writes.empty()) << row.block;
        break;
      case kNotModified:
        EXPECT_EQ(server.responses, (std::vector<SentResponse>{{"304 Not Modified", k304Headers}}));
        EXPECT_TRUE(server.writes.empty());
        break;
      case kDiscCopy:
        EXPECT_EQ(server.responses, (std::vector<SentResponse>{{std::nullopt, kDiscHeaders}}));
        EXPECT_EQ(server.Body(), "<p>disc copy</p>");
        break;
      case kNotFound:
        ASSERT_EQ(server.responses.size(), 1u);
        EXPECT_EQ(server.responses[0].status, "404 Not Found");
        EXPECT_EQ(server.Body(), "<body><h1>HTTP/1.0 404 Object Not Found</h1></body>");
        break;
    }
    // Later blocks of the same answer pass untouched.
    EXPECT_EQ(server.SendRawData("HTTP/1.1 404 Not Found\r\n"), kStatusNextNotification);
  }
}

TEST_F(Fallback, TheFiltersOwnWritesComeBackThroughAnEmptySlot) {
  RecordingServer server;
  Arm(server, 0);
  std::vector<DWORD> nested;
  server.onSend = [&](std::string_view bytes) {
    // Shaped like a failing status line, so only an empty slot lets it pass.
    nested.push_back(server.SendRawData("HTTP/1.1 500 " + std::string(bytes)));
  };
  EXPECT_EQ(server.SendRawData("HTTP/1.1 503 Busy\r\n"), kStatusFinished);
  EXPECT_EQ(nested, (std::vector<DWORD>{kStatusNextNotification, kStatusNextNotification}));
  EXPECT_EQ(server.Body(), "<p>disc copy</p>");
  EXPECT_EQ(server.context()->pFilterContext, nullptr);
}

TEST_F(Fallback, FailuresWhileReplacingStillFinishTheRequest) {
  RecordingServer refused;
  refused.refuseResponseHeader = true;
  Arm(refused, 0);
  EXPECT_EQ(refused.SendRawData("HTTP/1.1 404 x"), kStatusFinished);
  EXPECT_TRUE(refused.writes.empty());

  RecordingServer shortWrite;
  shortWrite.failWriteAt = 0;
  Arm(shortWrite, 0);
  EXPECT_EQ(shortWrite.SendRawData("HTTP/1.1 404 x"), kStatusFinished);
  EXPECT_EQ(files_.openFiles, 0);
}

TEST_F(Fallback, TheEndOfAConnectionReleasesWhatIsArmed) {
  // Leaks would show under the leak checker of the sanitizer build.
  RecordingServer armed;
  Arm(armed, 1);
  Arm(armed, 0);  // a reply left over is released when a new one is stored
  EXPECT_EQ(static_cast<PendingReply*>(armed.context()->pFilterContext)->entry.fallbackNotModified,
            0);
  EXPECT_EQ(armed.EndOfNetSession(), kStatusNextNotification);
  EXPECT_EQ(armed.context()->pFilterContext, nullptr);
  RecordingServer empty;
  EXPECT_EQ(empty.EndOfNetSession(), kStatusNextNotification);
  EXPECT_EQ(empty.SendRawData("HTTP/1.1 404 x"), kStatusNextNotification);
  EXPECT_TRUE(empty.responses.empty());
}

}  // namespace
}  // namespace quillon
