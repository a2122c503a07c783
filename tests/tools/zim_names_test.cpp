// The names a ZIM import gives: hosts from metadata, addresses from entry paths, types, dates.
#include <gtest/gtest.h>

#include <string>

#include "zim_disc.h"

namespace quillon::disc {
namespace {

TEST(ZimNames, HostsAddressesTypesDates) {
  const std::string long64(64, 'a');
  const struct {
    const char* what;
    std::string got, want;
  } rows[] = {
      {"source host, lower case", ZimHost("https://user@En.Wikipedia.org:443/wiki/", "x", "f"),
       "en.wikipedia.org"},
      {"source without scheme: name", ZimHost("en.wikipedia.org", "wiki_en", "f"), "wiki-en.zim"},
      {"source host invalid: name", ZimHost("http://bad_host/", "Wiki", "f"), "wiki.zim"},
      {"name folded", ZimHost("", "Wikipédia EN (all)", "f"), "wikip--dia-en--all.zim"},
      {"name cut to 63", ZimHost("", long64, "f"), std::string(63, 'a') + ".zim"},
      {"name of hyphens only: file stem", ZimHost("", "--", "My.File"), "my-file.zim"},
      {"nothing at all", ZimHost("", "", ""), "archive.zim"},
      {"address: %, ? and # are path", ZimAddress("h.zim", "100% a?b#c"),
       "http://h.zim/100%25%20a%3Fb%23c"},
      {"address: UTF-8 escaped", ZimAddress("h.zim", "A/Caf\xC3\xA9"), "http://h.zim/A/Caf%C3%A9"},
      {"address: control byte", ZimAddress("h.zim", "a\x01"), ""},
      {"address: too long", ZimAddress("h.zim", std::string(1100, 'a')), ""},
      {"type: text gets UTF-8", ZimContentType("text/html"), "text/html; charset=utf-8"},
      {"type: charset kept", ZimContentType("text/plain;charset=latin1"),
       "text/plain;charset=latin1"},
      {"type: not text", ZimContentType("image/png"), "image/png"},
      {"date", std::to_string(ParseZimDate("2024-01-31")), "1706659200"},
      {"date: no day 31 in April", std::to_string(ParseZimDate("2024-04-31")), "0"},
      {"date: trailing text", std::to_string(ParseZimDate("2024-01-31x")), "0"},
  };
  for (const auto& row : rows) EXPECT_EQ(row.got, row.want) << row.what;
}

TEST(ZimNames, ServedPathsAndDnsNames) {
  const struct {
    const char* text;
    bool newScheme, served, dns;
  } rows[] = {
      {"A/Foo", false, true, false},         {"I/a.png", false, true, false},
      {"-/s.css", false, true, false},       {"M/Title", false, false, false},
      {"X/listing/v0", false, false, false}, {"Z/fulltext", false, false, false},
      {"M/Title", true, true, false},        {"", true, false, false},
      {"a-b.c9", true, true, true},          {"-a.zim", true, true, false},
      {"a..zim", true, true, false},         {"a_b.zim", true, true, false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(IsServedZimPath(row.text, row.newScheme), row.served) << row.text;
    EXPECT_EQ(IsDnsName(row.text), row.dns) << row.text;
  }
}

}  // namespace
}  // namespace quillon::disc
