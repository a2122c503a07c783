// The proxy's HTTP rules over parsed heads, and its launch gate, table by table.
#include "http_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "common/constants.h"
#include "launch_gate.h"

namespace quillon::host {
namespace {

namespace http = boost::beast::http;

// The head as the proxy's parser sees it; nullopt when the parser itself refuses it.
std::optional<RequestHead> Parse(const std::string& raw) {
  http::request_parser<http::empty_body> parser;
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(raw), ec);
  if (ec || !parser.is_header_done()) return std::nullopt;
  return RequestHead(parser.get().base());
}

// Where a head is refused: nowhere, by the proxy's own rules, or by the parser before them.
enum class RefusedBy { kNone, kRules, kParser };

struct FramingCase {
  const char* name;
  std::string head;  // between the request line and the empty line
  RefusedBy refused;
  const char* version = "HTTP/1.1";
  const char* line = "POST http://a/ ";  // the request line's method and target
};

TEST(RequestFraming, SmugglingShapesAndHostsAreRefused) {
  const FramingCase cases[] = {
      {"plain", "Host: a.example\r\n", RefusedBy::kNone},
      {"chunked", "Host: a\r\nTransfer-Encoding: chunked\r\n", RefusedBy::kNone},
      {"gzip then chunked", "Host: a\r\nTransfer-Encoding: gzip, chunked\r\n", RefusedBy::kNone},
      {"xchunked with a length", "Host: a\r\nTransfer-Encoding: xchunked\r\nContent-Length: 0\r\n",
       RefusedBy::kRules},
      {"identity", "Host: a\r\nTransfer-Encoding: identity\r\n", RefusedBy::kRules},
      {"chunked then gzip", "Host: a\r\nTransfer-Encoding: chunked, gzip\r\n", RefusedBy::kRules},
      {"chunked twice", "Host: a\r\nTransfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n",
       RefusedBy::kParser},
      {"chunked with a length", "Host: a\r\nTransfer-Encoding: chunked\r\nContent-Length: 5\r\n",
       RefusedBy::kParser},
      {"coding in HTTP/1.0", "Transfer-Encoding: chunked\r\n", RefusedBy::kRules, "HTTP/1.0"},
      {"two Hosts", "Host: a\r\nHost: a\r\n", RefusedBy::kRules},
      {"no Host", "Accept: */*\r\n", RefusedBy::kRules},
      {"no Host in HTTP/1.0", "Accept: */*\r\n", RefusedBy::kNone, "HTTP/1.0"},
      {"Host with a space", "Host: a b\r\n", RefusedBy::kRules},
      {"Host with userinfo", "Host: user@a\r\n", RefusedBy::kRules},
      {"Host port too large", "Host: a:65536\r\n", RefusedBy::kRules},
      {"Host port not digits", "Host: a:8o\r\n", RefusedBy::kRules},
      {"Host empty port", "Host: a:\r\n", RefusedBy::kNone},
      {"Host IPv6", "Host: [::1]:8080\r\n", RefusedBy::kNone},
      {"Host IPv6 unclosed", "Host: [::1\r\n", RefusedBy::kRules},
      {"Host escaped", "Host: ex%41mple.org\r\n", RefusedBy::kNone},
      {"Host bad escape", "Host: ex%4\r\n", RefusedBy::kRules},
      // A Connection field may not make the framing hop-by-hop.
      {"Connection names Content-Length",
       "Host: a\r\nConnection: keep-alive, Content-Length\r\nContent-Length: 5\r\n",
       RefusedBy::kRules},
      {"Connection names Transfer-Encoding",
       "Host: a\r\nConnection: transfer-encoding\r\nTransfer-Encoding: chunked\r\n",
       RefusedBy::kRules},
      {"Connection names Host", "Host: a\r\nConnection: Host\r\n", RefusedBy::kRules},
      {"Connection names Connection", "Host: a\r\nConnection: close, connection\r\n",
       RefusedBy::kRules},
      {"Connection names other fields", "Host: a\r\nConnection: close, X-Hop\r\n",
       RefusedBy::kNone},
      {"equal lengths", "Host: a\r\nContent-Length: 3\r\nContent-Length: 3, 3\r\n",
       RefusedBy::kNone},
      {"differing lengths", "Host: a\r\nContent-Length: 3\r\nContent-Length: 3, 4\r\n",
       RefusedBy::kParser},
      // Credentials never reach a name lookup; a tunnel names its port.
      {"userinfo", "Host: a\r\n", RefusedBy::kRules, "HTTP/1.1", "GET http://user:pass@a/ "},
      {"userinfo without password", "Host: a\r\n", RefusedBy::kRules, "HTTP/1.1",
       "GET https://u@a:8443/ "},
      {"@ in the path", "Host: a\r\n", RefusedBy::kNone, "HTTP/1.1", "GET http://a/x@y "},
      {"@ in an origin-form query", "Host: a\r\n", RefusedBy::kNone, "HTTP/1.1",
       "GET /?u=http://x@y "},
      {"CONNECT with userinfo", "Host: a\r\n", RefusedBy::kRules, "HTTP/1.1",
       "CONNECT a@b.example:443 "},
      {"CONNECT without a port", "Host: a\r\n", RefusedBy::kRules, "HTTP/1.1",
       "CONNECT b.example "},
      {"CONNECT host:port", "Host: a\r\n", RefusedBy::kNone, "HTTP/1.1", "CONNECT b.example:443 "},
      {"repeated equal Content-Length", "Host: a\r\nContent-Length: 3\r\nContent-Length: 3\r\n",
       RefusedBy::kNone},
      {"repeated differing Content-Length", "Host: a\r\nContent-Length: 3\r\nContent-Length: 4\r\n",
       RefusedBy::kParser},
      {"chunked twice in one field", "Host: a\r\nTransfer-Encoding: chunked, chunked\r\n",
       RefusedBy::kRules},
  };
  for (const auto& c : cases) {
    const auto head = Parse(std::string(c.line) + c.version + "\r\n" + c.head + "\r\n");
    // Either way a 400; a row meant for the rules must reach them.
    EXPECT_EQ(head.has_value(), c.refused != RefusedBy::kParser) << c.name;
    if (head) {
      EXPECT_EQ(RequestFramingError(*head).has_value(), c.refused == RefusedBy::kRules) << c.name;
    }
  }
}

TEST(UpstreamHead, CarriesOnlyWhatCrossesTheProxy) {
  struct Case {
    const char* name;
    std::string head;
    UpstreamHeadOptions options;
    std::string expected;
  };
  const NetworkTarget target{"127.0.0.1", 8081, "/p?q"};
  const std::string via = "Via: 1.1 me:1 (quillon-proxy)\r\n";
  const Case cases[] = {
      {"Host is the target's, hop-by-hop and listed fields go",
       "Host: a.example\r\nConnection: keep-alive, X-Secret\r\nX-Secret: 1\r\nKeep-Alive: 5\r\n"
       "Proxy-Connection: keep-alive\r\nTE: trailers\r\nAccept: */*\r\n",
       {"1.1 me:1 (quillon-proxy)", false, {}},
       "GET /p?q HTTP/1.1\r\nHost: 127.0.0.1:8081\r\nAccept: */*\r\n" + via + "\r\n"},
      {"a 100-continue is answered here, another expectation goes on",
       "Host: a\r\nExpect: 100-continue\r\nX-A: 1\r\n",
       {"1.1 me:1 (quillon-proxy)", false, {}},
       "GET /p?q HTTP/1.1\r\nHost: 127.0.0.1:8081\r\nX-A: 1\r\n" + via + "\r\n"},
      {"a re-chunked body has no length",
       "Host: a\r\nContent-Length: 3\r\nVia: 1.0 earlier\r\n",
       {"1.1 me:1 (quillon-proxy)", true, {}},
       "GET /p?q HTTP/1.1\r\nHost: 127.0.0.1:8081\r\nVia: 1.0 earlier\r\n" + via +
           "Transfer-Encoding: chunked\r\n\r\n"},
      {"equal lengths go on as one",
       "Host: a\r\nContent-Length: 3\r\nContent-Length: 3, 3\r\n",
       {"1.1 me:1 (quillon-proxy)", false, {}},
       "GET /p?q HTTP/1.1\r\nHost: 127.0.0.1:8081\r\n" + via + "Content-Length: 3\r\n\r\n"},
      {"codings before chunked stay with the body",
       "Host: a\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n",
       {"1.1 me:1 (quillon-proxy)", true, {}},
       "GET /p?q HTTP/1.1\r\nHost: 127.0.0.1:8081\r\n" + via +
           "Transfer-Encoding: gzip, chunked\r\n\r\n"},
      {"an upgrade is asked for again",
       "Host: a\r\nConnection: Upgrade\r\nUpgrade: websocket\r\nSec-WebSocket-Key: k\r\n",
       {"1.1 me:1 (quillon-proxy)", false, "websocket"},
       "GET /p?q HTTP/1.1\r\nHost: 127.0.0.1:8081\r\nSec-WebSocket-Key: k\r\n" + via +
           "Upgrade: websocket\r\nConnection: Upgrade\r\n\r\n"},
  };
  for (const auto& c : cases) {
    const auto head = Parse("GET http://a.example/p?q HTTP/1.1\r\n" + c.head + "\r\n");
    ASSERT_TRUE(head) << c.name;
    EXPECT_EQ(UpstreamRequestHead(*head, target, c.options), c.expected) << c.name;
  }
}

TEST(ClientHead, FramingIsTheProxysOwn) {
  ResponseHead head;
  head.result(200);
  head.reason("OK");
  head.set("Connection", "X-Hop");
  head.set("X-Hop", "1");
  head.set("Transfer-Encoding", "chunked");
  head.set("Content-Type", "text/plain");
  const std::string via = "Via: 1.1 me:1 (quillon-proxy)\r\n";
  struct Case {
    ClientHeadOptions options;
    std::string tail;
  } cases[] = {
      {{"1.1 me:1 (quillon-proxy)", true, true, {}, false}, "Transfer-Encoding: chunked\r\n\r\n"},
      {{"1.1 me:1 (quillon-proxy)", false, false, {}, false}, "Connection: close\r\n\r\n"},
      {{"1.1 me:1 (quillon-proxy)", true, false, {}, true}, "\r\n"},
      {{"1.1 me:1 (quillon-proxy)", false, false, "websocket", false},
       "Upgrade: websocket\r\nConnection: Upgrade\r\n\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ClientResponseHead(head, c.options),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n" + via + c.tail);
  }
}

// The origin's answer as the proxy relays it: framing from what it read, never from a
// Connection field's say, and refused (502) when it cannot be relayed as it was read.
TEST(ClientHead, FramingFromWhatWasRead) {
  struct Case {
    const char* name;
    std::string head;  // the origin's, status line included
    ClientHeadOptions options;
    std::string expected;  // "" when the answer is refused
  };
  const std::string via = "Via: 1.1 me:1 (quillon-proxy)\r\n";
  const Case cases[] = {
      {"a listed Content-Length is still the framing",
       "HTTP/1.1 200 OK\r\nConnection: Content-Length\r\nContent-Length: 2\r\n",
       {"1.1 me:1 (quillon-proxy)", false, true, {}, false},
       "HTTP/1.1 200 OK\r\n" + via + "Content-Length: 2\r\n\r\n"},
      {"equal lengths collapse",
       "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nContent-Length: 2, 2\r\n",
       {"1.1 me:1 (quillon-proxy)", false, true, {}, false},
       "HTTP/1.1 200 OK\r\n" + via + "Content-Length: 2\r\n\r\n"},
      {"a 204 has no length",
       "HTTP/1.1 204 No Content\r\nContent-Length: 7\r\n",
       {"1.1 me:1 (quillon-proxy)", false, true, {}, false},
       "HTTP/1.1 204 No Content\r\n" + via + "\r\n"},
      {"a 304 keeps its length",
       "HTTP/1.1 304 Not Modified\r\nContent-Length: 7\r\n",
       {"1.1 me:1 (quillon-proxy)", false, true, {}, false},
       "HTTP/1.1 304 Not Modified\r\n" + via + "Content-Length: 7\r\n\r\n"},
      {"chunks to an HTTP/1.0 client: bare, to the close",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n",
       {"1.1 me:1 (quillon-proxy)", false, false, {}, false},
       "HTTP/1.1 200 OK\r\n" + via + "Connection: close\r\n\r\n"},
      {"gzip, chunked is refused",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n",
       {},
       ""},
      {"gzip alone is refused", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip\r\n", {}, ""},
      {"differing lengths are refused", "HTTP/1.1 200 OK\r\nContent-Length: 2, 3\r\n", {}, ""},
  };
  for (const auto& c : cases) {
    http::response_parser<http::empty_body> parser;
    boost::system::error_code ec;
    parser.put(boost::asio::buffer(c.head + "\r\n"), ec);
    const bool refused =
        ec || !parser.is_header_done() || ResponseFramingError(parser.get().base()).has_value();
    ASSERT_EQ(refused, c.expected.empty()) << c.name;
    if (!refused) {
      EXPECT_EQ(ClientResponseHead(parser.get().base(), c.options), c.expected) << c.name;
    }
  }
}

// OPTIONS and TRACE count their hops down; at 0 the proxy answers them itself.
TEST(HttpRules, MaxForwards) {
  const NetworkTarget target{"a", 80, "/"};
  const struct {
    const char* request;
    const char* answered;   // a fragment of the proxy's own answer, "" when it goes on
    const char* forwarded;  // the Max-Forwards that goes on, "" for none
  } rows[] = {
      {"OPTIONS http://a/ HTTP/1.1\r\nHost: a\r\nMax-Forwards: 0\r\n", "\r\nAllow: GET", ""},
      {"TRACE http://a/ HTTP/1.1\r\nHost: a\r\nMax-Forwards: 0\r\nCookie: c=1\r\nX-A: 1\r\n",
       "message/http\r\nContent-Length: 62\r\n\r\nTRACE http://a/ HTTP/1.1\r\nHost: a\r\n"
       "Max-Forwards: 0\r\nX-A: 1\r\n\r\n",
       ""},
      {"OPTIONS http://a/ HTTP/1.1\r\nHost: a\r\nMax-Forwards: 5\r\n", "", "Max-Forwards: 4\r\n"},
      {"TRACE http://a/ HTTP/1.1\r\nHost: a\r\nMax-Forwards: 1\r\n", "", "Max-Forwards: 0\r\n"},
      {"GET http://a/ HTTP/1.1\r\nHost: a\r\nMax-Forwards: 0\r\n", "", "Max-Forwards: 0\r\n"},
      {"TRACE http://a/ HTTP/1.1\r\nHost: a\r\nMax-Forwards: x\r\n", "", "Max-Forwards: x\r\n"},
      {"TRACE http://a/ HTTP/1.1\r\nHost: a\r\n", "", ""},
  };
  for (const auto& r : rows) {
    const auto head = Parse(std::string(r.request) + "\r\n");
    ASSERT_TRUE(head) << r.request;
    const auto answer = LastHopAnswer(*head);
    EXPECT_EQ(answer.has_value(), r.answered[0] != '\0') << r.request;
    if (answer) {
      EXPECT_TRUE(answer->starts_with("HTTP/1.1 200 OK\r\n")) << *answer;
      EXPECT_NE(answer->find(r.answered), std::string::npos) << *answer;
      continue;
    }
    const std::string upstream = UpstreamRequestHead(*head, target, {"1.1 me", false, {}});
    const std::size_t at = upstream.find("Max-Forwards");
    EXPECT_EQ(
        at == std::string::npos ? "" : upstream.substr(at, upstream.find("\r\n", at) + 2 - at),
        r.forwarded)
        << r.request;
  }
}

// A chunked body, fed whole and byte by byte: what it decodes to, and where and why it stops.
TEST(ChunkedBody, DecodedWithBoundedFraming) {
  const std::string longLine = "5;" + std::string(kChunkLineLimit, 'a') + "\r\nhello\r\n0\r\n\r\n";
  const std::string longTrailers = "0\r\nX: " + std::string(200, 'a') + "\r\n\r\n";
  const struct {
    const char* name;
    std::string body;
    std::string data;
    bool done;
    bool broken;
    std::size_t used;  // of the input, when the body ends or breaks there
  } rows[] = {
      {"chunks", "5\r\nhello\r\n1;a=b\r\n!\r\n0\r\n\r\n", "hello!", true, false, 25},
      {"spaces before an extension", "5 \t;x\r\nhello\r\n0\r\nT: 1\r\n\r\n", "hello", true, false,
       25},
      {"what follows is not taken", "0\r\n\r\nGET / HTTP/1.1", "", true, false, 5},
      {"unfinished", "5\r\nhel", "hel", false, false, 6},
      {"bare LF in the size line", "5\nhello\r\n0\r\n\r\n", "", false, true, 2},
      {"bare LF after data", "5\r\nhello\n0\r\n\r\n", "hello", false, true, 9},
      {"bare LF in the trailers", "0\r\nT: 1\n\r\n", "", false, true, 8},
      {"a chunk line too long", longLine, "", false, true, kChunkLineLimit + 1},
      {"trailers too long", longTrailers, "", false, true, 3 + 101},
      {"size overflows", "10000000000000000\r\n", "", false, true, 17},
      {"largest size", "ffffffffffffffff\r\nab", "ab", false, false, 20},
      {"no size", ";x\r\n", "", false, true, 1},
      {"size not hex", "5x\r\n", "", false, true, 2},
      {"text after the size", "5 x\r\n", "", false, true, 3},
      {"data longer than its size", "2\r\nabc\r\n", "ab", false, true, 6},
      {"CR without LF", "2\r\rab", "", false, true, 3},
  };
  for (const auto& r : rows) {
    for (const bool byByte : {false, true}) {
      ChunkedDecoder decoder(100);
      std::string data;
      std::size_t used = 0;
      std::string_view input = r.body;
      while (!input.empty() && !decoder.done() && decoder.error() == nullptr) {
        const auto step = decoder.Feed(input.substr(0, byByte ? 1 : input.size()));
        data.append(step.data);
        used += step.used;
        input.remove_prefix(step.used);
      }
      EXPECT_EQ(data, r.data) << r.name << byByte;
      EXPECT_EQ(decoder.done(), r.done) << r.name << byByte;
      EXPECT_EQ(decoder.error() != nullptr, r.broken) << r.name << byByte;
      EXPECT_EQ(used, r.used) << r.name << byByte;
    }
  }
  std::string framed;
  AppendChunk(framed, std::string(26, 'z'));
  EXPECT_EQ(framed, "1a\r\n" + std::string(26, 'z') + "\r\n");
}

TEST(HttpRules, SmallPureRules) {
  // Via: the request passed a proxy of this name.
  const struct {
    const char* via;
    bool ours;
  } vias[] = {{"1.1 me:8080 (quillon-proxy)", true},
              {"1.0 other, HTTP/1.1 ME:8080", true},
              {"1.1 me:80800", false},
              {"1.1 other (me:8080)", false},
              {"me:8080", false}};
  for (const auto& v : vias) {
    Fields fields;
    fields.insert("Via", v.via);
    EXPECT_EQ(ViaNames(fields, "me:8080"), v.ours) << v.via;
  }

  // Where a head ends, bare line feeds included; searching on from where an earlier call stopped
  // finds the same end.
  const struct {
    std::string data;
    std::size_t end;
  } heads[] = {{"GET / HTTP/1.1\r\nA: b\r\n\r\nbody", 24},
               {"GET / HTTP/1.1\nA: b\n\nbody", 21},
               {"GET / HTTP/1.1\nA: b\r\n\r\n", 23},
               {"GET / HTTP/1.1\r\nA: b\r\n", std::string::npos}};
  for (const auto& h : heads) {
    EXPECT_EQ(FindHeadEnd(h.data), h.end) << h.data;
    std::size_t searched = 0, found = std::string::npos;
    for (std::size_t n = 1; n <= h.data.size() && found == std::string::npos; searched = n++) {
      found = FindHeadEnd(std::string_view(h.data).substr(0, n), searched);
    }
    EXPECT_EQ(found, h.end) << "byte by byte: " << h.data;
  }

  EXPECT_EQ(LogEscape("GET /a\"b\\c\x01\x7f\xc3\xa9 x"),
            "GET /a\\x22b\\x5Cc\\x01\\x7F\\xC3\\xA9 x");

  // The disc's catalogue under the bare route, however spelled; other files are the filter's.
  const struct {
    std::string target;
    bool catalogue;
  } files[] = {{std::string(kBarePrefix) + "catalogue.db", true},
               {std::string(kBarePrefix) + "./Catalogue.DB-wal", true},
               {std::string(kBarePrefix) + "/\\.//catalogue.db?x", true},
               {std::string(kBarePrefix) + "Updates/copy-1", true},
               {std::string(kBarePrefix) + "program/catalogue.db", false},
               {std::string(kBarePrefix) + "catalogue.txt", false},
               {"http://harbour.example/catalogue.db", false}};
  for (const auto& f : files)
    EXPECT_EQ(NamesDiscInternals(f.target, kBarePrefix), f.catalogue) << f.target;

  EXPECT_TRUE(OnDomain(std::string(kCatalogueDomain) + ".", kCatalogueDomain));
  EXPECT_TRUE(OnDomain(std::string("start.") + kCatalogueDomain + ".", kCatalogueDomain));
  EXPECT_FALSE(OnDomain(std::string(kCatalogueDomain) + "..", kCatalogueDomain));
}

TEST(HttpRules, AbsoluteAddressesOfBothSchemes) {
  // address, host, port, path, secure, origin key ("" when the address is refused)
  const struct {
    const char* url;
    const char* host;
    std::uint16_t port;
    const char* path;
    bool secure;
    const char* origin;
  } rows[] = {
      {"http://a.example/x?y#z", "a.example", 80, "/x?y", false, "http://a.example:80"},
      {"HTTPS://a.example", "a.example", 443, "/", true, "https://a.example:443"},
      {"https://a.example:80/", "a.example", 80, "/", true, "https://a.example:80"},
      {"https://[::1]:8443/p", "::1", 8443, "/p", true, "https://::1:8443"},
      {"https://a.example:0/", "", 0, "", false, ""},
      {"ftp://a.example/", "", 0, "", false, ""},
      {"https:///x", "", 0, "", false, ""},
  };
  for (const auto& r : rows) {
    const auto target = ParseHttpTarget(r.url);
    ASSERT_EQ(target.has_value(), r.origin[0] != '\0') << r.url;
    if (!target) continue;
    EXPECT_EQ(target->host, r.host) << r.url;
    EXPECT_EQ(target->port, r.port) << r.url;
    EXPECT_EQ(target->path, r.path) << r.url;
    EXPECT_EQ(target->secure, r.secure) << r.url;
    EXPECT_EQ(target->OriginKey(), r.origin) << r.url;
    // The address goes back out as browsers spell it: the scheme's own port left out.
    EXPECT_EQ(ParseHttpTarget(target->Url())->OriginKey(), r.origin) << target->Url();
  }
  EXPECT_EQ(ParseHttpTarget("https://a.example:443/p")->Url(), "https://a.example/p");
  EXPECT_EQ(ParseHttpTarget("https://a.example:80/p")->Url(), "https://a.example:80/p");
}

TEST(LaunchGate, OnlyLocalFewAndCoalesced) {
  using namespace std::chrono_literals;
  const LaunchGate::Clock::time_point t0{};
  const std::string direct = kDirectPrefix;
  const struct {
    std::string target;
    bool loopback;
    std::chrono::milliseconds at;
    bool admitted;
  } steps[] = {
      {direct + "a", false, 0ms, false},  // another host on the network
      {direct + "a", true, 0ms, true},
      {direct + "A", true, 100ms, false},  // the same launch, still under way
      {direct + "b", true, 200ms, true},
      {direct + "c", true, 300ms, true},
      {kOptionsPrefix, true, 400ms, true},
      {direct + "d", true, 500ms, false},  // a handful under way already
      {direct + "a", true, 5100ms, true},  // the first ones are done
  };
  LaunchGate gate(true);
  for (const auto& s : steps) {
    EXPECT_TRUE(LaunchGate::IsLaunchAddress(s.target));
    EXPECT_EQ(gate.Admit(s.target, s.loopback, t0 + s.at), s.admitted)
        << s.target << " " << s.at.count();
  }
  EXPECT_FALSE(LaunchGate(false).Admit(direct + "a", true, t0));
  EXPECT_FALSE(LaunchGate::IsLaunchAddress("http://harbour.example/"));
}

}  // namespace
}  // namespace quillon::host
