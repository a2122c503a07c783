#include "platform/viewer_window.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/constants.h"
#include "platform/desktop.h"

namespace quillon {
namespace {

struct Received {
  std::uint32_t message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
};

void Record(void* user, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  static_cast<std::vector<Received>*>(user)->push_back({message, wParam, lParam});
}

TEST(ViewerWindow, TheFiltersCommandReachesARegisteredViewerOnly) {
  std::vector<Received> received;
  platform::CurrentDesktop().NotifyViewerWindow();  // no window yet: nothing happens
  QuillonRegisterWindow("Other_Window", &Record, &received);
  platform::CurrentDesktop().NotifyViewerWindow();
  EXPECT_TRUE(received.empty());

  QuillonRegisterWindow("Quillon_Viewer", &Record, &received);
  platform::CurrentDesktop().NotifyViewerWindow();
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0].message, 0x0111u);  // WM_COMMAND
  EXPECT_EQ(received[0].wParam, 57664u);
  EXPECT_EQ(received[0].lParam, 0);

  QuillonUnregisterWindow("Quillon_Viewer");
  QuillonUnregisterWindow("Other_Window");
  EXPECT_EQ(QuillonPostToWindow("Quillon_Viewer", 1, 2, 3), 0);
  EXPECT_EQ(received.size(), 1u);
}

}  // namespace
}  // namespace quillon
