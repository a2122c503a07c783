#include "routing/header_ops.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/recording_server.h"

namespace quillon {
namespace {

TEST(ReadRequestHeader, ReadsWhatTheServerFillsInAndEmptyOtherwise) {
  testing::RecordingServer server;
  server.request["url"] = "http://host/a";
  server.request["Referer:"] = "http://host/";
  server.unfilledHeaders.insert("method");
  FilterCall call{server.context()};
  EXPECT_EQ(ReadRequestHeader(call, server.headers(), "url"), "http://host/a");
  EXPECT_EQ(ReadRequestHeader(call, server.headers(), "Referer:"), "http://host/");
  EXPECT_EQ(ReadRequestHeader(call, server.headers(), "method"), "");
  EXPECT_EQ(ReadRequestHeader(call, server.headers(), "If-Modified-Since:"), "");
  EXPECT_EQ(server.headerReads,
            (std::vector<std::string>{"url", "Referer:", "method", "If-Modified-Since:"}));
}

TEST(ReadRequestHeader, ReadsALongValueAgainAtTheSizeTheServerNames) {
  const struct {
    std::size_t length;
    bool whole;
    std::size_t reads;
  } rows[] = {
      {1023, true, 1},    // fits the first buffer with its NUL
      {1024, true, 2},    // one byte too many: read again
      {2000, true, 2},    // a long Referer or query
      {65535, true, 2},   // the bound, NUL included
      {65536, false, 1},  // past it: empty, not read again
      {1 << 20, false, 1},
  };
  for (const auto& row : rows) {
    testing::RecordingServer server;
    server.request["Referer:"] = std::string(row.length, 'r');
    const std::string value =
        ReadRequestHeader(FilterCall{server.context()}, server.headers(), "Referer:");
    EXPECT_EQ(value, row.whole ? server.request["Referer:"] : "") << row.length;
    EXPECT_EQ(server.headerReads.size(), row.reads) << row.length;
  }
}

TEST(RepairCollapsedScheme, RestoresTheLostSlashInBothVariants) {
  const struct {
    const char* address;
    const char* canonical;
    const char* preserving;
  } rows[] = {
      {"HTTP:/host/x", "http://host/x", "HTTP://host/x"},
      {"http:/host", "http://host", "http://host"},
      {"Http:/h", "http://h", "Http://h"},
      {"http:/", "http:/", "http:/"},
      {"http://host/", "http://host/", "http://host/"},
      {"ftp:/host", "ftp:/host", "ftp:/host"},
      {"", "", ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(RepairCollapsedScheme(row.address, SchemeRepair::kCanonical), row.canonical);
    EXPECT_EQ(RepairCollapsedScheme(row.address, SchemeRepair::kPreserving), row.preserving);
  }
}

TEST(SplitProxyAddress, GivesHostPortAndPath) {
  const struct {
    const char* address;
    const char* host;
    int port;
    const char* path;
  } rows[] = {
      {"http://host:81/a/b.htm", "host", 81, "/a/b.htm"},
      {"host", "host", 80, "/"},
      {"ftp://host/x", "host", 80, "/x"},
      {"host:/x", "host", 0, "/x"},
      {"http://host: -12/", "host", -12, "/"},
      {"http://host:8080x/", "host", 8080, "/"},
      {"http://host:99999999999999999999/", "host", INT_MAX, "/"},
      {"http://host:-99999999999999999999/", "host", -INT_MAX, "/"},
      {"http://a/b://c/d", "a", 80, "/b://c/d"},
      {"", "", 80, "/"},
  };
  for (const auto& row : rows) {
    ProxyAddress split = SplitProxyAddress(row.address);
    EXPECT_EQ(split.host, row.host) << row.address;
    EXPECT_EQ(split.port, row.port) << row.address;
    EXPECT_EQ(split.path, row.path) << row.address;
  }
}

TEST(AddressTests, ExecutablesAndPageExtensions) {
  const struct {
    const char* address;
    bool executable;
  } executables[] = {{"x/PROG.EXE?a=b.htm", true},
                     {"x/prog.exe/more", false},
                     {".dll", true},
                     {"dll", false},
                     {"a/b.Dll", true},
                     {"", false},
                     {"a/b.exe?", true},
                     {"a/b.htm?x.exe", false}};
  for (const auto& row : executables) {
    EXPECT_EQ(IsExecutableAddress(row.address), row.executable) << row.address;
  }
  const struct {
    const char* extension;
    bool page;
  } pages[] = {{"HTM", true},   {"htm", true}, {"Cla", true},  {"pdf", true},
               {"html", false}, {"", false},   {"gif", false}, {"ht", false}};
  for (const auto& row : pages)
    EXPECT_EQ(IsPageExtension(row.extension), row.page) << row.extension;
}

}  // namespace
}  // namespace quillon
