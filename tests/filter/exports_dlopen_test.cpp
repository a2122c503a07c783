// Loads the built shared library the way a host does and checks what it exports.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "filter/isapi.h"

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

}  // namespace
