// The network side of a request: forwarding it to the origin, 1xx, 101, and relaying the
// answer (reaching the origin is origin.h's).
#pragma once

#include "connection.h"
#include "origin.h"
#include "target.h"

namespace quillon::host {

// The network fetch of a request the filter passed on.
awaitable<Exchange> Fetch(NetworkServices& s, Connection& c, RequestParser& parser,
                          const NetworkTarget& target, bool keepAlive);

}  // namespace quillon::host
