// The process's descriptor limit, and the connections that fit within it.
#include "descriptors.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>

namespace quillon::host {

namespace {

// Descriptors the proxy needs besides its connections: standard streams, the event loop, the
// listening socket, the catalogue, the filter's disc files; 16 of those are the files the filter
// keeps open between requests.
constexpr rlim_t kReservedDescriptors = 48;
// Each connection may hold two: the browser's and the origin's (or the filter's disc file).
constexpr rlim_t kDescriptorsPerConnection = 2;

}  // namespace

// Raises the soft descriptor limit to the hard one and fits the connections and the kept origin
// connections (at most an eighth of what is left) within it.
void FitDescriptors(ProxyOptions& options) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return;
  const std::size_t left = limit.rlim_cur > kReservedDescriptors + kDescriptorsPerConnection
                               ? static_cast<std::size_t>(limit.rlim_cur - kReservedDescriptors)
                               : kDescriptorsPerConnection;
  options.keptOrigins = std::min(options.keptOrigins, left / 8);
  const std::size_t allowed =
      std::max<std::size_t>(1, (left - options.keptOrigins) / kDescriptorsPerConnection);
  if (options.maxConnections > allowed) {
    std::fprintf(stderr,
                 "quillon-proxy: the descriptor limit allows %zu connections; serving at most "
                 "that many\n",
                 allowed);
    options.maxConnections = allowed;
  }
}

}  // namespace quillon::host
