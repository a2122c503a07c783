// The pure parts of the proxy's own pages: addresses under docs/lumother/, query parameters and
// the words of an address; which pages may ask for the disc's launch route; and the proxy's own
// answers with the reason the access log gives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <set>
#include <tuple>
#include <vector>

#include "access_log.h"
#include "disc.h"
#include "launch_gate.h"
#include "own_answers.h"
#include "pages.h"
#include "sqlite.h"

namespace quillon::host {
namespace {

TEST(Pages, OtherPagesStayInTheirFolder) {
  const struct {
    const char* url;
    std::optional<std::string> path;
  } rows[] = {
      {"http://h/lumother/history.htm", "docs/lumother/history.htm"},
      {"http://h/a/LumOther/Sub/Page.HTM?x=1#top", "docs/lumother/sub/page.htm"},
      {"http://h/lumother/a%20b.htm", "docs/lumother/a b.htm"},
      {"http://h/lumother/../catalogue.db", ""},
      {"http://h/lumother/%2e%2e/catalogue.db", ""},
      {"http://h/lumother/a/..%5c..%5cx", ""},
      {"http://h/lumother/", ""},
      {"http://h/lumother/x%00.htm", ""},
      {"http://h/lumotherx/page.htm", std::nullopt},
  };
  for (const auto& row : rows) EXPECT_EQ(OtherPagePath(row.url), row.path) << row.url;
}

TEST(Pages, QueriesWordsAndEscapes) {
  EXPECT_EQ(QueryParameter("q=tide+tables&page=2", "q"), "tide tables");
  EXPECT_EQ(QueryParameter("page=2&q=a%26b%3D", "q"), "a&b=");
  EXPECT_EQ(QueryParameter("qq=1&page=2", "q"), "");
  EXPECT_EQ(EscapeQueryValue("a&b c/\xC3\xA9"), "a%26b+c%2F%C3%A9");
  EXPECT_EQ(AddressWords("http://h/ferries/winter-schedule.html?x=1"), "ferries winter schedule");
  EXPECT_EQ(AddressWords("http://h/caf%C3%A9/"), "caf\xC3\xA9");
  EXPECT_EQ(AddressWords("http://h"), "");
  EXPECT_EQ(EscapeHtml("<a href=\"x\">'&'</a>"),
            "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

// The start page's sites: scheme and host of each http(s):// address, with its count of
// documents that are no redirect, its first address, and its root page when the disc has one.
TEST(Pages, SitesOfTheCatalogue) {
  const auto disc = std::filesystem::temp_directory_path() /
                    ("quillon-sites-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(disc);
  {
    viewer::Database db((disc / viewer::kCatalogueFile).string(),
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.Execute(("PRAGMA application_id = " + std::to_string(viewer::kDiscApplicationId)).c_str());
    db.Execute(viewer::kDiscSchema);
    db.Execute("INSERT INTO disc VALUES (1, 'sites', 0)");
    viewer::Statement insert(
        db, "INSERT INTO documents (number, url, redirect_url) VALUES (?1, ?2, ?3)");
    const char* documents[][2] = {
        {"https://b.example/a.html", ""},
        {"http://b.example/", ""},
        {"http://b.example/x.html", "http://b.example/"},
        {"http://a.example:8080/z", ""},
        {"HTTP://C.example/", ""},
        {"ftp://d.example/file", ""},
        {"http://a.example/q?x=1", ""},
        {"http://e.example", ""},
        {"http://a.example/b", ""},
    };
    int number = 0;
    for (const auto& [url, redirect] : documents) {
      insert.Bind(1, number++).Bind(2, std::string(url)).Bind(3, std::string(redirect));
      insert.Step();
      insert.Reset();
    }
  }
  DiscPages pages(disc, "quillon.internal");
  // host, entry, documents, secure: by host, then by scheme
  using Site = std::tuple<std::string, std::string, std::int64_t, bool>;
  std::vector<Site> sites;
  for (const SiteSummary& site : pages.Sites()) {
    sites.emplace_back(site.host, site.entry, site.documents, site.secure);
  }
  EXPECT_EQ(sites, (std::vector<Site>{{"C.example", "HTTP://C.example/", 1, false},
                                      {"a.example", "http://a.example/b", 2, false},
                                      {"a.example:8080", "http://a.example:8080/z", 1, false},
                                      {"b.example", "http://b.example/", 1, false},
                                      {"b.example", "https://b.example/a.html", 1, true}}));
  std::filesystem::remove_all(disc);
}

TEST(Pages, OnlyTheDiscsPagesMayLaunch) {
  // The disc holds http://harbour.example/ and https://secure.example:8443/.
  const std::set<std::string, std::less<>> held = {"http://harbour.example/",
                                                   "https://secure.example:8443/"};
  const auto discHolds = [&](std::string_view prefix) { return held.contains(prefix); };
  const struct {
    const char* name;
    LaunchGate::Requester requester;
    bool admitted;
  } rows[] = {
      {"any web page, as an image", {"cross-site", "", "http://evil.example/page.html"}, false},
      {"a page that sends no referrer", {"cross-site", "", ""}, false},
      {"an older browser, no fields at all", {"", "", ""}, false},
      {"typed into the address bar", {"none", "", ""}, false},
      {"a page of the disc's site",
       {"cross-site", "", "http://harbour.example/ferries.html"},
       true},
      {"its host in capitals, default port named", {"", "", "http://HARBOUR.example:80/"}, true},
      {"the disc's host on another port", {"", "", "http://harbour.example:8080/"}, false},
      {"the disc's host over the other scheme", {"", "", "https://harbour.example/"}, false},
      {"an https site of the disc", {"", "", "https://secure.example:8443/a"}, true},
      {"a look-alike host", {"", "", "http://harbour.example.evil.example/"}, false},
      {"the start page", {"same-site", "", "http://start.quillon.internal/"}, true},
      {"the disc's own files", {"", "", "http://quillon.internal/docs/x.htm"}, true},
      {"the live route carries the network's pages",
       {"same-site", "", "http://live.quillon.internal/http://evil.example/"},
       false},
      {"the live route, absolute name", {"", "", "http://LIVE.quillon.internal./x"}, false},
      {"Origin decides over Referer",
       {"", "http://evil.example", "http://harbour.example/"},
       false},
      {"a disc page's Origin", {"", "http://harbour.example", ""}, true},
      {"an opaque origin", {"", "null", "http://harbour.example/"}, false},
      {"the launch route's own host", {"same-origin", "", ""}, true},
      {"same-site alone may be the live route", {"same-site", "", ""}, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(LaunchGate::FromDiscPage(row.requester, "quillon.internal", discHolds), row.admitted)
        << row.name;
  }
}

// One voice: each own answer is a styled page for a browser or one plain line, with its status
// phrase, a length that fits, what happened (escaped, kept on its line) and what to do.
TEST(OwnAnswers, FormAdviceAndReasonPerStatus) {
  const struct {
    unsigned status;
    Reason reason;
    bool html;
    const char* phrase;
    const char* name;    // in the access log
    const char* advice;  // part of what the user is told to do
  } rows[] = {
      {504, Reason::kNotOnDisc, true, "Gateway Timeout", "not-on-disc", "--offline"},
      {504, Reason::kNotOnDisc, false, "Gateway Timeout", "not-on-disc", "start page"},
      {504, Reason::kTimeout, false, "Gateway Timeout", "timeout", "--connect-timeout"},
      {502, Reason::kRefused, false, "Bad Gateway", "refused", "address and its port"},
      {502, Reason::kDns, true, "Bad Gateway", "dns", "name server"},
      {502, Reason::kTlsVerify, false, "Bad Gateway", "tls-verify", "--origin-ca"},
      {502, Reason::kBadOrigin, true, "Bad Gateway", "bad-origin", "try again later"},
      {403, Reason::kNotAllowed, true, "Forbidden", "not-allowed", "--allow"},
      {403, Reason::kPort, false, "Forbidden", "port", "--connect-ports"},
      {403, Reason::kThisMachine, false, "Forbidden", "this-machine", "machine"},
      {508, Reason::kLoop, false, "Loop Detected", "loop", "proxy settings"},
      {400, Reason::kSmuggling, true, "Bad Request", "smuggling", "Content-Length"},
      {400, Reason::kBadRequest, false, "Bad Request", "bad-request", "another browser"},
      {431, Reason::kLimit, false, "Request Header Fields Too Large", "limit", "smaller request"},
      {503, Reason::kLimit, true, "Service Unavailable", "limit", "--max-connections"},
      {421, Reason::kMisdirected, true, "Misdirected Request", "misdirected", "reload"},
      {404, Reason::kNotFound, false, "Not Found", "not-found", "Check the address"},
      {501, Reason::kNotImplemented, false, "Not Implemented", "not-implemented", "http://"},
  };
  const std::string what = "http://h/<x>&y\r\nSet-Cookie: a=b";
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.status) + " " + row.name + (row.html ? " html" : " plain"));
    EXPECT_EQ(ReasonName(row.reason), row.name);
    const bool close = !row.html;
    const std::string answer =
        OwnAnswer({row.status, row.reason, what, {}, {}, {}}, row.html, close);
    const std::size_t split = answer.find("\r\n\r\n");
    ASSERT_NE(split, std::string::npos);
    const std::string head = answer.substr(0, split + 2);
    const std::string body = answer.substr(split + 4);
    EXPECT_EQ(head.substr(0, head.find("\r\n")),
              "HTTP/1.1 " + std::to_string(row.status) + " " + row.phrase);
    EXPECT_NE(head.find(row.html ? "\r\nContent-Type: text/html; charset=utf-8\r\n"
                                 : "\r\nContent-Type: text/plain\r\n"),
              std::string::npos);
    EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(body.size()) + "\r\n"),
              std::string::npos);
    EXPECT_EQ(head.find("Connection: close") != std::string::npos, close);
    EXPECT_EQ(head.find("Set-Cookie"), std::string::npos);  // what happened stays in the body
    EXPECT_NE(body.find(row.advice), std::string::npos) << body;
    if (row.html) {
      EXPECT_TRUE(body.starts_with("<!DOCTYPE html>")) << body;
      EXPECT_NE(body.find("<style>"), std::string::npos);
      EXPECT_NE(body.find("http://h/&lt;x&gt;&amp;y"), std::string::npos) << body;
      EXPECT_EQ(body.find("<x>"), std::string::npos);
    } else {
      EXPECT_EQ(body.find('\n'), body.size() - 1) << body;  // one line
      EXPECT_TRUE(
          body.starts_with(std::to_string(row.status) + " " + row.phrase + ": http://h/<x>&y"))
          << body;
    }
  }
}

// The reason is the log line's last field; the fields before it stay as parsers know them.
TEST(OwnAnswers, ReasonIsTheLastLogField) {
  const struct {
    Answer answer;
    std::string_view reason;
    const char* tail;
  } rows[] = {
      {Answer::kFilter, {}, "\" filter -\n"},
      {Answer::kProxy, ReasonName(Reason::kDns), "\" proxy dns\n"},
      {Answer::kDiscFallback, ReasonName(Reason::kRefused), "\" disc-fallback refused\n"},
  };
  for (const auto& row : rows) {
    const LogEntry entry{"127.0.0.1", "GET http://h/ HTTP/1.1", 502, 7, {}, "curl", row.answer,
                         row.reason};
    const std::string line = AccessLog::Format(entry, "09/Dec/2026:12:00:00 +0000");
    EXPECT_EQ(line, std::string("127.0.0.1 - - [09/Dec/2026:12:00:00 +0000] \"GET http://h/ "
                                "HTTP/1.1\" 502 7 \"-\" \"curl") +
                        row.tail);
  }
}

}  // namespace
}  // namespace quillon::host
