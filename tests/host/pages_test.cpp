// The pure parts of the proxy's own pages: addresses under docs/lumother/, query parameters and
// the words of an address.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillon::host
