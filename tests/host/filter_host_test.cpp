// The host delivers a notification only where the filter's registration asks for it: the kind
// of port (plain, or secure for the requests of an intercepted https:// tunnel) and the event.
#include "filter_host.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

namespace quillon::host {
namespace {

TEST(FilterHost, DeliversOnlyWhereThePortFlagsAllow) {
  const struct {
    const char* library;  // registered for pre-processed headers on these ports
    bool secure;          // the connection's kind of port
    int calls;            // pre-processed headers, then a block passed to send-raw-data
  } rows[] = {
      {QUILLON_PROBE_PLAIN, false, 1},  {QUILLON_PROBE_PLAIN, true, 0},
      {QUILLON_PROBE_SECURE, false, 0}, {QUILLON_PROBE_SECURE, true, 1},
      {QUILLON_PROBE_BOTH, false, 2},   {QUILLON_PROBE_BOTH, true, 2},
  };
  for (const auto& row : rows) {
    auto library = FilterLibrary::Load(row.library);
    void* handle = dlopen(row.library, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(handle, nullptr);
    auto* counter = reinterpret_cast<int* (*)()>(dlsym(handle, "ProbeCalls"))();
    dlclose(handle);
    const int before = *counter;
    {
      FilterSession session(
          *library, [](std::string_view, std::string_view) { return true; }, row.secure);
      RequestHead head;
      session.StartRequest(&head, false);
      session.PreprocHeaders();
      session.PassBlock("HTTP/1.1 200 OK\r\n\r\n");
      session.StartRequest(nullptr, false);
    }
    // The end of the session is not among what these libraries registered for.
    EXPECT_EQ(*counter - before, row.calls) << row.library << " secure " << row.secure;
  }
}

}  // namespace
}  // namespace quillon::host
