// The module's static objects. Built in this order at load and destroyed in reverse at unload,
// so the filter never outlives what it reads.
#include "filter/content_filter.h"

namespace quillon {
namespace {
ContentFilter theFilter;
}  // namespace
}  // namespace quillon
