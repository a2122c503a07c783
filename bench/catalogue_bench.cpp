// The disc catalogue at full size: 1,048,576 documents, generated here into a temporary disc.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

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

// Lookups either all reaching SQLite (more distinct addresses, asked in turn, than the memory
// keeps) or all answered from the catalogue's memory (every answer kept for the whole run). The
// catalogue settles at once, as it has long before a proxy's first request.
enum Path : std::int64_t { kSqlite = 0, kRemembered = 1 };

struct Setup {
  viewer::CatalogueMemory memory;
  int keys;  // distinct lookups, asked in turn
};

Setup SetupFor(const benchmark::State& state) {
  Setup setup{{.settle = std::chrono::milliseconds(0)}, 0};
  if (state.range(0) == kRemembered) {
    setup.memory.trust = std::chrono::hours(24);
    setup.keys = 4096;
    setup.memory.limit = static_cast<std::size_t>(setup.keys);
  } else {
    setup.keys = static_cast<int>(setup.memory.limit) * 16;
  }
  return setup;
}

void PathArguments(benchmark::internal::Benchmark* b) {
  b->ArgName("remembered")->Arg(kSqlite)->Arg(kRemembered)->Unit(benchmark::kMicrosecond);
}

template <class Key, class Seek>
void SeekInTurn(benchmark::State& state, const std::vector<Key>& keys,
                const viewer::CatalogueMemory& memory, Seek seek) {
  viewer::DiscViewer viewer(FullDisc(), 3, memory);
  Catalogue& catalogue = *viewer.GetCatalogue();
  std::size_t i = 0;
  for (auto _ : state) {
    if (seek(catalogue, keys[i++ % keys.size()]) == 0) state.SkipWithError("not found");
    ReadRecord(catalogue);
  }
}

void BM_SeekUrlAndRead(benchmark::State& state) {
  const Setup setup = SetupFor(state);
  std::mt19937 random(7);
  std::vector<std::string> urls;
  for (int i = 0; i < setup.keys; ++i) {
    urls.push_back(UrlOf(static_cast<int>(random() % kDocuments)));
  }
  SeekInTurn(state, urls, setup.memory,
             [](Catalogue& c, const std::string& url) { return c.SeekUrl(url.c_str()); });
}
BENCHMARK(BM_SeekUrlAndRead)->Apply(PathArguments);

// An address asked with a cache-busting parameter the disc does not hold: a miss, then the
// address without it.
void BM_SeekBustedUrlAndRead(benchmark::State& state) {
  const Setup setup = SetupFor(state);
  std::mt19937 random(13);
  std::vector<std::string> urls;
  for (int i = 0; i < setup.keys; ++i) {
    urls.push_back(UrlOf(static_cast<int>(random() % kDocuments)) + "?_=" + std::to_string(i));
  }
  SeekInTurn(state, urls, setup.memory,
             [](Catalogue& c, const std::string& url) { return c.SeekUrl(url.c_str()); });
}
BENCHMARK(BM_SeekBustedUrlAndRead)->Apply(PathArguments);

void BM_SeekNumberAndRead(benchmark::State& state) {
  const Setup setup = SetupFor(state);
  std::mt19937 random(11);
  std::vector<DocumentNumber> numbers;
  for (int i = 0; i < setup.keys; ++i) {
    numbers.push_back(static_cast<DocumentNumber>(random() % kDocuments));
  }
  SeekInTurn(state, numbers, setup.memory,
             [](Catalogue& c, DocumentNumber number) { return c.SeekNumber(number); });
}
BENCHMARK(BM_SeekNumberAndRead)->Apply(PathArguments);

}  // namespace
