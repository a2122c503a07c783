#include "platform/viewer_window.h"

#include <map>
#include <mutex>
#include <string>

namespace {

struct Window {
  QuillonWindowProc proc;
  void* user;
};

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<std::string, Window>& Registry() {
  static std::map<std::string, Window> windows;
  return windows;
}

}  // namespace

extern "C" {

int QuillonRegisterWindow(const char* className, QuillonWindowProc proc, void* user) {
  std::lock_guard lock(RegistryMutex());
  Registry()[className != nullptr ? className : ""] = Window{proc, user};
  return 1;
}

void QuillonUnregisterWindow(const char* className) {
  std::lock_guard lock(RegistryMutex());
  Registry().erase(className != nullptr ? className : "");
}

int QuillonPostToWindow(const char* className, std::uint32_t message, std::uintptr_t wParam,
                        std::intptr_t lParam) {
  // Held while the procedure runs, so a window is never called after it was unregistered.
  std::lock_guard lock(RegistryMutex());
  auto it = Registry().find(className != nullptr ? className : "");
  if (it == Registry().end() || it->second.proc == nullptr) return 0;
  it->second.proc(it->second.user, message, wParam, lParam);
  return 1;
}
}
