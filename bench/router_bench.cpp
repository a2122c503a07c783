// RouteRequest on three paths, through the exported HttpFilterProc: an uncatalogued address
// passed on, a catalogued page served from a small disc file, a stale page armed for the fallback.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/fake_viewer.h"
#include "support/recording_server.h"

namespace {

namespace fs = std::filesystem;

struct Disc {
  Disc() {
    root = fs::temp_directory_path() / ("quillon-bench-" + std::to_string(::getpid()));
    fs::create_directories(root / "docs" / "lum00000");
    std::ofstream(root / "docs" / "lum00000" / "lum00001.htm") << std::string(4096, 'x');
    viewer.rootPath = root.string() + "/";
    viewer.mode = 3;
    viewer.catalogue.rows.push_back(
        {1, "http://site.example/page.htm", "htm", "", std::string(), 0, 0});
    viewer.catalogue.rows.push_back(
        {2, "http://site.example/stale.htm", "htm", "", std::string(), 1000, 784111777});
    viewer.Link();
  }
  ~Disc() { fs::remove_all(root); }
  fs::path root;
  quillon::testing::FakeViewer viewer;
};

void Route(benchmark::State& state, const char* url) {
  Disc disc;
  quillon::testing::RecordingServer server;
  server.request["url"] = url;
  server.request["User-Agent:"] = "Mozilla/5.0 (X11; Linux x86_64)";
  for (auto _ : state) {
    benchmark::DoNotOptimize(server.PreprocHeaders());
    // The fake server keeps what it was sent; discard it so each request starts alike.
    server.responses.clear();
    server.writes.clear();
    server.headerReads.clear();
    server.headerChanges.clear();
    server.request["url"] = url;
    server.request.erase("If-Modified-Since:");
    server.EndOfNetSession();
  }
}

BENCHMARK_CAPTURE(Route, uncatalogued_passed_on, "http://elsewhere.example/a/b.htm");
BENCHMARK_CAPTURE(Route, catalogued_served_from_disc, "http://site.example/page.htm");
BENCHMARK_CAPTURE(Route, stale_armed_for_fallback, "http://site.example/stale.htm");

}  // namespace
