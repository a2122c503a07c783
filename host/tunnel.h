// Tunnels: CONNECT, and a connection whose protocol was switched by a 101. Bytes pass
// unfiltered.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "connection.h"
#include "origin.h"
#include "target.h"

namespace quillon::host {

// Bytes both ways between two streams until either side ends or is idle too long; returns how
// many went from `b` to `a` (for a plain or a TLS `b`).
awaitable<std::uint64_t> Splice(beast::tcp_stream& a, beast::tcp_stream& b,
                                std::chrono::milliseconds idle);
awaitable<std::uint64_t> Splice(beast::tcp_stream& a, TlsStream& b, std::chrono::milliseconds idle);

// After a 101: both sides speak the new protocol through the proxy, unfiltered. `head` (the 101)
// and what came after it from the origin go to the client first.
template <class Upstream>
awaitable<Exchange> RelayUpgraded(NetworkServices& s, Connection& c, Upstream& upstream,
                                  beast::flat_buffer& upstreamBuffer, std::string_view head);

// A CONNECT's tunnel is open: "200 Connection Established" goes out, from here alone.
bool SendEstablished(Connection& c);

// A CONNECT refused: the answer goes out, and the connection ends with it.
Exchange RefuseTunnel(Connection& c, unsigned status, Reason reason, std::string what);

// A CONNECT to a port --connect-ports allows: the tunnel's status (200, or the refusal sent)
// and the bytes sent to the client.
awaitable<Exchange> OpenTunnel(NetworkServices& s, Connection& c, const NetworkTarget& target);

}  // namespace quillon::host
