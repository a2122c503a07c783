// CONNECT to a host of the disc: the proxy ends the browser's TLS itself and serves the
// requests inside like any other, as https:// addresses.
//
// The requests inside are served on the browser's TLS stream itself, by the same connection
// (browser_tls.h), on a filter session of their own: a secure port's.
#include <cstdio>

#include <boost/asio/ssl.hpp>

#include "common/ascii.h"
#include "intercept.h"
#include "own_answers.h"
#include "tunnel.h"

namespace quillon::host {

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

  NetworkTarget secure = target;
  secure.secure = true;
  auto tls = std::make_unique<BrowserTls>(c.client, std::move(context), secure.AuthorityForHost(),
                                          c.writeTimeout, c.workers);
  c.client.expires_after(s.options.headTimeout);
  auto [failed, used] = co_await tls->stream().async_handshake(asio::ssl::stream_base::server,
                                                               asio::buffer(early), kTuple);
  (void)used;
  s.metrics.TlsHandshake(!failed);
  if (failed) {
    // The tunnel's 200 went out, but nothing was served through it.
    exchange.status = 400;
    exchange.reason = Reason::kHandshake;
    co_return exchange;
  }
  c.secured = std::move(tls);
  co_return exchange;
}

}  // namespace quillon::host
