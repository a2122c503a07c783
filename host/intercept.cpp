// CONNECT to a host of the disc: the proxy ends the browser's TLS itself and serves the
// requests inside like any other, as https:// addresses.
//
// The requests run in an ordinary session over one end of a socket pair, and this side moves
// bytes between the pair and the browser's TLS. So the filter's synchronous writes, the slow
// browser handling and the timeouts stay exactly those of a plain connection, at the cost of
// one copy through the kernel.
#include <algorithm>
#include <cstdio>

#include <sys/socket.h>

#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/ssl.hpp>

#include "common/ascii.h"
#include "intercept.h"
#include "own_answers.h"
#include "streams.h"
#include "tunnel.h"

namespace quillon::host {

using namespace asio::experimental::awaitable_operators;

namespace {

// TLS records carry at most 16 KiB: a larger block gains nothing.
constexpr std::size_t kTlsBlock = 16 * 1024 + 256;

}  // namespace

std::vector<std::string> NamesToSign(DiscPages& pages, std::string_view catalogueDomain) {
  std::vector<std::string> names{std::string(catalogueDomain)};
  for (const SiteSummary& site : pages.Sites()) {
    if (!site.secure) continue;
    if (auto target = ParseAuthority(site.host, kHttpsPort)) names.push_back(target->host);
  }
  return names;
}

bool Intercepts(const InterceptServices& s, const NetworkTarget& target) {
  if (s.ca == nullptr) return false;
  NetworkTarget secure = target;
  secure.secure = true;
  const bool ours = OnDomain(target.host, s.options.catalogueDomain) ||
                    s.pages.HoldsHttpsHost(AsciiLowered(secure.AuthorityForHost()));
  // A host the authority may not sign stays a tunnel: a certificate for it would be refused.
  // Asked last: the check builds a certificate, which a tunnel to any other site need not pay.
  return ours && s.ca->Permits(target.host);
}

awaitable<Exchange> Intercept(InterceptServices& s, Connection& c, const NetworkTarget& target) {
  Exchange exchange{200, 0, Answer::kProxy, false};
  // The requests inside are a connection of their own, within the same limit.
  if (s.active.load() >= s.options.maxConnections) {
    co_return RefuseTunnel(c, 503, Reason::kLimit,
                           "The proxy serves as many connections as it may.");
  }
  std::shared_ptr<asio::ssl::context> context;
  try {
    context = s.ca->ServerContext(target.host);
  } catch (const HostError& error) {
    std::fprintf(stderr, "quillon-proxy: no certificate for %s: %s\n",
                 LogEscape(target.host).c_str(), error.what());
    co_return RefuseTunnel(c, 502, Reason::kCertificate,
                           "No certificate could be made for " + target.host + ".");
  }
  if (!SendEstablished(c)) co_return exchange;
  // What the browser sent after its CONNECT without waiting (its TLS hello) starts the handshake.
  const std::string early(static_cast<const char*>(c.buffer.data().data()), c.buffer.size());
  c.buffer.consume(c.buffer.size());

  const auto executor = co_await asio::this_coro::executor;
  ServerTls tls(c.client.release_socket(), *context);
  asio::steady_timer timer(executor);
  timer.expires_after(s.options.headTimeout);
  auto handshake =
      co_await (tls.async_handshake(asio::ssl::stream_base::server, asio::buffer(early), kTuple) ||
                timer.async_wait(kTuple));
  const bool shook = handshake.index() == 0 && !std::get<0>(std::get<0>(handshake));
  s.metrics.TlsHandshake(shook);
  if (!shook) {
    // The tunnel's 200 went out, but nothing was served through it.
    exchange.status = 400;
    exchange.reason = Reason::kHandshake;
    co_return exchange;
  }

  // The requests' connection: one end of a socket pair, on a strand of its own so that this side
  // keeps moving bytes while that one waits in a write.
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) co_return exchange;
  LocalStream local(executor);
  // Every executor here is a strand of one shard's io_context.
  auto& shard = static_cast<asio::io_context&>(asio::query(executor, asio::execution::context));
  tcp::socket inner(asio::make_strand(shard));
  boost::system::error_code ec;
  local.assign(asio::local::stream_protocol(), pair[1], ec);
  if (ec) {
    close(pair[0]);
    close(pair[1]);
    co_return exchange;
  }
  // A TCP socket object over a local socket: the session only reads, writes and shuts it down,
  // which are the same calls for both.
  inner.assign(tcp::v4(), pair[0], ec);
  if (ec) {
    close(pair[0]);
    co_return exchange;
  }
  NetworkTarget secure = target;
  secure.secure = true;
  s.spawn(std::move(inner), TunnelledClient{secure.AuthorityForHost(), c.remote, c.loopback});

  // Both ways: the browser's bytes as they come, and the session's answers, each write to the
  // browser within the read timeout.
  auto [fromBrowser, toBrowser] =
      co_await (Pump(tls, local, kTlsBlock, kNoTimeout, kNoTimeout) &&
                Pump(local, tls, kTlsBlock, kNoTimeout, s.options.readTimeout));
  (void)fromBrowser;
  exchange.bytes = toBrowser;
  co_return exchange;
}

}  // namespace quillon::host
