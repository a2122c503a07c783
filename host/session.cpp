// One browser connection: read each request's head, refuse what cannot be relayed safely, let
// the filter answer, else answer from the proxy or the network.
#include <arpa/inet.h>
#include <cstdio>

#include <cstdio>

#include "common/ascii.h"
#include "common/constants.h"
#include "http_rules.h"
#include "own_answers.h"
#include "pages.h"
#include "proxy_state.h"

namespace quillon::host {

namespace {

// The proxy's own address answers these for an operator (metrics.h).
constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kStatusPath = "/status";

struct HeadRead {
  enum Result { kClosed, kTooLarge, kComplete } result;
  std::size_t length;  // of the head, with its empty line
};

awaitable<HeadRead> ReadHead(ProxyState& s, Connection& c, ProxyState::OpenSession& open,
                             bool first) {
  open.idle = !s.stopping;
  c.client.expires_after(first ? s.options.headTimeout : s.options.idleTimeout);
  std::size_t searched = 0;
  for (;;) {
    const std::string_view now(static_cast<const char*>(c.buffer.data().data()), c.buffer.size());
    // Empty lines before a request are ignored.
    std::size_t blank = 0;
    while (blank < now.size() && (now[blank] == '\r' || now[blank] == '\n')) ++blank;
    if (blank > 0) {
      c.buffer.consume(blank);
      searched = 0;
      continue;
    }
    const std::size_t end = FindHeadEnd(now, searched);
    if (end != std::string_view::npos) co_return HeadRead{HeadRead::kComplete, end};
    searched = now.size();
    if (now.size() >= s.options.headLimit) co_return HeadRead{HeadRead::kTooLarge, 0};
    auto [ec, n] = co_await c.client.async_read_some(
        c.buffer.prepare(std::min<std::size_t>(16 * 1024, s.options.headLimit - now.size())),
        kTuple);
    open.idle = false;
    // Closed, reset, or the head timed out: nothing more to say.
    if (ec) co_return HeadRead{HeadRead::kClosed, 0};
    c.buffer.commit(n);
  }
}

// A request the proxy itself is asked for (origin form): its own page, never the network, which
// would lead straight back here.
Exchange AnswerAsSite(ProxyState& s, Connection& c, bool keepAlive, const NetworkTarget& target) {
  if (target.path == kMetricsPath) {
    return SendPreparedAnswer(c, keepAlive, 200,
                              WatchAnswer(kMetricsType, RenderMetrics(s.Watch())));
  }
  if (target.path == kStatusPath) {
    const std::string page = RenderStatus(s.Watch(), s.options.disc.string(), s.self.listen());
    return SendPreparedAnswer(c, keepAlive, 200, WatchAnswer("text/html; charset=utf-8", page));
  }
  if (auto page = s.pages.Answer(target.host, target.path, s.self.listen(), &s.workers)) {
    return SendPreparedAnswer(c, keepAlive, 200, *page);
  }
  return SendOwnAnswer(c, keepAlive, 404, Reason::kNotFound,
                       "The proxy has no page at " + target.path + ".");
}

// A launch that no page of the disc asked for (any web page can name the route, in an image say)
// is refused, and said on stderr.
bool FromDiscPage(ProxyState& s, const RequestHead& request) {
  const LaunchGate::Requester requester{.secFetchSite = request["Sec-Fetch-Site"],
                                        .origin = request[http::field::origin],
                                        .referer = request[http::field::referer]};
  if (LaunchGate::FromDiscPage(requester, s.options.catalogueDomain, [&](std::string_view prefix) {
        return s.pages.HoldsAddressesUnder(prefix);
      })) {
    return true;
  }
  std::fprintf(stderr, "quillon-proxy: refused %s: not asked for by a page of the disc (%s)\n",
               LogEscape(request.target()).c_str(),
               LogEscape(requester.origin.empty() ? requester.referer : requester.origin).c_str());
  return false;
}

// A target on this machine, by its address or by a name that is loopback by definition
// (RFC 6761), asked for by another machine's client. Refused before the network side, where a
// kept connection to it could be taken; names that resolve here are refused after resolving.
bool RefusedAsThisMachine(const ProxyState& s, const Connection& c, const NetworkTarget& target) {
  if (c.loopback) return false;
  std::string_view host = target.host;
  if (host.ends_with('.')) host.remove_suffix(1);
  if (AsciiEqualsIgnoreCase(host, "localhost") || EndsWithIgnoreCase(host, ".localhost")) {
    return true;
  }
  boost::system::error_code notAddress;
  const auto address = asio::ip::make_address(target.host, notAddress);
  if (!notAddress) return s.self.IsThisMachine(address);
  // The IPv4 forms the resolver takes for addresses too: "127.1", "2130706433", "0x7f.1".
  in_addr numeric{};
  if (inet_aton(target.host.c_str(), &numeric) != 0) {
    return s.self.IsThisMachine(asio::ip::address_v4(ntohl(numeric.s_addr)));
  }
  return false;
}

// A refused head's reason: framing that two readers could take differently (a second request
// smuggled in its body, or routed by another Host) is smuggling, the rest merely malformed.
Reason FramingReason(std::string_view why) {
  for (const std::string_view mark :
       {"Content-Length", "Transfer-Encoding", "transfer coding", "frames", "more than one Host"}) {
    if (why.find(mark) != std::string_view::npos) return Reason::kSmuggling;
  }
  return Reason::kBadRequest;
}

awaitable<Exchange> Respond(ProxyState& s, Connection& c, RequestParser& parser,
                            std::string_view rawHead, bool clientKeepAlive) {
  auto& request = parser.get();
  // The filter reads an absolute address: a request made straight to the proxy gets one, and
  // one inside an intercepted tunnel is for the tunnel's host.
  const bool originForm = request.target().empty() || request.target().front() == '/';
  if (!c.secureAuthority.empty()) {
    request.target("https://" + c.secureAuthority + std::string(request.target()));
  } else if (originForm) {
    auto host = request.find(http::field::host);
    if (host != request.end()) {
      request.target("http://" + std::string(host->value()) + std::string(request.target()));
    }
  }
  // A body the filter or the proxy answers without reading would be taken for the next request:
  // such a connection closes after its answer.
  const bool keepAlive = clientKeepAlive && parser.is_done();
  if (NamesDiscInternals(request.target(), kBarePrefix)) {
    co_return SendOwnAnswer(c, keepAlive, 404, Reason::kNotFound,
                            "The disc's own files are not served.");
  }
  const bool launch = LaunchGate::IsLaunchAddress(request.target());
  if (launch && !(FromDiscPage(s, request) &&
                  s.launches.Admit(request.target(), c.loopback, LaunchGate::Clock::now()))) {
    co_return SendPreparedAnswer(c, keepAlive, 204, NoContentAnswer());
  }
  // The filter sends docs/lumother/ addresses to file:// ones, which a browser does not follow
  // from a web page: the proxy serves those files from the disc itself.
  if (!launch) {
    if (auto file = s.pages.OtherPageFile(request.target())) {
      co_return SendDiscFile(c, keepAlive, *file);
    }
  }
  c.filter.StartRequest(&request, c.headOnly);
  // A filter may finish the request in any of the notifications before the network.
  if (c.filter.ReadRawData(rawHead) == SF_STATUS_REQ_FINISHED ||
      c.filter.PreprocHeaders() == SF_STATUS_REQ_FINISHED ||
      c.filter.UrlMap() == SF_STATUS_REQ_FINISHED) {
    co_return FilterAnswered(c.filter, Answer::kFilter, keepAlive);
  }
  const auto target = ParseHttpTarget(request.target());
  if (!target) {
    co_return SendOwnAnswer(c, keepAlive, 501, Reason::kNotImplemented,
                            "The address is not an http:// or https:// one.");
  }
  if (OnDomain(target->host, s.options.catalogueDomain)) {
    // The disc's own host never reaches the network.
    if (target->path.starts_with("/program/") && IsExecutablePath(target->path)) {
      co_return SendOwnAnswer(c, keepAlive, 501, Reason::kNotImplemented,
                              "Programs on the disc cannot run here.");
    }
    if (auto page = s.pages.Answer(target->host, target->path, "", c.workers)) {
      co_return SendPreparedAnswer(c, keepAlive, 200, *page);
    }
    co_return SendOwnAnswer(c, keepAlive, 404, Reason::kNotFound,
                            "The disc's start host has no page at " + target->path + ".");
  }
  if (originForm && c.secureAuthority.empty()) co_return AnswerAsSite(s, c, keepAlive, *target);
  // An OPTIONS or TRACE that may go no further is answered here (RFC 9110 7.6.2).
  if (const auto answer = LastHopAnswer(request)) {
    co_return SendPreparedAnswer(c, keepAlive, 200, *answer);
  }
  if (s.options.offline) {
    co_return SendPreparedAnswer(
        c, keepAlive, 504, s.pages.NotOnDisc(request.target(), c.wantsHtml), Reason::kNotOnDisc);
  }
  if (RefusedAsThisMachine(s, c, *target)) {
    co_return SendOwnAnswer(c, keepAlive, 403, Reason::kThisMachine,
                            "Addresses on the proxy's machine are not served to other machines.");
  }
  co_return co_await Fetch(s, c, parser, *target, clientKeepAlive);
}

// A request inside an intercepted tunnel names the tunnel's host and nothing else: an absolute
// address or another Host would let one certificate's connection reach other sites.
bool TunnelledRequestFits(const RequestHead& request, const TunnelledClient& tunnelled) {
  const std::string_view target = request.target();
  if (target.empty() || target.front() != '/') return false;
  const auto host = request.find(http::field::host);
  if (host == request.end()) return true;
  const auto named = ParseAuthority(host->value(), kHttpsPort);
  const auto own = ParseAuthority(tunnelled.authority, kHttpsPort);
  return named && own && named->port == own->port && AsciiEqualsIgnoreCase(named->host, own->host);
}

}  // namespace

awaitable<void> CloseAfterAnswer(ProxyState& s, beast::tcp_stream& client, std::string answer) {
  if (!answer.empty() &&
      !WriteAll(client.socket().native_handle(), answer, s.options.readTimeout, &s.workers)) {
    co_return;
  }
  boost::system::error_code ignored;
  client.socket().shutdown(tcp::socket::shutdown_send, ignored);
  client.expires_after(std::chrono::seconds(1));
  std::vector<char> discard(16 * 1024);
  for (std::size_t drained = 0; drained < 1024 * 1024;) {
    auto [ec, n] = co_await client.async_read_some(asio::buffer(discard), kTuple);
    if (ec) break;
    drained += n;
  }
}

awaitable<void> ProxyState::Session(tcp::socket socket, std::optional<TunnelledClient> tunnelled) {
  beast::tcp_stream client(std::move(socket));
  std::string remote = "-";
  bool loopback = false;
  {
    boost::system::error_code ec;
    if (tunnelled) {
      remote = tunnelled->remote;
      loopback = tunnelled->loopback;
    } else {
      auto endpoint = client.socket().remote_endpoint(ec);
      if (!ec) {
        remote = endpoint.address().to_string();
        loopback = Unmapped(endpoint.address()).is_loopback();
      }
      client.socket().set_option(tcp::no_delay(true), ec);
    }
    client.socket().native_non_blocking(true, ec);
  }
  const int fd = client.socket().native_handle();
  const auto writeTimeout = options.readTimeout;
  Workers* pool = &workers;
  FilterSession filter(
      library,
      [fd, writeTimeout, pool](std::string_view first, std::string_view second) {
        return WriteAll(fd, first, second, writeTimeout, pool);
      },
      tunnelled.has_value());
  OpenSession open{&client};
  Register(&open);
  struct Registered {
    ProxyState* state;
    OpenSession* open;
    ~Registered() { state->Unregister(open); }
  } registered{this, &open};
  // The inner end of an intercepted tunnel is no browser connection of its own. An intercepted
  // connection's socket has moved to its TLS stream by now: counted without its bytes.
  struct Counted {
    Metrics* metrics;
    beast::tcp_stream& client;
    ~Counted() {
      if (metrics == nullptr) return;
      if (client.socket().is_open()) {
        metrics->ConnectionEnded(client.socket().native_handle());
      } else {
        metrics->ConnectionEnded(0, 0);
      }
    }
  } counted{tunnelled ? nullptr : &metrics, client};
  beast::flat_buffer buffer;
  Connection c{client, buffer, filter, writeTimeout, pool, remote, loopback, {}, {}, {}, {}, {}};
  if (tunnelled) c.secureAuthority = tunnelled->authority;

  // Each refusal's answer is made before its co_await: GCC frees the temporaries of a co_await's
  // operands wrongly (a malformed head's 400 crashed the proxy with a double free).
  for (bool first = true; !stopping; first = false) {
    const HeadRead head = co_await ReadHead(*this, c, open, first);
    if (head.result == HeadRead::kClosed) co_return;
    if (head.result == HeadRead::kTooLarge) {
      std::string answer = OwnAnswer(
          {431, Reason::kLimit, "The request head is longer than the proxy accepts.", {}, {}, {}},
          false, true);
      co_await CloseAfterAnswer(*this, client, std::move(answer));
      co_return;
    }
    RequestParser parser;
    parser.header_limit(static_cast<std::uint32_t>(options.headLimit));
    parser.body_limit(boost::none);
    const std::string rawHead(static_cast<const char*>(buffer.data().data()), head.length);
    boost::system::error_code parseError;
    parser.put(asio::buffer(rawHead), parseError);
    if (parseError || !parser.is_header_done()) {
      std::string answer = OwnAnswer(
          {400, Reason::kBadRequest, "The request head is malformed.", {}, {}, {}}, false, true);
      co_await CloseAfterAnswer(*this, client, std::move(answer));
      co_return;
    }
    buffer.consume(head.length);
    c.started = std::chrono::steady_clock::now();
    auto& request = parser.get();
    const std::string requestLine = std::string(request.method_string()) + " " +
                                    (tunnelled ? "https://" + tunnelled->authority : "") +
                                    std::string(request.target()) +
                                    (request.version() == 10 ? " HTTP/1.0" : " HTTP/1.1");
    c.wantsHtml = AcceptsHtml(request[http::field::accept]);
    auto refuse = [&](unsigned status, Reason reason, std::string what) {
      Log(c, request, requestLine, Exchange{status, 0, Answer::kProxy, false, false, reason});
      return OwnAnswer({status, reason, std::move(what), {}, {}, {}}, c.wantsHtml, true);
    };
    if (const auto why = RequestFramingError(request)) {
      std::string answer =
          refuse(400, FramingReason(*why), "The request was refused: " + std::string(*why) + ".");
      co_await CloseAfterAnswer(*this, client, std::move(answer));
      co_return;
    }
    if (ViaNames(request, viaName)) {
      std::string answer = refuse(508, Reason::kLoop, "The request has passed this proxy already.");
      co_await CloseAfterAnswer(*this, client, std::move(answer));
      co_return;
    }
    c.headOnly = request.method() == http::verb::head;
    c.interimAllowed = request.version() >= 11;

    if (tunnelled && !TunnelledRequestFits(request, *tunnelled)) {
      std::string answer =
          refuse(421, Reason::kMisdirected, "The request is for another host than its tunnel.");
      co_await CloseAfterAnswer(*this, client, std::move(answer));
      co_return;
    }
    if (request.method() == http::verb::connect) {
      const auto target = ParseAuthority(request.target(), kHttpsPort);
      // A host of the disc: the proxy answers inside the tunnel itself.
      if (target && !tunnelled && Intercepts(*this, *target)) {
        const Exchange intercepted = co_await Intercept(*this, c, *target);
        Log(c, request, requestLine, intercepted);
        co_return;
      }
      // Any other is tunnelled as it is: the filter never sees encrypted traffic.
      if (!target || tunnelled || options.offline || options.noConnect) {
        std::string answer =
            refuse(403, Reason::kNotAllowed, "This proxy opens no tunnel to that host.");
        co_await CloseAfterAnswer(*this, client, std::move(answer));
        co_return;
      }
      if (RefusedAsThisMachine(*this, c, *target)) {
        std::string answer =
            refuse(403, Reason::kThisMachine, "Tunnels to the proxy's machine are not allowed.");
        co_await CloseAfterAnswer(*this, client, std::move(answer));
        co_return;
      }
      const Exchange tunnel = co_await OpenTunnel(*this, c, *target);
      Log(c, request, requestLine, tunnel);
      co_return;
    }

    const Exchange exchange = co_await Respond(*this, c, parser, rawHead, parser.keep_alive());
    if (exchange.abandoned) co_return;
    Log(c, request, requestLine, exchange);
    if (!exchange.keepAlive || !parser.is_done()) {
      if (!parser.is_done()) {
        co_await CloseAfterAnswer(*this, client, {});  // the unread body must not reset the answer
      } else {
        boost::system::error_code ignored;
        client.socket().shutdown(tcp::socket::shutdown_send, ignored);
      }
      co_return;
    }
  }
}

}  // namespace quillon::host
