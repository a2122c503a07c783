// The library's exports, with C linkage and undecorated names. A host finds them by name.
#pragma once

#include <cstdint>

#include "filter/isapi.h"

namespace quillon {
class ViewerServices;
}

#if defined(_WIN32)
#define QUILLON_EXPORT
#else
#define QUILLON_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
QUILLON_EXPORT BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version);
QUILLON_EXPORT DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT* context, DWORD notificationType,
                                           void* notification);
// The viewer hands over its services with code 1 (low 16 bits); returns viewer when accepted.
QUILLON_EXPORT quillon::ViewerServices* WINAPI QuillonSupportProc(std::uint32_t code,
                                                                  quillon::ViewerServices* viewer);
}
