// Reaching an origin: connecting (with the loop and this-machine checks), TLS towards it, and
// the proxy's answer when that fails.
#pragma once

#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <string>
#include <string_view>

#include "connection.h"
#include "disc_updater.h"
#include "metrics.h"
#include "proxy_options.h"
#include "self_addresses.h"
#include "target.h"
#include "upstream_pool.h"

namespace quillon::host {

// What the network side reads and keeps.
struct NetworkServices {
  const ProxyOptions& options;
  const SelfAddresses& self;
  UpstreamPool& pool;
  LargeBlocks& largeBlocks;
  asio::ssl::context& originTls;  // TLS towards https:// origins
  const std::string& via;         // "1.1 host:port (quillon-proxy)", known once it listens
  DiscUpdater* updater;           // --update-disc, else null
  Metrics& metrics;
};

// Why the network failed a request or a tunnel, as the access log names it.
Reason ReasonOfFailure(const boost::system::error_code& failure);

// What the proxy answers for a failure on the way to the origin: 504 when the network timed
// out, 508 for the proxy itself, 403 for this machine asked from another, 502 for any other;
// `what` says which step failed (a request's words), `tunnel` asks for a CONNECT's words.
struct Failure {
  unsigned status;
  Reason reason;
  std::string what;
};
Failure FailureOf(const boost::system::error_code& failure, std::string_view what, bool tunnel);

// A request's network failure answered, through send-raw-data (a disc copy may stand in).
Exchange NetworkFailed(Connection& c, bool keepAlive, const boost::system::error_code& failure,
                       std::string_view what);

// The failure a connection to this proxy's own address reports (kLoopsBack), or to an address
// of this machine asked for by another machine's client (kOnThisMachine).
const boost::system::error_category& LoopCategory();
inline constexpr int kLoopsBack = 1;
inline constexpr int kOnThisMachine = 2;

// Resolves (or takes --resolve's address) and connects within `timeout`; an address of the
// proxy itself is a loop, and one of this machine is refused to a client from elsewhere.
awaitable<boost::system::error_code> ConnectUpstream(const NetworkServices& s,
                                                     beast::tcp_stream& upstream,
                                                     const NetworkTarget& target,
                                                     bool clientLoopback,
                                                     std::chrono::milliseconds timeout);

// TLS towards an https:// origin over a connected stream, within `timeout`: its name goes out by
// SNI, and its certificate must chain to a trusted authority and name it.
awaitable<boost::system::error_code> StartTls(TlsStream& upstream, const NetworkTarget& target,
                                              std::chrono::milliseconds timeout);

}  // namespace quillon::host
