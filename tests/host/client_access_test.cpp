// Who may use the proxy: address ranges, the per-client connection count, --resolve's entries.
#include "client_access.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::host {
namespace {

using boost::asio::ip::make_address;

TEST(ClientAccess, RangesParseAndMatch) {
  struct Case {
    const char* range;
    const char* client;
    bool parses;
    bool contains;
    const char* shown = nullptr;  // the range as the start message names it
  };
  const Case cases[] = {
      {"10.0.0.0/8", "10.200.1.2", true, true, "10.0.0.0/8"},
      {"10.0.0.0/8", "11.0.0.1", true, false},
      {"10.1.2.3/8", "10.9.9.9", true, true, "10.0.0.0/8"},  // host bits cleared
      {"192.168.1.0/24", "192.168.1.255", true, true},
      {"192.168.1.0/24", "192.168.2.1", true, false},
      {"192.168.1.128/25", "192.168.1.127", true, false},  // the bit inside a byte
      {"192.168.1.128/25", "192.168.1.200", true, true},
      {"172.16.0.0/12", "172.31.255.255", true, true},
      {"172.16.0.0/12", "172.32.0.0", true, false},
      {"192.0.2.7", "192.0.2.7", true, true, "192.0.2.7/32"},  // one address
      {"192.0.2.7", "192.0.2.8", true, false},
      {"0.0.0.0/0", "203.0.113.9", true, true},
      {"0.0.0.0/0", "2001:db8::1", true, false},      // one family never matches the other
      {"10.0.0.0/8", "::ffff:10.1.1.1", true, true},  // IPv4 through an IPv6 socket
      {"fd00::/8", "fd12:3456::1", true, true},
      {"fd00::/8", "fe80::1", true, false},
      {"2001:db8::/33", "2001:db8:8000::1", true, false},
      {"2001:db8::/33", "2001:db8:7fff::1", true, true},
      {"[2001:db8::1]", "2001:db8::1", true, true, "2001:db8::1/128"},
      {"::/0", "::1", true, true},
      {"10.0.0.0/33", "10.0.0.1", false, false},
      {"::/129", "::1", false, false},
      {"10.0.0.0/", "10.0.0.1", false, false},
      {"10.0.0.0/-1", "10.0.0.1", false, false},
      {"10.0.0.0/8x", "10.0.0.1", false, false},
      {"10.0.0.0/0008", "10.0.0.1", false, false},
      {"10.0.0/8", "10.0.0.1", false, false},
      {"example.org/8", "10.0.0.1", false, false},
      {"[10.0.0.1]", "10.0.0.1", false, false},
      {"fe80::1%eth0/64", "fe80::1", false, false},
      {"", "10.0.0.1", false, false},
      {" 10.0.0.0/8", "10.0.0.1", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.range) + " / " + c.client);
    const auto network = ParseNetwork(c.range);
    ASSERT_EQ(network.has_value(), c.parses);
    if (!network) continue;
    EXPECT_EQ(network->Contains(make_address(c.client)), c.contains);
    if (c.shown != nullptr) {
      EXPECT_EQ(network->ToString(), c.shown);
    }
  }
}

TEST(ClientAccess, LoopbackAlwaysAndOthersOnlyByRange) {
  const ClientAllowList none({});
  const ClientAllowList lan({*ParseNetwork("192.168.1.0/24"), *ParseNetwork("fd00::/8")});
  struct Case {
    const char* client;
    bool byNone;
    bool byLan;
  };
  const Case cases[] = {
      {"127.0.0.1", true, true},
      {"127.8.9.10", true, true},
      {"::1", true, true},
      {"::ffff:127.0.0.1", true, true},
      {"192.168.1.20", false, true},
      {"::ffff:192.168.1.20", false, true},
      {"192.168.2.20", false, false},
      {"fd00::5", false, true},
      {"10.9.9.9", false, false},
      {"0.0.0.0", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.client);
    EXPECT_EQ(none.Allows(make_address(c.client)), c.byNone);
    EXPECT_EQ(lan.Allows(make_address(c.client)), c.byLan);
  }
  EXPECT_EQ(none.Describe(), "this machine only");
  EXPECT_EQ(lan.Describe(), "this machine, 192.168.1.0/24, fd00::/8");
}

