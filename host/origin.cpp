// Reaching the origin: resolving (or --resolve), the loop and this-machine checks, connecting,
// TLS towards https:// origins, and what a failure on the way is called.
#include "origin.h"

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <boost/asio/experimental/awaitable_operators.hpp>

namespace quillon::host {

using namespace asio::experimental::awaitable_operators;

namespace {

class LoopErrorCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "quillon-loop"; }
  std::string message(int value) const override {
    return value == kOnThisMachine ? "the address is on the proxy's machine"
                                   : "the address is this proxy's own";
  }
};

}  // namespace

const boost::system::error_category& LoopCategory() {
  static const LoopErrorCategory category;
  return category;
}

Reason ReasonOfFailure(const boost::system::error_code& failure) {
  if (failure == boost::system::error_code(kOnThisMachine, LoopCategory())) {
    return Reason::kThisMachine;
  }
  if (failure.category() == LoopCategory()) return Reason::kLoop;
  if (failure == beast::error::timeout) return Reason::kTimeout;
  if (failure.category() == asio::error::get_netdb_category() ||
      failure.category() == asio::error::get_addrinfo_category()) {
    return Reason::kDns;
  }
  if (failure == asio::error::connection_refused) return Reason::kRefused;
  if (failure == asio::error::network_unreachable || failure == asio::error::host_unreachable) {
    return Reason::kUnreachable;
  }
  if (failure.category() == asio::error::get_ssl_category()) {
    return ERR_GET_REASON(static_cast<unsigned long>(failure.value())) ==
                   SSL_R_CERTIFICATE_VERIFY_FAILED
               ? Reason::kTlsVerify
               : Reason::kTls;
  }
  if (failure.category() == asio::ssl::error::get_stream_category()) return Reason::kTls;
  if (failure.category() == http::make_error_code(http::error::bad_version).category()) {
    return Reason::kBadOrigin;  // the origin's answer did not parse
  }
  return Reason::kNetwork;
}

Failure FailureOf(const boost::system::error_code& failure, std::string_view what, bool tunnel) {
  // The failures with words of their own; any other is the network's, said with its message.
  struct Words {
    Reason reason;
    unsigned status;
    std::string_view request;
    std::string_view tunnel;
  };
  static constexpr Words kWords[] = {
      {Reason::kThisMachine, 403,
       "Addresses on the proxy's machine are not served to other machines.",
       "Tunnels to the proxy's machine are not allowed."},
      {Reason::kLoop, 508, "The address is this proxy's own: the request would come back here.",
       "The tunnel would come back to this proxy."},
      {Reason::kTimeout, 504, "The network did not answer in time.",
       "The tunnel could not be opened in time."},
  };
  const Reason reason = ReasonOfFailure(failure);
  for (const Words& words : kWords) {
    if (words.reason == reason) {
      return {words.status, reason, std::string(tunnel ? words.tunnel : words.request)};
    }
  }
  return {502, reason,
          tunnel ? "The tunnel could not be opened: " + failure.message() + "."
                 : "The network " + std::string(what) + ": " + failure.message() + "."};
}

Exchange NetworkFailed(Connection& c, bool keepAlive, const boost::system::error_code& failure,
                       std::string_view what) {
  Failure said = FailureOf(failure, what, false);
  return SendOwnAnswer(c, keepAlive, said.status, said.reason, std::move(said.what));
}

awaitable<boost::system::error_code> ConnectUpstream(const NetworkServices& s,
                                                     beast::tcp_stream& upstream,
                                                     const NetworkTarget& target,
                                                     bool clientLoopback,
                                                     std::chrono::milliseconds timeout) {
  const auto executor = co_await asio::this_coro::executor;
  tcp::resolver::results_type results;
  const std::string service = std::to_string(target.port);
  if (const auto fixed = FixedAddressOf(s.options.resolve, target.host, target.port)) {
    // --resolve: no lookup at all.
    results = tcp::resolver::results_type::create(tcp::endpoint(*fixed, target.port), target.host,
                                                  service);
  } else {
    tcp::resolver resolver(executor);
    asio::steady_timer timer(executor, timeout);
    auto resolved =
        co_await (resolver.async_resolve(target.host, service, kTuple) || timer.async_wait(kTuple));
    if (resolved.index() == 1) co_return beast::error::timeout;
    auto [ec, found] = std::get<0>(resolved);
    if (ec) co_return ec;
    results = std::move(found);
  }
  for (const auto& entry : results) {
    if (s.self.Contains(entry.endpoint())) {
      co_return boost::system::error_code(kLoopsBack, LoopCategory());
    }
    // Another machine's client must not reach what listens on this one's loopback or addresses.
    if (!clientLoopback && s.self.IsThisMachine(entry.endpoint().address())) {
      co_return boost::system::error_code(kOnThisMachine, LoopCategory());
    }
  }
  upstream.expires_after(timeout);
  auto [connectError, endpoint] = co_await upstream.async_connect(results, kTuple);
  co_return connectError;
}

// TLS towards an https:// origin: its name goes out by SNI, and its certificate must chain to
// a trusted authority and name it. A failure is the network's, never an accept.
awaitable<boost::system::error_code> StartTls(TlsStream& upstream, const NetworkTarget& target,
                                              std::chrono::milliseconds timeout) {
  boost::system::error_code notAddress;
  asio::ip::make_address(target.host, notAddress);
  // SNI carries names only; an address is checked against the certificate all the same.
  if (notAddress && SSL_set_tlsext_host_name(upstream.native_handle(), target.host.c_str()) != 1) {
    co_return asio::ssl::error::stream_truncated;
  }
  // The certificate must name the host in its subjectAltName: a name in the subject's CN
  // alone counts for nothing, as in browsers.
  X509_VERIFY_PARAM* param = SSL_get0_param(upstream.native_handle());
  X509_VERIFY_PARAM_set_hostflags(
      param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const bool named =
      notAddress ? X509_VERIFY_PARAM_set1_host(param, target.host.data(), target.host.size()) == 1
                 : X509_VERIFY_PARAM_set1_ip_asc(param, target.host.c_str()) == 1;
  if (!named) co_return asio::ssl::error::stream_truncated;
  upstream.set_verify_mode(asio::ssl::verify_peer);
  upstream.next_layer().expires_after(timeout);
  auto [e] = co_await upstream.async_handshake(asio::ssl::stream_base::client, kTuple);
  co_return e;
}

}  // namespace quillon::host
