// The network side: reaching the origin (with the loop check), forwarding the request, 1xx,
// 101, and relaying the answer.
#pragma once

#include <boost/asio/ssl/context.hpp>
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

// 504 when the network timed out, 502 for any other failure, 508 for a request bound for the
// proxy itself; the reason tells the failures apart.
Reason ReasonOfFailure(const boost::system::error_code& failure);
Exchange NetworkFailed(Connection& c, bool keepAlive, const boost::system::error_code& failure,
                       std::string_view what);

// The failure a connection to this proxy's own address reports (kLoopsBack), or to an address
// of this machine asked for by another machine's client (kOnThisMachine).
const boost::system::error_category& LoopCategory();
inline constexpr int kLoopsBack = 1;
inline constexpr int kOnThisMachine = 2;

// Resolves (or takes --resolve's address) and connects within the connect timeout; an address of
// the proxy itself is a loop, and one of this machine is refused to a client from elsewhere.
awaitable<boost::system::error_code> ConnectUpstream(const NetworkServices& s,
                                                     beast::tcp_stream& upstream,
                                                     const NetworkTarget& target,
                                                     bool clientLoopback);

// The network fetch of a request the filter passed on.
awaitable<Exchange> Fetch(NetworkServices& s, Connection& c, RequestParser& parser,
                          const NetworkTarget& target, bool keepAlive);

}  // namespace quillon::host
