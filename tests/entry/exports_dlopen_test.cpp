// Loads the built shared library the way a host does and checks what it exports.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "common/constants.h"
#include "filter/isapi.h"
#include "filter/viewer_link.h"

#ifndef QUILLON_FILTER_PATH
#error "QUILLON_FILTER_PATH must name the built filter library"
#endif

namespace {

TEST(SharedLibrary, LoadsAndRegistersThroughItsExports) {
  void* library = dlopen(QUILLON_FILTER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto getFilterVersion = reinterpret_cast<GetFilterVersionFn>(dlsym(library, "GetFilterVersion"));
  auto httpFilterProc = reinterpret_cast<HttpFilterProcFn>(dlsym(library, "HttpFilterProc"));
  ASSERT_NE(getFilterVersion, nullptr);
  ASSERT_NE(httpFilterProc, nullptr);
  EXPECT_NE(dlsym(library, "QuillonSupportProc"), nullptr);

  HTTP_FILTER_VERSION version{};
  ASSERT_EQ(getFilterVersion(&version), 1);
  EXPECT_EQ(version.dwFlags, 0x0002D503u);
  EXPECT_STREQ(version.lpszFilterDesc, "Tarnwell Quillon Content Filter");
  HTTP_FILTER_CONTEXT context{};
  EXPECT_EQ(httpFilterProc(&context, SF_NOTIFY_URL_MAP, nullptr), 0x08000002u);
  dlclose(library);
}

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

namespace fs = std::filesystem;

// A viewer whose catalogue holds one page, handed over through the library's own export.
class OnePageViewer : public quillon::ViewerServices,
                      public quillon::CatalogueSource,
                      public quillon::Catalogue {
 public:
  explicit OnePageViewer(std::string root) : root_(std::move(root)) {}
  const char* GetRootPath() override { return root_.c_str(); }
  quillon::CatalogueSource* GetCatalogueSource() override { return this; }
  std::int32_t GetMode() override { return 0; }
  quillon::Catalogue* GetCatalogue() override { return this; }
  quillon::DocumentNumber GetNumber() override { return 0x1234; }
  const char* GetUrl() override { return "http://site.example/page.htm"; }
  const char* GetExtension() override { return "htm"; }
  const char* GetContentType() override { return ""; }
  quillon::HttpTime GetStaleAfter() override { return 0; }
  quillon::HttpTime GetLastModified() override { return 0; }
  const char* GetRedirectUrl() override { return ""; }
  int SeekNumber(quillon::DocumentNumber number) override { return number == 0x1234; }
  int SeekUrl(const char* address) override { return std::strcmp(address, GetUrl()) == 0; }

 private:
  std::string root_;
};

// The least of a server: request headers from a map, response statuses recorded.
struct MinimalServer {
  std::map<std::string, std::string> request;
  std::vector<std::string> statuses;
  HTTP_FILTER_CONTEXT context{};
  HTTP_FILTER_PREPROC_HEADERS headers{};

  MinimalServer() {
    context.ServerContext = this;
    context.ServerSupportFunction = [](HTTP_FILTER_CONTEXT* pfc, SF_REQ_TYPE, PVOID status,
                                       ULONG_PTR, ULONG_PTR) -> BOOL {
      static_cast<MinimalServer*>(pfc->ServerContext)
          ->statuses.emplace_back(status != nullptr ? static_cast<const char*>(status) : "");
      return TRUE;
    };
    context.WriteClient = [](HTTP_FILTER_CONTEXT*, LPVOID, LPDWORD, DWORD) -> BOOL { return TRUE; };
    headers.GetHeader = [](HTTP_FILTER_CONTEXT* pfc, LPSTR name, LPVOID buffer,
                           LPDWORD size) -> BOOL {
      auto& request = static_cast<MinimalServer*>(pfc->ServerContext)->request;
      auto it = request.find(name);
      if (it == request.end() || it->second.size() + 1 > *size) return FALSE;
      std::memcpy(buffer, it->second.c_str(), it->second.size() + 1);
      return TRUE;
    };
  }
};

// A host may unload the filter while a launched program still runs: nothing of the library may
// be left waiting for it. The launcher here takes two seconds and notes the file it was given.
TEST(SharedLibrary, UnloadsWhileALaunchIsStillRunning) {
  const fs::path dir =
      fs::temp_directory_path() / ("quillon-launch-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir / "bin");
  fs::create_directories(dir / "disc" / "docs" / "lum00012");
  std::ofstream(dir / "disc" / "docs" / "lum00012" / "lum01234.htm") << "page";
  const fs::path launcher = dir / "bin" / "xdg-open";
  std::ofstream(launcher) << "#!/bin/sh\n[ -f \"$1\" ] && echo \"$1\" > '"
                          << (dir / "opened").string() << "'\nsleep 2\necho done > '"
                          << (dir / "finished").string() << "'\n";
  fs::permissions(launcher, fs::perms::owner_all);
  const std::string oldPath = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
  setenv("PATH", ((dir / "bin").string() + ":" + oldPath).c_str(), 1);

  void* library = dlopen(QUILLON_FILTER_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  using SupportProc = quillon::ViewerServices* (*)(std::uint32_t, quillon::ViewerServices*);
  auto support = reinterpret_cast<SupportProc>(dlsym(library, "QuillonSupportProc"));
  auto httpFilterProc = reinterpret_cast<HttpFilterProcFn>(dlsym(library, "HttpFilterProc"));
  ASSERT_NE(support, nullptr);
  ASSERT_NE(httpFilterProc, nullptr);
  OnePageViewer viewer((dir / "disc").string() + "/");
  ASSERT_EQ(support(1, &viewer), &viewer);
  MinimalServer server;
  server.request["url"] = std::string(quillon::kDirectPrefix) + "http://site.example/page.htm";
  EXPECT_EQ(httpFilterProc(&server.context, SF_NOTIFY_PREPROC_HEADERS, &server.headers),
            0x08000000u);
  EXPECT_EQ(server.statuses, std::vector<std::string>{"204 No Content"});
  dlclose(library);
  setenv("PATH", oldPath.c_str(), 1);
  ASSERT_EQ(dlopen(QUILLON_FILTER_PATH, RTLD_NOW | RTLD_NOLOAD), nullptr)
      << "the library stayed loaded, so this proves nothing";

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!fs::exists(dir / "finished") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  // Time for anything that waited on the launcher to run into the unloaded code.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_TRUE(fs::exists(dir / "finished"));
  std::string opened;
  std::getline(std::ifstream(dir / "opened"), opened);
  EXPECT_EQ(opened, (dir / "disc" / "docs" / "lum00012" / "lum01234.htm").string());
  // And no child of the host is left behind for it to reap.
  errno = 0;
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
  fs::remove_all(dir);
}

}  // namespace
