// Where no window system carries messages between the viewer and the filter, a viewer running in
// the same process registers its main window here under its class name, and the filter posts to
// it by that name. A tiny shared library of its own, so the filter library and the viewer's
// program reach the same registry.
#pragma once

#include <cstdint>

#if defined(_WIN32)
#define QUILLON_WINDOW_API
#else
#define QUILLON_WINDOW_API __attribute__((visibility("default")))
#endif

extern "C" {

// Receives a posted message; runs on the poster's thread and must return promptly.
typedef void (*QuillonWindowProc)(void* user, std::uint32_t message, std::uintptr_t wParam,
                                  std::intptr_t lParam);

// Registers (or replaces) the window of a class. Returns 1.
QUILLON_WINDOW_API int QuillonRegisterWindow(const char* className, QuillonWindowProc proc,
                                             void* user);
// Removes the window of a class; once it returns, its procedure is no longer running or called.
QUILLON_WINDOW_API void QuillonUnregisterWindow(const char* className);
// Delivers a message to the window of a class. Returns 1 when there was one, 0 otherwise.
QUILLON_WINDOW_API int QuillonPostToWindow(const char* className, std::uint32_t message,
                                           std::uintptr_t wParam, std::intptr_t lParam);
}
