// Stands in for the desktop while a test runs: records launches and posts to the viewer's window.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/desktop.h"

namespace quillon::testing {

class RecordingDesktop : public platform::Desktop {
 public:
  RecordingDesktop() : previous_(platform::ReplaceDesktop(this)) {}
  ~RecordingDesktop() override { platform::ReplaceDesktop(previous_); }
  RecordingDesktop(const RecordingDesktop&) = delete;
  RecordingDesktop& operator=(const RecordingDesktop&) = delete;

  bool hasViewerWindow = true;
  std::vector<std::string> launches;
  int windowPosts = 0;
  std::function<void()> onNotify;  // called at each post, to see what went out before it

  void OpenWithDefaultAction(const std::string& path) override { launches.push_back(path); }
  void NotifyViewerWindow() override {
    if (onNotify) onNotify();
    if (hasViewerWindow) ++windowPosts;
  }

 private:
  platform::Desktop* previous_;
};

}  // namespace quillon::testing
