// The deferred fallback: when a stale catalogued page is fetched from the network, the first
// block of the answer decides whether the disc copy (or a 304) replaces it.
#pragma once

#include <cstdint>
#include <string_view>

#include "filter/isapi.h"
#include "filter/server_filter.h"
#include "filter/viewer_link.h"

namespace quillon {

// A heap copy of the entry, owned by the connection's context slot while the server fetches.
struct PendingReply {
  CatalogueEntry entry;
};

// Arms the connection's slot with a copy of entry. A reply still in the slot is released first.
void StorePendingReply(FilterCall call, const CatalogueEntry& entry);

// The status of a block that starts "HTTP/<version> <number>", read no further than the block;
// 0 when it does not.
std::uint32_t ReadReplyStatus(std::string_view block);

// Send-raw-data: with an armed slot, a network answer of 304 or 400 and above is replaced by the
// disc copy or by "304 Not Modified". The slot is emptied on every path.
DWORD InspectServerReply(FilterCall call, HTTP_FILTER_RAW_DATA* rawData);

// End of the connection: releases a reply still in the slot.
DWORD DropPendingReply(FilterCall call);

}  // namespace quillon
