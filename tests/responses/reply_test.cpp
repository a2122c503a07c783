#include "responses/reply.h"

#include <gtest/gtest.h>

#include <string>

#include "support/recording_server.h"

namespace quillon {
namespace {

using testing::RecordingServer;
using testing::SentResponse;

TEST(SendSimpleReply, SendsTheTypedHeaderThenTheBodyOnlyWhenAccepted) {
  const struct {
    const char* body;
    const char* status;
    bool refuse;
    const char* headers;
    std::vector<std::string> writes;
  } rows[] = {
      {nullptr, "304 Not Modified", false, "Content-Type: text/html\r\nContent-Length: 0\r\n", {}},
      {"", "204", false, "Content-Type: text/html\r\nContent-Length: 0\r\n", {}},
      {"<b>hi</b>",
       "200 OK",
       false,
       "Content-Type: text/html\r\nContent-Length: 9\r\n",
       {"<b>hi</b>"}},
      {"<b>hi</b>", "404 Not Found", true, "Content-Type: text/html\r\nContent-Length: 9\r\n", {}},
  };
  for (const auto& row : rows) {
    RecordingServer server;
    server.refuseResponseHeader = row.refuse;
    SendSimpleReply(FilterCall{server.context()}, row.body, row.status);
    ASSERT_EQ(server.responses.size(), 1u);
    EXPECT_EQ(server.responses[0], (SentResponse{row.status, row.headers}));
    EXPECT_EQ(server.writes, row.writes);
  }
}

TEST(SendRedirect, SendsLocationAndZeroLengthWithNoBodyWhateverTheTarget) {
  const std::string targets[] = {"http://host/a b<c>", "", std::string(5000, 'x')};
  for (const std::string& target : targets) {
    RecordingServer server;
    SendRedirect(FilterCall{server.context()}, target);
    ASSERT_EQ(server.responses.size(), 1u);
    EXPECT_EQ(server.responses[0],
              (SentResponse{"302 redirect", "Location: " + target + "\r\nContent-Length: 0\r\n"}));
    EXPECT_TRUE(server.writes.empty());
  }
}

TEST(SendRedirect, AnswersAServerErrorForATargetThatWouldBreakTheHeaderBlock) {
  const struct {
    std::string target;
    bool refused;
  } rows[] = {
      {"http://x/\r\nSet-Cookie: a=b", true},
      {"http://x/\nSet-Cookie: a=b", true},
      {"http://x/\r", true},
      {std::string("http://x/\0y", 11), true},
      {"http://x/\x1b", true},
      {"http://x/\x7f", true},
      {"http://x/a\tb", false},
      {"http://x/\xc3\xa9", false},
  };
  for (const auto& row : rows) {
    RecordingServer server;
    SendRedirect(FilterCall{server.context()}, row.target);
    ASSERT_EQ(server.responses.size(), 1u);
    const SentResponse expected =
        row.refused
            ? SentResponse{"500 Internal Server Error",
                           "Content-Type: text/html\r\nContent-Length: 0\r\n"}
            : SentResponse{"302 redirect", "Location: " + row.target + "\r\nContent-Length: 0\r\n"};
    EXPECT_EQ(server.responses[0], expected) << row.target;
    EXPECT_TRUE(server.writes.empty());
  }
}

}  // namespace
}  // namespace quillon
