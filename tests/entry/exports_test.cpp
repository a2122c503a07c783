// Loads the built library the way a host does (dlopen, or LoadLibraryA under Windows) and drives
// it through its exports alone.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "common/constants.h"
#include "filter/isapi.h"
#include "support/library_host.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <sys/wait.h>

#include <cerrno>
#endif

#ifndef QUILLON_FILTER_PATH
#error "QUILLON_FILTER_PATH must name the built filter library"
#endif

namespace {

namespace fs = std::filesystem;
using quillon::testing::MinimalServer;
using quillon::testing::OnePageViewer;

#if defined(_WIN32)
// Copied beside the test program, which is where Windows looks first.
void* OpenLibrary() { return LoadLibraryA("quillon_filter.dll"); }
void* Symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}
void CloseLibrary(void* library) { FreeLibrary(static_cast<HMODULE>(library)); }
#else
void* OpenLibrary() { return dlopen(QUILLON_FILTER_PATH, RTLD_NOW | RTLD_LOCAL); }
void* Symbol(void* library, const char* name) { return dlsym(library, name); }
void CloseLibrary(void* library) { dlclose(library); }
#endif

using SupportProcFn = quillon::ViewerServices*(WINAPI*)(std::uint32_t, quillon::ViewerServices*);

struct Exports {
  void* library = OpenLibrary();
  GetFilterVersionFn getFilterVersion =
      reinterpret_cast<GetFilterVersionFn>(Symbol(library, "GetFilterVersion"));
  HttpFilterProcFn httpFilterProc =
      reinterpret_cast<HttpFilterProcFn>(Symbol(library, "HttpFilterProc"));
  SupportProcFn supportProc =
      reinterpret_cast<SupportProcFn>(Symbol(library, "QuillonSupportProc"));
  bool Complete() const {
    return library != nullptr && getFilterVersion != nullptr && httpFilterProc != nullptr &&
           supportProc != nullptr;
  }
};

// A disc in a fresh temporary folder holding the one page's copy.
struct TemporaryDisc {
  fs::path dir =
      fs::temp_directory_path() / ("quillon-disc-" + std::to_string(std::random_device{}()));
  TemporaryDisc() {
    fs::create_directories(dir / "disc" / "docs" / "lum00012");
    std::ofstream(dir / "disc" / "docs" / "lum00012" / "lum01234.htm") << "page";
  }
  ~TemporaryDisc() {
    std::error_code ignored;
    fs::remove_all(dir, ignored);
  }
  // The root as a viewer hands it over: ending in the platform's separator.
  std::string Root() const {
    return (dir / "disc").string() + static_cast<char>(fs::path::preferred_separator);
  }
};

TEST(SharedLibrary, LoadsAndRegistersThroughItsExports) {
  Exports exports;
  ASSERT_TRUE(exports.Complete());
  HTTP_FILTER_VERSION version{};
  ASSERT_EQ(exports.getFilterVersion(&version), 1);
  EXPECT_EQ(version.dwFlags, 0x0002D503u);
  EXPECT_EQ(version.dwFilterVersion, 0x00020001u);
  // Under Windows string resource 101 of the library's own module.
  EXPECT_STREQ(version.lpszFilterDesc, "Tarnwell Quillon Content Filter");
  HTTP_FILTER_CONTEXT context{};
  EXPECT_EQ(exports.httpFilterProc(&context, SF_NOTIFY_URL_MAP, nullptr), 0x08000002u);
  CloseLibrary(exports.library);
}

TEST(SharedLibrary, ServesACataloguedPageFromTheDisc) {
  TemporaryDisc disc;
  Exports exports;
  ASSERT_TRUE(exports.Complete());
  OnePageViewer viewer(disc.Root());
  ASSERT_EQ(exports.supportProc(1, &viewer), &viewer);
  MinimalServer server;
  server.request["url"] = OnePageViewer::kUrl;
  EXPECT_EQ(exports.httpFilterProc(&server.context, SF_NOTIFY_PREPROC_HEADERS, &server.headers),
            0x08000000u);
  EXPECT_EQ(server.statuses, std::vector<std::string>{""});
  EXPECT_EQ(server.headerBlocks,
            std::vector<std::string>{"Content-Type: text/html\r\nContent-Length: 4\r\n"});
  EXPECT_EQ(server.body, "page");
  CloseLibrary(exports.library);
}

#if !defined(_WIN32)

TEST(SharedLibrary, ExportsExactlyTheEntryPoints) {
  std::string command = "nm -D --defined-only " QUILLON_FILTER_PATH;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    char type = 0;
    char name[400] = {};
    if (std::sscanf(line, "%*s %c %399s", &type, name) == 2 && (type == 'T' || type == 'W')) {
      exported.insert(name);
    }
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(exported,
            (std::set<std::string>{"GetFilterVersion", "HttpFilterProc", "QuillonSupportProc"}));
}

// A host may unload the filter while a launched program still runs: nothing of the library may
// be left waiting for it. The launcher here takes two seconds and notes the file it was given.
TEST(SharedLibrary, UnloadsWhileALaunchIsStillRunning) {
  TemporaryDisc disc;
  fs::create_directories(disc.dir / "bin");
  const fs::path launcher = disc.dir / "bin" / "xdg-open";
  std::ofstream(launcher) << "#!/bin/sh\n[ -f \"$1\" ] && echo \"$1\" > '"
                          << (disc.dir / "opened").string() << "'\nsleep 2\necho done > '"
                          << (disc.dir / "finished").string() << "'\n";
  fs::permissions(launcher, fs::perms::owner_all);
  const std::string oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", ((disc.dir / "bin").string() + ":" + oldPath).c_str(), 1);

  Exports exports;
  ASSERT_TRUE(exports.Complete());
  OnePageViewer viewer(disc.Root());
  ASSERT_EQ(exports.supportProc(1, &viewer), &viewer);
  MinimalServer server;
  server.request["url"] = std::string(quillon::kDirectPrefix) + OnePageViewer::kUrl;
  EXPECT_EQ(exports.httpFilterProc(&server.context, SF_NOTIFY_PREPROC_HEADERS, &server.headers),
            0x08000000u);
  EXPECT_EQ(server.statuses, std::vector<std::string>{"204 No Content"});
  CloseLibrary(exports.library);
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_EQ(dlopen(QUILLON_FILTER_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "the library stayed loaded, so this proves nothing";

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(disc.dir / "finished") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Time for anything that waited on the launcher to run into the unloaded code.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(disc.dir / "finished"));
  std::string opened;
  std::getline(std::ifstream(disc.dir / "opened"), opened);
  EXPECT_EQ(opened, (disc.dir / "disc" / "docs" / "lum00012" / "lum01234.htm").string());
  // And no child of the host is left behind for it to reap.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

#endif

}  // namespace
