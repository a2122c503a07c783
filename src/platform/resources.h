// The module's string resources. On Windows the real resource table of the filter module; elsewhere
// a stand-in table with the same lookup, so callers run one code path everywhere.
#pragma once

#include <cstddef>

namespace quillon::platform {

// Copies string `id` into buffer, cut to size - 1 characters and always NUL-terminated (size > 0).
// Returns the number of characters copied; 0 and an empty buffer when there is no such string.
std::size_t LoadStringResource(unsigned id, char* buffer, std::size_t size);

}  // namespace quillon::platform
