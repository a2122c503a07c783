// The disc catalogue at full size: 1,048,576 documents, generated here into a temporary disc.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <string>

#include "disc.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon;

constexpr int kDocuments = 1 << 20;

std::string UrlOf(int n) {
  char url[96];
  std::snprintf(url, sizeof url, "http://site%d.example/section/%d/page-%d.html", n % 97, n / 1000,
                n);
  return url;
}

const fs::path& FullDisc() {
  static const fs::path disc = [] {
    fs::path path =
        fs::temp_directory_path() / ("quillon-bench-disc-" + std::to_string(::getpid()));
    fs::remove_all(path);
    fs::create_directories(path / "docs");
    viewer::Database db((path / viewer::kCatalogueFile).string(),
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.Execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;");
    db.Execute(("PRAGMA application_id = " + std::to_string(viewer::kDiscApplicationId)).c_str());
    db.Execute(viewer::kDiscSchema);
    db.Execute("INSERT INTO disc VALUES (1, 'benchmark', 0)");
    db.Execute("BEGIN");
    viewer::Statement insert(db,
                             "INSERT INTO documents VALUES (?1, ?2, 'htm', '', '', 0, 784111777)");
    for (int n = 0; n < kDocuments; ++n) {
      insert.Bind(1, n).Bind(2, UrlOf(n));
      insert.Step();
      insert.Reset();
    }
    db.Execute("COMMIT");
    db.Execute("PRAGMA journal_mode = WAL");  // as quillon-disc leaves a disc
    std::atexit([] {
      std::error_code ignored;
      fs::remove_all(
          fs::temp_directory_path() / ("quillon-bench-disc-" + std::to_string(::getpid())),
          ignored);
    });
    return path;
  }();
  return disc;
}

void ReadRecord(Catalogue& c) {
  benchmark::DoNotOptimize(c.GetNumber());
  benchmark::DoNotOptimize(c.GetUrl());
  benchmark::DoNotOptimize(c.GetContentType());
  benchmark::DoNotOptimize(c.GetExtension());
  benchmark::DoNotOptimize(c.GetRedirectUrl());
  benchmark::DoNotOptimize(c.GetStaleAfter());
  benchmark::DoNotOptimize(c.GetLastModified());
}

void BM_OpenDisc(benchmark::State& state) {
  const fs::path& disc = FullDisc();
  for (auto _ : state) {
    viewer::DiscViewer viewer(disc);
    benchmark::DoNotOptimize(viewer.GetCatalogue());
  }
}
BENCHMARK(BM_OpenDisc)->Unit(benchmark::kMillisecond);

void BM_SeekUrlAndRead(benchmark::State& state) {
  viewer::DiscViewer viewer(FullDisc());
  Catalogue& catalogue = *viewer.GetCatalogue();
  std::mt19937 random(7);
  std::vector<std::string> urls;
  for (int i = 0; i < 4096; ++i) urls.push_back(UrlOf(static_cast<int>(random() % kDocuments)));
  std::size_t i = 0;
  for (auto _ : state) {
    if (catalogue.SeekUrl(urls[i++ % urls.size()].c_str()) == 0) state.SkipWithError("not found");
    ReadRecord(catalogue);
  }
}
BENCHMARK(BM_SeekUrlAndRead)->Unit(benchmark::kMicrosecond);

// An address asked with a cache-busting parameter the disc does not hold: a miss, then the
// address without it.
void BM_SeekBustedUrlAndRead(benchmark::State& state) {
  viewer::DiscViewer viewer(FullDisc());
  Catalogue& catalogue = *viewer.GetCatalogue();
  std::mt19937 random(13);
  std::vector<std::string> urls;
  for (int i = 0; i < 4096; ++i) {
    urls.push_back(UrlOf(static_cast<int>(random() % kDocuments)) + "?_=" + std::to_string(i));
  }
  std::size_t i = 0;
  for (auto _ : state) {
    if (catalogue.SeekUrl(urls[i++ % urls.size()].c_str()) == 0) state.SkipWithError("not found");
    ReadRecord(catalogue);
  }
}
BENCHMARK(BM_SeekBustedUrlAndRead)->Unit(benchmark::kMicrosecond);

void BM_SeekNumberAndRead(benchmark::State& state) {
  viewer::DiscViewer viewer(FullDisc());
  Catalogue& catalogue = *viewer.GetCatalogue();
  std::mt19937 random(11);
  for (auto _ : state) {
    if (catalogue.SeekNumber(static_cast<DocumentNumber>(random() % kDocuments)) == 0) {
      state.SkipWithError("not found");
    }
    ReadRecord(catalogue);
  }
}
BENCHMARK(BM_SeekNumberAndRead)->Unit(benchmark::kMicrosecond);

}  // namespace
