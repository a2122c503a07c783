#include "platform/desktop.h"

#include "common/constants.h"
#include "platform/replaceable.h"

#if defined(_WIN32)
#include <windows.h>
// windows.h first: shellapi.h relies on its types.
#include <shellapi.h>
#else
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "platform/viewer_window.h"

extern char** environ;
#endif

namespace quillon::platform {

namespace {

#if !defined(_WIN32)
// Every place PATH names for the launcher, in order, worked out before forking: between fork and
// exec only async-signal-safe calls are allowed, and the host has other threads.
std::vector<std::string> LauncherCandidates() {
  const char* searchPath = std::getenv("PATH");
  std::string_view rest =
      searchPath != nullptr && *searchPath != '\0' ? searchPath : "/usr/bin:/bin";
  std::vector<std::string> candidates;
  for (;;) {
    const std::size_t colon = rest.find(':');
    std::string_view folder = rest.substr(0, colon);
    candidates.push_back(std::string(folder.empty() ? "." : folder) + "/" + kDesktopLauncher);
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return candidates;
}

// Starts the launcher with the path as its one argument, not through a shell, so nothing in the
// name is interpreted. The launcher is a grandchild: the child that starts it exits at once and is
// reaped here, so the host is left no child to reap and no code of this library waits for the
// launch. A waiting thread would return into unmapped code once the host unloads the library.
void LaunchDetached(const std::string& path) {
  const std::vector<std::string> candidates = LauncherCandidates();
  std::vector<const char*> programs;
  for (const std::string& candidate : candidates) programs.push_back(candidate.c_str());
  std::string program = kDesktopLauncher;
  std::string argument = path;
  char* argv[] = {program.data(), argument.data(), nullptr};

  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    if (fork() == 0) {
      // The launcher keeps only the standard streams, none of the host's connections.
      closefrom(STDERR_FILENO + 1);
      for (const char* candidate : programs) execve(candidate, argv, environ);
      _exit(127);
    }
    _exit(0);
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
}
#endif

class NativeDesktop : public Desktop {
 public:
  void OpenWithDefaultAction(const std::string& path) override {
#if defined(_WIN32)
    ShellExecuteA(nullptr, nullptr, path.c_str(), nullptr, nullptr, kShowNormal);
#else
    LaunchDetached(path);
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
