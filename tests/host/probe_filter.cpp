// A filter library for the host's tests: it registers the flags its build names and counts the
// notifications it is given.
#include <cstring>

#include "filter/isapi.h"

extern "C" {

int probeCalls = 0;  // read by the test through dlsym

__attribute__((visibility("default"))) BOOL WINAPI GetFilterVersion(HTTP_FILTER_VERSION* version) {
  version->dwFilterVersion = 0x00020001;
  version->dwFlags = PROBE_FLAGS;
  std::strcpy(version->lpszFilterDesc, "probe");
  return TRUE;
}

__attribute__((visibility("default"))) DWORD WINAPI HttpFilterProc(HTTP_FILTER_CONTEXT*, DWORD,
                                                                   void*) {
  ++probeCalls;
  return SF_STATUS_REQ_NEXT_NOTIFICATION;
}

__attribute__((visibility("default"))) int* ProbeCalls() { return &probeCalls; }
}
