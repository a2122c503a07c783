// The desktop calls of the Windows platform layer, for real: the options route posts its command
// to a window of the viewer's class, and a launch runs a file's default action.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>

#include "common/constants.h"
#include "platform/desktop.h"
#include "support/recording_server.h"

namespace quillon {
namespace {

namespace fs = std::filesystem;

struct Commands {
  int viewer = 0;  // WM_COMMAND 57664 with lParam 0
  int other = 0;   // anything else a window was sent
};
Commands commands;

LRESULT CALLBACK CountingWindow(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_COMMAND) {
    const bool viewerCommand =
        GetWindowLongPtrA(window, GWLP_USERDATA) == 1 && wParam == 57664 && lParam == 0;
    ++(viewerCommand ? commands.viewer : commands.other);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWindow(const char* className, LONG_PTR isViewer) {
  WNDCLASSA windowClass{};
  windowClass.lpfnWndProc = &CountingWindow;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = className;
  RegisterClassA(&windowClass);
  HWND window = CreateWindowExA(0, className, "", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                nullptr, GetModuleHandleA(nullptr), nullptr);
  if (window != nullptr) SetWindowLongPtrA(window, GWLP_USERDATA, isViewer);
  return window;
}

void PumpMessages() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  MSG message;
  while (std::chrono::steady_clock::now() < until) {
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

TEST(WindowsDesktop, TheOptionsRouteTellsTheViewersWindowOnce) {
  commands = {};
  platform::CurrentDesktop().NotifyViewerWindow();  // no window of the viewer's class yet
  HWND other = MakeWindow("Other_Window", 0);
  HWND viewer = MakeWindow(kViewerWindowClass, 1);
  ASSERT_NE(other, nullptr);
  ASSERT_NE(viewer, nullptr);

  testing::RecordingServer server;
  server.request["url"] = kOptionsPrefix;
  EXPECT_EQ(server.PreprocHeaders(), kStatusFinished);
  EXPECT_EQ(server.responses.size(), 1u);
  PumpMessages();
  EXPECT_EQ(commands.viewer, 1);
  EXPECT_EQ(commands.other, 0);
  DestroyWindow(viewer);
  DestroyWindow(other);
}

TEST(WindowsDesktop, ALaunchRunsTheFilesDefaultAction) {
  const fs::path dir =
      fs::temp_directory_path() / ("quillon-launch-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir / "program");
  const fs::path marker = dir / "launched.txt";
  std::ofstream(dir / "program" / "probe.bat")
      << "@echo launched>\"" << marker.string() << "\"\r\n";

  // Backslashes throughout, as a disc root on Windows has them.
  platform::CurrentDesktop().OpenWithDefaultAction(dir.string() + "\\program\\probe.bat");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!fs::exists(marker) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(fs::exists(marker));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the batch file let go
  std::error_code ignored;
  fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace quillon
