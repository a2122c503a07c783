// Fitting the proxy's connections into the process's descriptor limit.
#pragma once

#include "proxy_options.h"

namespace quillon::host {

// Raises the soft descriptor limit to the hard one and lowers --max-connections and the kept
// origin connections (at most an eighth of what is left) to what it allows, said on stderr.
void FitDescriptors(ProxyOptions& options);

}  // namespace quillon::host
