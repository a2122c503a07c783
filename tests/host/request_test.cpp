// One request through the request unit, without a listening proxy: a pass-through filter, the
// proxy's own pages, and a network side that only records what it was asked.
#include "request.h"

#include "origin.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/local/stream_protocol.hpp>

namespace quillon::host {
namespace {

// Answers every network request with 200 and says which it got.
class RecordingNetwork final : public NetworkSide {
 public:
  std::string asked;

  awaitable<Exchange> Fetch(Connection&, RequestParser&, const NetworkTarget& target,
                            bool keepAlive) override {
    asked = "fetch " + target.Url();
    co_return Exchange{200, 0, Answer::kNetwork, keepAlive};
  }
  awaitable<Exchange> OpenTunnel(Connection&, const NetworkTarget& target) override {
    asked = "tunnel " + target.host + ":" + std::to_string(target.port);
    co_return Exchange{200, 0, Answer::kNetwork, false};
  }
  bool Intercepts(const NetworkTarget&) override { return false; }
  awaitable<Exchange> Intercept(Connection&, const NetworkTarget&) override {
    asked = "intercept";
    co_return Exchange{};
  }
};

// What came of one request: the outcome, and the first line the browser got or will get.
struct Served {
  Outcome outcome;
  std::string firstLine;
};

Served Serve(std::string_view rawHead, bool offline, bool loopback, std::string tunnel,
             RecordingNetwork& network) {
  auto library = FilterLibrary::Load(QUILLON_PROBE_PLAIN);
  ProxyOptions options;
  options.catalogueDomain = "quillon.internal";
  options.offline = offline;
  DiscPages pages({}, options.catalogueDomain);
  LaunchGate launches(true);
  SelfAddresses self;
  self.Set(tcp::endpoint(asio::ip::make_address("127.0.0.1"), 8080));
  const std::string viaName = "test:8080";
  RequestServices services{
      options, pages, launches, self, viaName, [] { return MetricsSnapshot{}; }, network};

  asio::io_context io;
  int pair[2];
  EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  tcp::socket socket(io);
  socket.assign(tcp::v4(), pair[0]);
  socket.native_non_blocking(true);
  beast::tcp_stream client(std::move(socket));
  beast::flat_buffer buffer;
  FilterSession filter(*library, [](std::string_view, std::string_view) { return true; });
  Connection c{.client = client,
               .buffer = buffer,
               .filter = filter,
               .writeTimeout = std::chrono::seconds(1),
               .workers = nullptr,
               .remote = "-",
               .loopback = loopback,
               .secureAuthority = std::move(tunnel)};

  RequestParser parser;
  boost::system::error_code parseError;
  parser.put(asio::buffer(rawHead), parseError);
  EXPECT_FALSE(parseError) << rawHead;
  Served served;
  asio::co_spawn(io, HandleRequest(services, c, parser, rawHead),
                 [&](std::exception_ptr error, Outcome outcome) {
                   EXPECT_FALSE(error);
                   served.outcome = std::move(outcome);
                 });
  io.run();
  // What went out on the connection, then the refusal the session would send.
  std::string seen(64 * 1024, '\0');
  const ssize_t n = recv(pair[1], seen.data(), seen.size(), MSG_DONTWAIT);
  seen.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  seen += served.outcome.answer;
  served.firstLine = seen.substr(0, seen.find("\r\n"));
  close(pair[1]);
  return served;
}

TEST(Request, EachKindEndsInItsAnswer) {
  using Then = Outcome::Then;
  const struct {
    const char* name;
    std::string_view head;
    bool offline;
    bool loopback;
    const char* tunnel;  // the authority of the intercepted tunnel it came through
    unsigned status;
    Answer answer;
    Reason reason;
    Then then;
    const char* asked;  // of the network
    const char* firstLine;
  } rows[] = {
      {"start page", "GET / HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", false, true, "", 200,
       Answer::kProxy, Reason::kNone, Then::kNext, "", "HTTP/1.1 200 OK"},
      {"metrics", "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", false, true, "", 200,
       Answer::kProxy, Reason::kNone, Then::kNext, "", "HTTP/1.1 200 OK"},
      {"no such own page", "GET /nothing HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n", false, true, "",
       404, Answer::kProxy, Reason::kNotFound, Then::kNext, "", "HTTP/1.1 404 Not Found"},
      {"disc internals",
       "GET http://quillon.internal/catalogue.db HTTP/1.1\r\nHost: quillon.internal\r\n\r\n", false,
       true, "", 404, Answer::kProxy, Reason::kNotFound, Then::kNext, "", "HTTP/1.1 404 Not Found"},
      {"offline, not on the disc", "GET http://a.example/x HTTP/1.1\r\nHost: a.example\r\n\r\n",
       true, true, "", 504, Answer::kProxy, Reason::kNotOnDisc, Then::kNext, "",
       "HTTP/1.1 504 Gateway Timeout"},
      {"to the network", "GET http://a.example/x HTTP/1.1\r\nHost: a.example\r\n\r\n", false, true,
       "", 200, Answer::kNetwork, Reason::kNone, Then::kNext, "fetch http://a.example/x", ""},
      {"this machine from another", "GET http://localhost/ HTTP/1.1\r\nHost: localhost\r\n\r\n",
       false, false, "", 403, Answer::kProxy, Reason::kThisMachine, Then::kNext, "",
       "HTTP/1.1 403 Forbidden"},
      {"via this proxy",
       "GET http://a.example/ HTTP/1.1\r\nHost: a.example\r\nVia: 1.1 test:8080 (quillon-proxy)"
       "\r\n\r\n",
       false, true, "", 508, Answer::kProxy, Reason::kLoop, Then::kClose, "",
       "HTTP/1.1 508 Loop Detected"},
      {"two Hosts", "GET http://a.example/ HTTP/1.1\r\nHost: a.example\r\nHost: b\r\n\r\n", false,
       true, "", 400, Answer::kProxy, Reason::kSmuggling, Then::kClose, "",
       "HTTP/1.1 400 Bad Request"},
      {"no Host", "GET http://a.example/ HTTP/1.1\r\n\r\n", false, true, "", 400, Answer::kProxy,
       Reason::kBadRequest, Then::kClose, "", "HTTP/1.1 400 Bad Request"},
      {"another host in a tunnel", "GET / HTTP/1.1\r\nHost: b.example\r\n\r\n", false, true,
       "a.example", 421, Answer::kProxy, Reason::kMisdirected, Then::kClose, "",
       "HTTP/1.1 421 Misdirected Request"},
      {"tunnel", "CONNECT a.example:443 HTTP/1.1\r\nHost: a.example:443\r\n\r\n", false, true, "",
       200, Answer::kNetwork, Reason::kNone, Then::kEnd, "tunnel a.example:443", ""},
      {"tunnel to a port not listed", "CONNECT a.example:22 HTTP/1.1\r\nHost: a.example:22\r\n\r\n",
       false, true, "", 403, Answer::kProxy, Reason::kPort, Then::kEnd, "",
       "HTTP/1.1 403 Forbidden"},
      {"tunnel offline", "CONNECT a.example:443 HTTP/1.1\r\nHost: a.example:443\r\n\r\n", true,
       true, "", 403, Answer::kProxy, Reason::kNotAllowed, Then::kClose, "",
       "HTTP/1.1 403 Forbidden"},
  };
  for (const auto& row : rows) {
    RecordingNetwork network;
    const Served served = Serve(row.head, row.offline, row.loopback, row.tunnel, network);
    const Exchange& exchange = served.outcome.exchange;
    EXPECT_EQ(exchange.status, row.status) << row.name;
    EXPECT_EQ(exchange.answer, row.answer) << row.name;
    EXPECT_EQ(ReasonName(exchange.reason), ReasonName(row.reason)) << row.name;
    EXPECT_EQ(served.outcome.then, row.then) << row.name;
    EXPECT_EQ(network.asked, row.asked) << row.name;
    EXPECT_EQ(served.firstLine, row.firstLine) << row.name;
  }
}

TEST(Request, NetworkFailuresAreSaidAlikeForRequestsAndTunnels) {
  const boost::system::error_code refused = asio::error::connection_refused;
  const struct {
    boost::system::error_code failure;
    bool tunnel;
    unsigned status;
    Reason reason;
    std::string what;
  } rows[] = {
      {beast::error::timeout, false, 504, Reason::kTimeout, "The network did not answer in time."},
      {beast::error::timeout, true, 504, Reason::kTimeout,
       "The tunnel could not be opened in time."},
      {{kLoopsBack, LoopCategory()},
       true,
       508,
       Reason::kLoop,
       "The tunnel would come back to this proxy."},
      {{kOnThisMachine, LoopCategory()},
       false,
       403,
       Reason::kThisMachine,
       "Addresses on the proxy's machine are not served to other machines."},
      {refused, false, 502, Reason::kRefused,
       "The network could not be reached: " + refused.message() + "."},
      {refused, true, 502, Reason::kRefused,
       "The tunnel could not be opened: " + refused.message() + "."},
  };
  for (const auto& row : rows) {
    const Failure said = FailureOf(row.failure, "could not be reached", row.tunnel);
    EXPECT_EQ(said.status, row.status) << row.what;
    EXPECT_EQ(ReasonName(said.reason), ReasonName(row.reason)) << row.what;
    EXPECT_EQ(said.what, row.what);
  }
}

}  // namespace
}  // namespace quillon::host
