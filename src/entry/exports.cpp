// The exports stay thin: read the current filter once, hand over, and never let an exception
// reach the server.
#include "entry/exports.h"

#include "common/constants.h"
#include "filter/server_filter.h"
#include "filter/viewer_link.h"

extern "C" {

BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  quillon::ServerFilter* filter = quillon::CurrentFilter();
  if (filter == nullptr) return FALSE;
  try {
    return filter->Register(version);
  } catch (...) {
    return FALSE;
  }
}

DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notificationType,
                            void* notification) {
  quillon::ServerFilter* filter = quillon::CurrentFilter();
  if (filter == nullptr) return quillon::kStatusNextNotification;
  try {
    return filter->Dispatch(context, notificationType, notification);
  } catch (...) {
    return quillon::kStatusNextNotification;
  }
}

quillon::ViewerServices* WINAPI QuillonSupportProc(std::uint32_t code,
                                                   quillon::ViewerServices* viewer) {
  try {
    return quillon::theViewerLink.Accept(code, viewer);
  } catch (...) {
    return nullptr;
  }
}

}  // extern "C"
