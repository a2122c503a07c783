// One parsed request, from its head's checks to its answer: refusals, the launch gate, the
// disc's own files and pages, the filter, the proxy's own pages, and the network or a tunnel.
// It writes the answer on the connection (the filter's own writes go out from inside its
// notifications) and returns how it went; the connection itself (reading heads, keeping it
// open, the access log) is the session's.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <utility>

#include "connection.h"
#include "launch_gate.h"
#include "metrics.h"
#include "pages.h"
#include "proxy_options.h"
#include "self_addresses.h"
#include "target.h"

namespace quillon::host {

// The network, as a request reaches it: the proxy's own side (proxy.cpp), or a recording one in
// the tests. Only requests the filter and the proxy leave unanswered get this far, so the disc's
// pages never pass here.
class NetworkSide {
 public:
  virtual ~NetworkSide() = default;
  // The request's answer from the origin, relayed (upstream.h).
  virtual awaitable<Exchange> Fetch(Connection& c, RequestParser& parser,
                                    const NetworkTarget& target, bool keepAlive) = 0;
  // A CONNECT as a tunnel of bytes (tunnel.h).
  virtual awaitable<Exchange> OpenTunnel(Connection& c, const NetworkTarget& target) = 0;
  // A CONNECT to a host of the disc, answered inside by the proxy itself (intercept.h).
  virtual bool Intercepts(const NetworkTarget& target) = 0;
  virtual awaitable<Exchange> Intercept(Connection& c, const NetworkTarget& target) = 0;
};

// What a request reads and uses besides its connection.
struct RequestServices {
  const ProxyOptions& options;
  DiscPages& pages;
  LaunchGate& launches;
  const SelfAddresses& self;
  const std::string& viaName;  // this proxy in Via: "host:port", known once it listens
  // The counters with the gauges read now, for /metrics and /status.
  std::function<MetricsSnapshot()> watch;
  NetworkSide& network;
};

// How a request ended, and what the connection does next.
struct Outcome {
  enum class Then {
    kNext,   // the exchange's keepAlive decides
    kClose,  // `answer` (a refusal, not yet sent) goes out, then the connection closes
    kEnd,    // a tunnel, or a refusal of one already sent: the connection is over
  };
  Outcome() = default;
  // An answer sent: the exchange's keepAlive decides what follows.
  Outcome(Exchange sent) : exchange(sent) {}
  Outcome(Exchange e, Then next, std::string refusal)
      : exchange(e), then(next), answer(std::move(refusal)) {}

  Exchange exchange;
  Then then = Then::kNext;
  std::string answer;
};

// Serves the request `parser` holds (its head is read and parsed; `rawHead` is its bytes).
awaitable<Outcome> HandleRequest(RequestServices& s, Connection& c, RequestParser& parser,
                                 std::string_view rawHead);

}  // namespace quillon::host