TEST(ClientAccess, ConnectionsPerClientAreCapped) {
  // One step a row, on one counter with a limit of 2: a client entering or leaving, and whether
  // it got in.
  enum Step { kEnter, kLeave };
  struct Row {
    Step step;
    const char* client;
    bool admitted;  // for kEnter
  };
  const Row rows[] = {
      {kEnter, "10.0.0.1", true},
      {kEnter, "10.0.0.1", true},
      {kEnter, "10.0.0.1", false},         // its share taken
      {kEnter, "::ffff:10.0.0.1", false},  // the same client through an IPv6 socket
      {kEnter, "10.0.0.2", true},          // another client is not held up by it
      {kEnter, "127.0.0.1", true},         // this machine is not counted
      {kEnter, "127.0.0.1", true},
      {kEnter, "127.0.0.1", true},
      {kLeave, "10.0.0.1", true},
      {kEnter, "10.0.0.1", true},  // a slot given back is free again
      {kEnter, "10.0.0.1", false},
      {kLeave, "10.0.0.1", true},
      {kLeave, "10.0.0.1", true},
      {kLeave, "10.0.0.1", true},  // a stray leave takes nothing from anyone
      {kEnter, "10.0.0.1", true},
      {kEnter, "10.0.0.1", true},
      {kEnter, "10.0.0.1", false},
      {kEnter, "10.0.0.2", true},
      {kEnter, "10.0.0.2", false},
  };
  ClientCounts counts(2);
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    SCOPED_TRACE("row " + std::to_string(i));
    if (r.step == kEnter) {
      EXPECT_EQ(counts.Enter(make_address(r.client)), r.admitted);
    } else {
      counts.Leave(make_address(r.client));
    }
  }
  ClientCounts unlimited(0);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(unlimited.Enter(make_address("10.0.0.1")));
}

TEST(ClientAccess, FixedAddressesAsCurlSpellsThem) {
  struct Case {
    const char* text;
    bool parses;
    const char* host = "";
    unsigned port = 0;
    const char* address = "";
  };
  const Case cases[] = {
      {"www.site.example:80:127.0.0.1", true, "www.site.example", 80, "127.0.0.1"},
      {"WWW.Site.Example:8080:10.0.0.5", true, "www.site.example", 8080, "10.0.0.5"},
      {"v6.example:443:[::1]", true, "v6.example", 443, "::1"},
      {"v6.example:443:2001:db8::2", true, "v6.example", 443, "2001:db8::2"},
      {"a.example:80:::ffff:10.1.2.3", true, "a.example", 80, "10.1.2.3"},
      {"a.example:80", false},
      {"a.example::127.0.0.1", false},
      {":80:127.0.0.1", false},
      {"a.example:0:127.0.0.1", false},
      {"a.example:65536:127.0.0.1", false},
      {"a.example:8o:127.0.0.1", false},
      {"a.example:80:", false},
      {"a.example:80:localhost", false},
      {"a.example:80:127.0.0.1,127.0.0.2", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto fixed = ParseFixedAddress(c.text);
    ASSERT_EQ(fixed.has_value(), c.parses);
    if (!fixed) continue;
    EXPECT_EQ(fixed->host, c.host);
    EXPECT_EQ(fixed->port, c.port);
    EXPECT_EQ(fixed->address, make_address(c.address));
  }
  const std::vector<FixedAddress> fixed = {*ParseFixedAddress("www.site.example:80:127.0.0.1")};
  EXPECT_EQ(FixedAddressOf(fixed, "WWW.SITE.EXAMPLE", 80), make_address("127.0.0.1"));
  EXPECT_FALSE(FixedAddressOf(fixed, "www.site.example", 443).has_value());
  EXPECT_FALSE(FixedAddressOf(fixed, "site.example", 80).has_value());
}

}  // namespace
}  // namespace quillon::host
