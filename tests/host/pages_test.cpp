// The pure parts of the proxy's own pages: addresses under docs/lumother/, query parameters and
// the words of an address; and which pages may ask for the disc's launch route.
#include <gtest/gtest.h>

#include <set>

#include "launch_gate.h"
#include "pages.h"

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

}  // namespace
}  // namespace quillon::host
