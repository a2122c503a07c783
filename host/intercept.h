// CONNECT to a host of the disc: the proxy ends the browser's TLS itself and serves the
// requests inside like any other, as https:// addresses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "connection.h"
#include "local_ca.h"
#include "metrics.h"
#include "pages.h"
#include "proxy_options.h"
#include "target.h"

namespace quillon::host {

// What interception reads and uses.
struct InterceptServices {
  const ProxyOptions& options;
  LocalCa* ca;  // null: every CONNECT is a tunnel
  DiscPages& pages;
  Metrics& metrics;
};

// What the local authority signs for: the catalogue domain and the disc's https:// hosts.
std::vector<std::string> NamesToSign(DiscPages& pages, std::string_view catalogueDomain);

bool Intercepts(const InterceptServices& s, const NetworkTarget& target);
// The 200, then the browser's handshake: on success the connection's `secured` holds the TLS
// that its requests come through from now on.
awaitable<Exchange> Intercept(InterceptServices& s, Connection& c, const NetworkTarget& target);

}  // namespace quillon::host
