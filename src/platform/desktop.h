// The desktop calls the router makes: open a disc file with its default action, and tell the
// viewer's main window about a request.
#pragma once

#include <string>

namespace quillon::platform {

class Desktop {
 public:
  virtual ~Desktop() = default;
  // Opens the file with its default action; whether that works is not reported.
  virtual void OpenWithDefaultAction(const std::string& path) = 0;
  // Posts the viewer command to the top-level window of the viewer's class, when there is one.
  virtual void NotifyViewerWindow() = 0;
};

Desktop& CurrentDesktop();
// Puts `replacement` in place (null restores the platform's own) and returns the one before.
Desktop* ReplaceDesktop(Desktop* replacement);

}  // namespace quillon::platform
