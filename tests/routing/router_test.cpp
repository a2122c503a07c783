// The whole filter, end to end: requests through the exported HttpFilterProc against a recording
// server, an in-memory viewer and disc, and a recording desktop.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "common/constants.h"
#include "names/http_date.h"
#include "responses/fallback.h"
#include "support/fake_viewer.h"
#include "support/memory_files.h"
#include "support/recording_desktop.h"
#include "support/recording_server.h"

namespace quillon {
namespace {

using testing::HeaderChange;
using testing::SentResponse;

const std::string kBare = kBarePrefix;
const std::string kLive = kLivePrefix;
const std::string kDirect = kDirectPrefix;
const std::string kLocal = kLocalPrefix;

constexpr HttpTime kPast = 1000;
constexpr HttpTime kFuture = 2100000000;
constexpr HttpTime kModified = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
const char kModifiedText[] = "Sun, 06 Nov 1994 08:49:37 GMT";
const char kNewerText[] = "Mon, 07 Nov 1994 00:00:00 GMT";
const char kOlderText[] = "Sat, 05 Nov 1994 00:00:00 GMT";

const std::string kHtmlEmpty = "Content-Type: text/html\r\nContent-Length: 0\r\n";
std::string Typed(const std::string& type, std::size_t length) {
  return "Content-Type: " + type + "\r\nContent-Length: " + std::to_string(length) + "\r\n";
}
SentResponse Redirect(const std::string& to) {
  return {"302 redirect", "Location: " + to + "\r\nContent-Length: 0\r\n"};
}
const SentResponse kNotFound{"404 Not Found", Typed("text/html", 51)};
const char kNotFoundBody[] = "<body><h1>HTTP/1.0 404 Object Not Found</h1></body>";

const std::string kLongType = "text/" + std::string(5000, 't');
const std::string kLongAddress = "http://site.example/find?" + std::string(3000, 'q');
const char kLastSecondText[] = "Tue, 19 Jan 2038 03:14:07 GMT";

std::vector<testing::CatalogueRow> Rows() {
  return {
      {0x1234, "http://site.example/page.htm", "htm", "", std::string(), 0, 0},
      {0x1235, "http://site.example/logo.gif", "gif", "", std::string(), 0, 0},
      {0x1236, "http://site.example/old.htm", "htm", "", std::string(), kPast, kModified},
      {0x1237, "http://site.example/fresh.htm", "htm", "", std::string(), kFuture, kModified},
      {0x1238, "http://site.example/search", "htm", "", kBare + "program/find.dll?x=1", 0, 0},
      {0x1239, kBare + "only-disc.htm", "htm", "", std::string(), 0, 0},
      {0x123A, kLocal + "start.htm", "htm", "", std::string(), 0, 0},
      {0x123B, kBookmarksPrefix, "htm", "", std::string(), 0, 0},
      {0x123C, "http://site.example/old-undated.htm", "htm", "", std::string(), kPast, 0},
      {0x123D, "http://site.example/tool", "exe", "", kBare + "program/tool.exe", 0, 0},
      {0x123E, "http://site.example/report.doc", "doc", "text/x-report", std::nullopt, 0, 0},
      {0x123F, "http://site.example/old.gif", "gif", "", std::string(), kPast, kModified},
      {0x1240, "http://site.example/bad", "htm", "", "http://x/\r\nSet-Cookie: a=b", 0, 0},
      {0x1241, "http://site.example/bad.htm", "htm", "text/html\r\nSet-Cookie: a=b", "", 0, 0},
      {0x1242, "http://site.example/long.htm", "htm", kLongType, std::string(), 0, 0},
      {0x1243, kLongAddress, "htm", "", std::string(), 0, 0},
      {0x1244, "http://site.example/bad-post", "htm", "", kBare + "program/x\r\nX: y.dll", 0, 0},
      {0x1245, "http://site.example/x\r\nX: y.gif", "gif", "", std::string(), kPast, 0},
  };
}

std::string DiscCopy(DocumentNumber n) { return "copy of " + std::to_string(n); }
std::string DiscPath(const char* name) { return std::string("/disc/docs\\lum00012/") + name; }

struct Pending {
  DocumentNumber number;
  int fallbackNotModified;
};

struct Case {
  const char* name;
  std::string url;
  std::string referer = "";
  std::string userAgent = "";
  std::string ims = "";
  std::string method = "GET";
  std::string root = "/disc/";
  int mode = 0;
  int failWriteAt = -1;
  std::optional<DocumentNumber> dropRow = std::nullopt;
  // What comes out.
  DWORD status = kStatusFinished;
  std::vector<SentResponse> responses = {};
  std::string body = "";
  std::vector<HeaderChange> changes = {};
  std::optional<Pending> pending = std::nullopt;
  std::vector<std::string> launches = {};
  int windowPosts = 0;
  std::optional<std::vector<std::string>> opened = std::nullopt;
  std::optional<std::vector<std::string>> reads = std::nullopt;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

SentResponse Disc(const std::string& type, DocumentNumber n) {
  return {std::nullopt, Typed(type, DiscCopy(n).size())};
}

std::vector<Case> Cases() {
  const std::string ua3 = "Mozilla/2.0 (compatible; MSIE 3.02; Windows 95)";
  return {
      // Options route.
      {.name = "options, old browser",
       .url = "HTTP://OPTIONS.QUILLON.INTERNAL/x",
       .userAgent = ua3,
       .responses = {{"204", kHtmlEmpty}},
       .windowPosts = 1},
      {.name = "options, msie 3 in lower case",
       .url = "http://options.quillon.internal/",
       .userAgent = "msie 3",
       .responses = {{"204 No Content", kHtmlEmpty}},
       .windowPosts = 1},
      // Launch route.
      {.name = "launch, collapsed scheme repaired",
       .url = kDirect + "http:/quillon.internal/program/tool.exe",
       .responses = {{"204 No Content", kHtmlEmpty}},
       .launches = {"/disc/program/tool.exe"}},
      {.name = "launch, catalogued with redirect",
       .url = kDirect + "http://site.example/tool",
       .userAgent = ua3,
       .responses = {{"204", kHtmlEmpty}},
       .launches = {"/disc/program/tool.exe"}},
      {.name = "launch, catalogued document",
       .url = kDirect + "http://site.example/page.htm",
       .responses = {{"204 No Content", kHtmlEmpty}},
#if defined(_WIN32)
       .launches = {"/disc/docs\\lum00012/lum01234.htm"}},
#else
       .launches = {"/disc/docs/lum00012/lum01234.htm"}},
#endif
      {.name = "launch, no disc linked",
       .url = kDirect + "/etc/passwd",
       .root = "",
       .responses = {{"204 No Content", kHtmlEmpty}}},
      {.name = "launch, a page's query is no part of the file",
       .url = kDirect + "http://quillon.internal/program/readme.txt?0",
       .responses = {{"204 No Content", kHtmlEmpty}},
       .launches = {"/disc/program/readme.txt"}},
      {.name = "launch, anything else",
       .url = kDirect + "notes/a.txt",
       .responses = {{"204 No Content", kHtmlEmpty}},
       .launches = {"/disc/notes/a.txt"}},
      {.name = "launch, a file that does not open beneath the disc (absent, or a link out)",
       .url = kDirect + "notes/link-to-etc-passwd",
       .responses = {{"204 No Content", kHtmlEmpty}}},
      {.name = "launch, climbing out of the disc",
       .url = kDirect + "http://quillon.internal/program/../../etc/passwd",
       .responses = {{"204 No Content", kHtmlEmpty}}},
      {.name = "launch, climbing out with backslashes",
       .url = kDirect + "..\\x.exe",
       .responses = {{"204 No Content", kHtmlEmpty}}},
      // Disc names and the shortcut.
      {.name = "disc name of a picture stands for its address",
       .url = "http://mirror/lum00012/lum01235.gif",
       .responses = {Disc("image/gif", 0x1235)},
       .body = DiscCopy(0x1235)},
      {.name = "disc name of a page redirects to its address",
       .url = "http://mirror/LUM00012/lum01234.htm",
       .responses = {Redirect("http://site.example/page.htm")}},
      {.name = "disc name of a disc-only document is served",
       .url = "http://x/lum00012/lum01239.htm",
       .responses = {Disc("text/html", 0x1239)},
       .body = DiscCopy(0x1239)},
      {.name = "local entry by disc name",
       .url = kLocal + "lum00012/lum0123a.htm",
       .responses = {Disc("text/html", 0x123A)},
       .body = DiscCopy(0x123A)},
      {.name = "local entry by disc name of a stale picture",
       .url = kLocal + "lum00012/lum0123f.gif",
       .mode = 3,
       .responses = {Disc("image/gif", 0x123F)},
       .body = DiscCopy(0x123F)},
      {.name = "local entry from a local page is not local",
       .url = kLocal + "lum00012/lum0123a.htm",
       .referer = kLocal + "index.htm",
       .responses = {Redirect(kLocal + "start.htm")}},
      {.name = "local entry by address",
       .url = kLocal + "start.htm",
       .mode = 3,
       .responses = {Disc("text/html", 0x123A)},
       .body = DiscCopy(0x123A)},
      // Bookmarks and the other folder.
      {.name = "bookmark page",
       .url = "http://x/A/LUMMISC0/BOOKMARK.HTM",
       .responses = {Disc("text/html", 0x123B)},
       .body = DiscCopy(0x123B)},
      {.name = "bookmark page not catalogued passes on unchanged",
       .url = "http://x/lummisc0/bookmark.htm",
       .dropRow = 0x123B,
       .status = kStatusNextNotification},
      {.name = "other folder goes to the file",
       .url = "http://x/LumOther/Index.HTM",
       .responses = {Redirect("file:///disc/docs/lumother/index.htm")}},
      {.name = "other folder climbing out",
       .url = "http://x/lumother/../../../etc/passwd",
       .responses = {kNotFound},
       .body = kNotFoundBody},
      {.name = "other folder climbing out, encoded",
       .url = "http://x/lumother/%2E%2e/x.htm",
       .responses = {kNotFound},
       .body = kNotFoundBody},
      // Live route.
      {.name = "live address passed on repaired",
       .url = kLive + "http:/host/a.htm",
       .status = kStatusNextNotification,
       .changes = {{"set", "url", "http://host/a.htm"}}},
      {.name = "live relative link rebuilt on the referring host",
       .url = kLive + "images/a.gif",
       .referer = kLive + "http://host/dir/page.htm",
       .responses = {Redirect("http://host/images/a.gif")}},
      {.name = "live relative link keeps the referring port",
       .url = kLive + "images/a.gif",
       .referer = kLive + "http:/host:8080/dir/page.htm",
       .responses = {Redirect("http://host:8080/images/a.gif")}},
      {.name = "live absolute link from a live page",
       .url = kLive + "HTTP:/other/x.htm",
       .referer = kLive + "http://host/",
       .responses = {Redirect("HTTP://other/x.htm")}},
      // Disc paths.
      {.name = "program executable passes on",
       .url = kBare + "program/setup.exe?a=b",
       .status = kStatusNextNotification,
       .opened = std::vector<std::string>{}},
      {.name = "program file streamed",
       .url = kBare + "program/readme.txt",
       .responses = {{std::nullopt, Typed("text/plain", 6)}},
       .body = "readme",
       .opened = std::vector<std::string>{"/disc/program/readme.txt"}},
      {.name = "shared folder on any host",
       .url = "http://otherhost/x/lummisc0/logo.gif",
       .responses = {{std::nullopt, Typed("image/gif", 4)}},
       .body = "logo",
       .opened = std::vector<std::string>{"/disc/docs/lummisc0/logo.gif"}},
      {.name = "missing disc path",
       .url = kBare + "none.htm",
       .responses = {kNotFound},
       .body = kNotFoundBody,
       .opened = std::vector<std::string>{"/disc/none.htm"}},
      {.name = "query stays part of a disc path",
       .url = kBare + "program/readme.txt?x",
       .responses = {kNotFound},
       .body = kNotFoundBody,
       .opened = std::vector<std::string>{"/disc/program/readme.txt?x"}},
      {.name = "disc path climbing out",
       .url = kBare + "a/../../secret.txt",
       .responses = {kNotFound},
       .body = kNotFoundBody,
       .opened = std::vector<std::string>{}},
      {.name = "disc path ending in ..",
       .url = kBare + "program/..",
       .responses = {kNotFound},
       .body = kNotFoundBody,
       .opened = std::vector<std::string>{}},
      {.name = "shared folder climbing out",
       .url = "http://h/lummisc0/..\\..\\secret.txt",
       .responses = {kNotFound},
       .body = kNotFoundBody,
       .opened = std::vector<std::string>{}},
      {.name = "dots inside a name are no climb",
       .url = kBare + "a..b/c.txt",
       .responses = {kNotFound},
       .body = kNotFoundBody,
       .opened = std::vector<std::string>{"/disc/a..b/c.txt"}},
      // Uncatalogued addresses.
      {.name = "uncatalogued, mode 4, conditional",
       .url = "http://elsewhere/x",
       .ims = kOlderText,
       .mode = 4,
       .responses = {{"304 Not Modified", kHtmlEmpty}},
       .reads = std::vector<std::string>{"url", "Referer:", "User-Agent:", "If-Modified-Since:"}},
      {.name = "uncatalogued, mode 4, plain",
       .url = "http://elsewhere/x",
       .mode = 4,
       .status = kStatusNextNotification},
      {.name = "uncatalogued, mode 3, conditional",
       .url = "http://elsewhere/x",
       .ims = kOlderText,
       .mode = 3,
       .status = kStatusNextNotification,
       .reads = std::vector<std::string>{"url", "Referer:", "User-Agent:"}},
      {.name = "empty address", .url = "", .status = kStatusNextNotification},
      // Catalogue hits.
      {.name = "catalogued page",
       .url = "http://site.example/page.htm",
       .responses = {Disc("text/html", 0x1234)},
       .body = DiscCopy(0x1234)},
      {.name = "catalogued page, the write fails",
       .url = "http://site.example/page.htm",
       .failWriteAt = 0,
       .responses = {Disc("text/html", 0x1234)},
       .body = DiscCopy(0x1234)},
      {.name = "address longer than the first header buffer",
       .url = kLongAddress,
       .responses = {Disc("text/html", 0x1243)},
       .body = DiscCopy(0x1243)},
      {.name = "redirect address with a line break",
       .url = "http://site.example/bad",
       .responses = {{"500 Internal Server Error", kHtmlEmpty}}},
      {.name = "POST to a redirect address with a line break",
       .url = "http://site.example/bad-post",
       .method = "POST",
       .responses = {{"500 Internal Server Error", kHtmlEmpty}}},
      {.name = "disc name of a picture whose address has a line break",
       .url = "http://mirror/lum00012/lum01245.gif",
       .mode = 3,
       .responses = {{"500 Internal Server Error", kHtmlEmpty}}},
      {.name = "stored content type with a line break",
       .url = "http://site.example/bad.htm",
       .responses = {{"500 Internal Server Error", kHtmlEmpty}}},
      {.name = "long stored content type",
       .url = "http://site.example/long.htm",
       .responses = {Disc(kLongType, 0x1242)},
       .body = DiscCopy(0x1242)},
      {.name = "stored content type wins",
       .url = "http://site.example/report.doc",
       .responses = {Disc("text/x-report", 0x123E)},
       .body = DiscCopy(0x123E)},
      {.name = "never stale, conditional",
       .url = "http://site.example/page.htm",
       .ims = kNewerText,
       .mode = 3,
       .responses = {Disc("text/html", 0x1234)},
       .body = DiscCopy(0x1234)},
      {.name = "redirect entry, GET",
       .url = "http://site.example/search",
       .responses = {Redirect(kBare + "program/find.dll?x=1")}},
      {.name = "redirect entry, POST to an executable",
       .url = "http://site.example/search",
       .method = "Post",
       .status = kStatusNextNotification,
       .changes = {{"set", "url", kBare + "program/find.dll?x=1"}},
       .reads = std::vector<std::string>{"url", "Referer:", "User-Agent:", "method"}},
      {.name = "stale, browser copy new enough, mode 3",
       .url = "http://site.example/old.htm",
       .ims = kModifiedText,
       .mode = 3,
       .status = kStatusNextNotification,
       .changes = {{"set", "url", "http://site.example/old.htm"}},
       .pending = Pending{0x1236, 1}},
      {.name = "stale, browser copy new enough, mode 0",
       .url = "http://site.example/old.htm",
       .ims = kNewerText,
       .responses = {{"304 Not Modified", kHtmlEmpty}}},
      {.name = "stale, browser copy older, mode 3",
       .url = "http://site.example/old.htm",
       .ims = kOlderText,
       .mode = 3,
       .status = kStatusNextNotification,
       .changes = {{"set", "url", "http://site.example/old.htm"},
                   {"set", "If-Modified-Since:", kModifiedText}},
       .pending = Pending{0x1236, 0},
       .reads = std::vector<std::string>{"url", "Referer:", "User-Agent:", "If-Modified-Since:",
                                         "If-Modified-Since:"}},
      {.name = "stale, unreadable browser date, mode 3",
       .url = "http://site.example/old.htm",
       .ims = "yesterday",
       .mode = 3,
       .status = kStatusNextNotification,
       .changes = {{"set", "url", "http://site.example/old.htm"},
                   {"set", "If-Modified-Since:", kModifiedText}},
       .pending = Pending{0x1236, 0}},
      {.name = "stale, not conditional, mode 3",
       .url = "http://site.example/old.htm",
       .mode = 3,
       .status = kStatusNextNotification,
       .changes = {{"set", "url", "http://site.example/old.htm"},
                   {"add", "If-Modified-Since:", kModifiedText}},
       .pending = Pending{0x1236, 0}},
      {.name = "stale, browser date at the last second of 2038, mode 0",
       .url = "http://site.example/old.htm",
       .ims = kLastSecondText,
       .responses = {{"304 Not Modified", kHtmlEmpty}}},
      {.name = "stale, not conditional, mode 0",
       .url = "http://site.example/old.htm",
       .responses = {Disc("text/html", 0x1236)},
       .body = DiscCopy(0x1236)},
      {.name = "stale, browser copy older, mode 4",
       .url = "http://site.example/old.htm",
       .ims = kOlderText,
       .mode = 4,
       .responses = {Disc("text/html", 0x1236)},
       .body = DiscCopy(0x1236)},
      {.name = "stale and undated, mode 3",
       .url = "http://site.example/old-undated.htm",
       .mode = 3,
       .status = kStatusNextNotification,
       .changes = {{"set", "url", "http://site.example/old-undated.htm"}},
       .pending = Pending{0x123C, 0}},
      {.name = "not yet stale, mode 3",
       .url = "http://site.example/fresh.htm",
       .ims = kNewerText,
       .mode = 3,
       .responses = {Disc("text/html", 0x1237)},
       .body = DiscCopy(0x1237)},
  };
}

class Router : public ::testing::TestWithParam<Case> {};

TEST_P(Router, RoutesTheRequestToItsOutcome) {
  const Case& c = GetParam();
  testing::FakeViewer viewer;
  viewer.rootPath = c.root;
  viewer.mode = c.mode;
  for (const testing::CatalogueRow& row : Rows()) {
    if (c.dropRow && row.number == *c.dropRow) continue;
    viewer.catalogue.rows.push_back(row);
  }
  viewer.Link();
  testing::MemoryFileSystem files;
  for (const testing::CatalogueRow& row : Rows()) {
    char name[32];
    std::snprintf(name, sizeof name, "lum%.5x.%s", row.number, row.extension.c_str());
    files.files[DiscPath(name)] = DiscCopy(row.number);
  }
  files.files["/disc/program/readme.txt"] = "readme";
  files.files["/disc/program/tool.exe"] = "tool";
  files.files["/disc/notes/a.txt"] = "notes";
  files.files["/disc/docs/lum00012/lum01234.htm"] = "page";  // as the launch route spells it
  files.files["/disc/docs/lummisc0/logo.gif"] = "logo";
  testing::RecordingServer server;
  server.failWriteAt = c.failWriteAt;
  testing::RecordingDesktop desktop;
  desktop.onNotify = [&server] {
    EXPECT_EQ(server.responses.size(), 1u) << "the viewer is told after the reply went out";
  };
  server.request["url"] = c.url;
  server.request["method"] = c.method;
  if (!c.referer.empty()) server.request["Referer:"] = c.referer;
  if (!c.userAgent.empty()) server.request["User-Agent:"] = c.userAgent;
  if (!c.ims.empty()) server.request["If-Modified-Since:"] = c.ims;

  EXPECT_EQ(server.PreprocHeaders(), c.status);
  EXPECT_EQ(server.responses, c.responses);
  EXPECT_EQ(server.Body(), c.body);
  EXPECT_EQ(server.headerChanges, c.changes);
  EXPECT_EQ(desktop.launches, c.launches);
  EXPECT_EQ(desktop.windowPosts, c.windowPosts);
  if (c.opened) {
    EXPECT_EQ(files.opened, *c.opened);
  }
  if (c.reads) {
    EXPECT_EQ(server.headerReads, *c.reads);
  }
  EXPECT_EQ(files.openFiles, 0);
  auto* pending = static_cast<PendingReply*>(server.context()->pFilterContext);
  ASSERT_EQ(pending != nullptr, c.pending.has_value());
  if (pending != nullptr) {
    EXPECT_EQ(pending->entry.number, c.pending->number);
    EXPECT_EQ(pending->entry.fallbackNotModified, c.pending->fallbackNotModified);
    EXPECT_EQ(server.EndOfNetSession(), kStatusNextNotification);
  }
}

INSTANTIATE_TEST_SUITE_P(EndToEnd, Router, ::testing::ValuesIn(Cases()),
                         [](const ::testing::TestParamInfo<Case>& info) {
                           std::string name;
                           for (const char* p = info.param.name; *p != '\0'; ++p) {
                             name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                           }
                           return name;
                         });

TEST(RouterFallback, AStalePageComesBackFromTheDiscWhenTheNetworkFails) {
  testing::FakeViewer viewer;
  viewer.rootPath = "/disc/";
  viewer.mode = 3;
  viewer.catalogue.rows = Rows();
  viewer.Link();
  testing::MemoryFileSystem files;
  files.files[DiscPath("lum01236.htm")] = DiscCopy(0x1236);
  testing::RecordingServer server;
  const struct {
    const char* ims;
    const char* networkAnswer;
    DWORD status;
    std::vector<SentResponse> responses;
  } rows[] = {
      {"", "HTTP/1.1 304 Not Modified\r\n\r\n", kStatusFinished, {Disc("text/html", 0x1236)}},
      {"", "HTTP/1.1 504 Gateway Timeout\r\n\r\n", kStatusFinished, {Disc("text/html", 0x1236)}},
      {"", "HTTP/1.1 200 OK\r\n\r\n", kStatusNextNotification, {}},
      {kNewerText,
       "HTTP/1.1 304 Not Modified\r\n\r\n",
       kStatusFinished,
       {{"304 Not Modified", kHtmlEmpty}}},
  };
  // One connection, several requests: the slot is armed and emptied each time.
  for (const auto& row : rows) {
    server.responses.clear();
    server.writes.clear();
    server.request.clear();
    server.request["url"] = "http://site.example/old.htm";
    if (*row.ims != '\0') server.request["If-Modified-Since:"] = row.ims;
    ASSERT_EQ(server.PreprocHeaders(), kStatusNextNotification);
    ASSERT_NE(server.context()->pFilterContext, nullptr);
    EXPECT_EQ(server.SendRawData(row.networkAnswer), row.status) << row.networkAnswer;
    EXPECT_EQ(server.responses, row.responses) << row.networkAnswer;
    EXPECT_EQ(server.context()->pFilterContext, nullptr);
  }
}

}  // namespace
}  // namespace quillon
