#include "platform/desktop.h"

#include "common/constants.h"
#include "platform/replaceable.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: shellapi.h relies on its types.
#include <shellapi.h>
#else
#include <spawn.h>
#include <sys/wait.h>
#include <cerrno>

#include <thread>

#include "platform/viewer_window.h"

extern char** environ;
#endif

namespace quillon::platform {

namespace {

class NativeDesktop : public Desktop {
 public:
  void OpenWithDefaultAction(const std::string& path) override {
#if defined(_WIN32)
    ShellExecuteA(nullptr, nullptr, path.c_str(), nullptr, nullptr, kShowNormal);
#else
    // Started directly, not through a shell, so nothing in the name is interpreted.
    char program[] = "xdg-open";
    std::string argument = path;
    char* argv[] = {program, argument.data(), nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, program, nullptr, nullptr, argv, environ) != 0) return;
    // Reaped in the background: the request does not wait for the desktop.
    std::thread([child] {
      int status = 0;
      while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
      }
    }).detach();
#endif
  }

  void NotifyViewerWindow() override {
#if defined(_WIN32)
    HWND window = FindWindowA(kViewerWindowClass, nullptr);
    if (window != nullptr) PostMessageA(window, WM_COMMAND, kViewerCommandId, 0);
#else
    QuillonPostToWindow(kViewerWindowClass, kViewerCommandMessage, kViewerCommandId, 0);
#endif
  }
};

NativeDesktop nativeDesktop;
Replaceable<Desktop> current(nativeDesktop);

}  // namespace

Desktop& CurrentDesktop() { return current.Current(); }

Desktop* ReplaceDesktop(Desktop* replacement) { return current.Replace(replacement); }

}  // namespace quillon::platform
