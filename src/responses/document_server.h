// Serving files from the disc: a header block with type and length, then the bytes in blocks.
#pragma once

#include <string>
#include <string_view>

#include "filter/server_filter.h"
#include "filter/viewer_link.h"

namespace quillon {

// The content type of an extension given without its dot: "application/octet-stream" when
// empty, the table's type (ASCII case ignored), or "" when the table has none.
std::string_view ExtensionContentType(std::string_view extension);

// The stored content type when there is one, else the extension's.
std::string_view EntryContentType(const CatalogueEntry& entry);

// Disc root + "docs\" + lumFFFFF/lumNNNNN + "." + extension.
std::string CatalogueEntryPath(const CatalogueEntry& entry);

// True when the whole file went out. A file that cannot be opened gets the 404 reply, a content
// type holding a control character the 500 reply.
bool StreamFile(FilterCall call, const std::string& path, std::string_view contentType);
bool ServeCatalogueEntry(FilterCall call, const CatalogueEntry& entry);

// The 404 reply of a disc file that cannot be opened.
void SendNotFound(FilterCall call);

}  // namespace quillon
