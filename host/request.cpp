// One parsed request: the head's checks, then what answers it.
#include "request.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>

#include "common/ascii.h"
#include "common/constants.h"
#include "http_rules.h"
#include "own_answers.h"
#include "tunnel.h"

namespace quillon::host {

namespace {

// The proxy's own address answers these for an operator (metrics.h).
constexpr std::string_view kMetricsPath = "/metrics";
constexpr std::string_view kStatusPath = "/status";

// A request the proxy itself is asked for (origin form): its own page, never the network, which
// would lead straight back here.
Exchange AnswerAsSite(RequestServices& s, Connection& c, bool keepAlive,
                      const NetworkTarget& target) {
  if (target.path == kMetricsPath) {
    return SendPreparedAnswer(c, keepAlive, 200,
                              WatchAnswer(kMetricsType, RenderMetrics(s.watch())));
  }
  if (target.path == kStatusPath) {
    const std::string page = RenderStatus(s.watch(), s.options.disc.string(), s.self.listen());
    return SendPreparedAnswer(c, keepAlive, 200, WatchAnswer("text/html; charset=utf-8", page));
  }
  if (auto page = s.pages.Answer(target.host, target.path, s.self.listen(), c.workers)) {
    return SendPreparedAnswer(c, keepAlive, 200, *page);
  }
  return SendOwnAnswer(c, keepAlive, 404, Reason::kNotFound,
                       "The proxy has no page at " + target.path + ".");
}

// A launch that no page of the disc asked for (any web page can name the route, in an image say)
// is refused, and said on stderr.
bool FromDiscPage(RequestServices& s, const RequestHead& request) {
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
bool RefusedAsThisMachine(const RequestServices& s, const Connection& c,
                          const NetworkTarget& target) {
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

// A refusal of the head: its answer is made here, and goes out from the session before the close.
Outcome Refusal(const Connection& c, unsigned status, Reason reason, std::string what) {
  return {Exchange{status, 0, Answer::kProxy, false, false, reason}, Outcome::Then::kClose,
          OwnAnswer({status, reason, std::move(what), {}, {}, {}}, c.wantsHtml, true)};
}

// A request inside an intercepted tunnel names the tunnel's host and nothing else: an absolute
// address or another Host would let one certificate's connection reach other sites.
bool TunnelledRequestFits(const RequestHead& request, std::string_view authority) {
  const std::string_view target = request.target();
  if (target.empty() || target.front() != '/') return false;
  const auto host = request.find(http::field::host);
  if (host == request.end()) return true;
  const auto named = ParseAuthority(host->value(), kHttpsPort);
  const auto own = ParseAuthority(authority, kHttpsPort);
  return named && own && named->port == own->port && AsciiEqualsIgnoreCase(named->host, own->host);
}

// A CONNECT: a tunnel of bytes, the proxy's own answers inside one, or a refusal.
awaitable<Outcome> Connect(RequestServices& s, Connection& c, const RequestHead& request) {
  const bool tunnelled = !c.secureAuthority.empty();
  const auto target = ParseAuthority(request.target(), kHttpsPort);
  // A host of the disc: the proxy answers inside the tunnel itself.
  if (target && !tunnelled && s.network.Intercepts(*target)) {
    const Exchange intercepted = co_await s.network.Intercept(c, *target);
    co_return Outcome{intercepted, Outcome::Then::kEnd, {}};
  }
  // Any other is tunnelled as it is: the filter never sees encrypted traffic.
  if (!target || tunnelled || s.options.offline || s.options.noConnect) {
    co_return Refusal(c, 403, Reason::kNotAllowed, "This proxy opens no tunnel to that host.");
  }
  if (RefusedAsThisMachine(s, c, *target)) {
    co_return Refusal(c, 403, Reason::kThisMachine,
                      "Tunnels to the proxy's machine are not allowed.");
  }
  const auto& ports = s.options.connectPorts;
  if (std::find(ports.begin(), ports.end(), target->port) == ports.end()) {
    co_return Outcome{
        RefuseTunnel(c, 403, Reason::kPort,
                     "Tunnels may not reach port " + std::to_string(target->port) + "."),
        Outcome::Then::kEnd,
        {}};
  }
  const Exchange tunnel = co_await s.network.OpenTunnel(c, *target);
  co_return Outcome{tunnel, Outcome::Then::kEnd, {}};
}

}  // namespace

awaitable<Outcome> HandleRequest(RequestServices& s, Connection& c, RequestParser& parser,
                                 std::string_view rawHead) {
  auto& request = parser.get();
  c.wantsHtml = AcceptsHtml(request[http::field::accept]);
  if (const auto why = RequestFramingError(request)) {
    co_return Refusal(c, 400, FramingReason(*why),
                      "The request was refused: " + std::string(*why) + ".");
  }
  if (ViaNames(request, s.viaName)) {
    co_return Refusal(c, 508, Reason::kLoop, "The request has passed this proxy already.");
  }
  c.headOnly = request.method() == http::verb::head;
  c.interimAllowed = request.version() >= 11;
  if (!c.secureAuthority.empty() && !TunnelledRequestFits(request, c.secureAuthority)) {
    co_return Refusal(c, 421, Reason::kMisdirected,
                      "The request is for another host than its tunnel.");
  }
  if (request.method() == http::verb::connect) co_return co_await Connect(s, c, request);

  // What answers the request: one coroutine with the checks above, so that a disc page costs no
  // further frame.
  const bool clientKeepAlive = parser.keep_alive();
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
  const Exchange fetched = co_await s.network.Fetch(c, parser, *target, clientKeepAlive);
  co_return fetched;
}

}  // namespace quillon::host
