#include "platform/resources.h"

#include <cstring>

#include "common/resource_ids.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace quillon::platform {

#if defined(_WIN32)

namespace {
// The module that holds this code, so strings come from the filter, not from the host program.
HMODULE OwnModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCSTR>(&OwnModule), &module);
  return module;
}
}  // namespace

std::size_t LoadStringResource(unsigned id, char* buffer, std::size_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  int copied = LoadStringA(OwnModule(), id, buffer, static_cast<int>(size));
  return copied > 0 ? static_cast<std::size_t>(copied) : 0;
}

#else

namespace {
struct StringResource {
  unsigned id;
  const char* text;
};
constexpr StringResource kStringTable[] = {
    {IDS_FILTER_DESCRIPTION, QUILLON_FILTER_DESCRIPTION_TEXT},
};
}  // namespace

std::size_t LoadStringResource(unsigned id, char* buffer, std::size_t size) {
  if (size == 0) return 0;
  buffer[0] = '\0';
  for (const StringResource& entry : kStringTable) {
    if (entry.id != id) continue;
    std::size_t length = std::strlen(entry.text);
    if (length > size - 1) length = size - 1;
    std::memcpy(buffer, entry.text, length);
    buffer[length] = '\0';
    return length;
  }
  return 0;
}

#endif

}  // namespace quillon::platform
