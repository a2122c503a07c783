// The module's static objects. Built in this order at load and destroyed in reverse at unload,
// so the filter never outlives the link it reads.
#include "entry/content_filter.h"
#include "filter/viewer_link.h"

namespace quillon {

ViewerLink theViewerLink;

namespace {
ContentFilter theFilter;
}  // namespace

}  // namespace quillon
