// Full-text search on a 1,000,000-page disc: one page of 20 results, ranked, with snippets, and
// the count of all matches; and the disc's opening. The catalogue is generated once into the
// temporary folder and kept there for later runs (quillon-search-bench-PAGESxWORDS; remove it to
// make it anew).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "disc.h"
#include "search.h"

namespace {

namespace fs = std::filesystem;
using namespace quillon;

constexpr int kPages = 1000000;
constexpr int kWordsPerPage = 60;  // a small page's text
constexpr int kVocabulary = 20000;

// Words of a made-up language, used with a Zipf-like skew as natural text is.
std::string WordOf(int n) {
  static const char* const kSyllables[] = {"ka", "lo", "mi",  "ren", "tu",  "sa", "ve",  "dor",
                                           "ni", "pe", "qua", "zo",  "bel", "fi", "gan", "hu"};
  std::string word;
  do {
    word += kSyllables[n % 16];
    n /= 16;
  } while (n > 0);
  return word;
}

struct Disc {
  fs::path path;
  std::unique_ptr<viewer::Database> db;
};

fs::path DiscPath() {
  return fs::temp_directory_path() /
         ("quillon-search-bench-" + std::to_string(kPages) + "x" + std::to_string(kWordsPerPage));
}

// Made under another name and renamed when whole, so an interrupted run leaves none half made.
void MakeDisc(const fs::path& path) {
  const fs::path making = path.string() + ".making-" + std::to_string(::getpid());
  fs::remove_all(making);
  fs::create_directories(making / "docs");
  {
    viewer::Database db((making / viewer::kCatalogueFile).string(),
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    db.Execute("PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;");
    db.Execute(("PRAGMA application_id = " + std::to_string(viewer::kDiscApplicationId)).c_str());
    db.Execute(viewer::kDiscSchema);
    db.Execute("INSERT INTO disc VALUES (1, 'benchmark', 0)");
    viewer::CreateSearchTable(db);
    db.Execute("BEGIN");
    viewer::Statement document(
        db, "INSERT INTO documents VALUES (?1, ?2, 'htm', '', '', 0, 784111777)");
    viewer::Statement page(db, "INSERT INTO search (rowid, title, body) VALUES (?1, ?2, ?3)");
    std::mt19937 random(42);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    auto word = [&] {
      // Zipf-like: rank r drawn with probability about 1/r.
      const int rank = static_cast<int>(std::exp(uniform(random) * std::log(kVocabulary)));
      return WordOf(rank - 1);
    };
    for (int n = 0; n < kPages; ++n) {
      document.Bind(1, n).Bind(
          2, "http://site" + std::to_string(n % 50) + ".example/p" + std::to_string(n) + ".html");
      document.Step();
      document.Reset();
      std::string title = word() + " " + word() + " " + word();
      std::string body;
      for (int w = 0; w < kWordsPerPage; ++w) body += word() + (w % 12 == 11 ? ". " : " ");
      page.Bind(1, n).Bind(2, title).Bind(3, body);
      page.Step();
      page.Reset();
    }
    db.Execute("COMMIT");
    db.Execute("INSERT INTO search (search) VALUES ('optimize')");
    db.Execute("PRAGMA journal_mode = WAL");  // as quillon-disc leaves a disc
  }
  fs::rename(making, path);
}

Disc& SearchDisc() {
  static Disc disc = [] {
    Disc made;
    made.path = DiscPath();
    if (!fs::exists(made.path / viewer::kCatalogueFile)) MakeDisc(made.path);
    made.db = viewer::OpenCatalogue(made.path, false,
                                    viewer::CatalogueReads::kRead);  // as the proxy searches
    return made;
  }();
  return disc;
}

void BM_Search(benchmark::State& state, std::string words) {
  Disc& disc = SearchDisc();
  std::int64_t total = 0;
  for (auto _ : state) {
    const viewer::SearchResults results = viewer::Search(*disc.db, words, 0, 20);
    total = results.total;
    benchmark::DoNotOptimize(results.hits.data());
  }
  state.counters["matches"] = static_cast<double>(total);
}

// What a proxy does when it takes up the disc: the viewer opens it (the catalogue, its lock,
// its title) and answers a first lookup.
void BM_OpenDisc(benchmark::State& state) {
  const fs::path& path = SearchDisc().path;
  for (auto _ : state) {
    viewer::DiscViewer viewer(path);
    benchmark::DoNotOptimize(viewer.GetCatalogue()->SeekUrl("http://site7.example/p7.html"));
  }
}
BENCHMARK(BM_OpenDisc)->Unit(benchmark::kMillisecond);

// A search on a catalogue just opened: its connection has read nothing yet.
void BM_FirstSearch(benchmark::State& state, std::string words) {
  const fs::path& path = SearchDisc().path;
  std::int64_t total = 0;
  for (auto _ : state) {
    const auto db = viewer::OpenCatalogue(path, false, viewer::CatalogueReads::kRead);
    total = viewer::Search(*db, words, 0, 20).total;
  }
  state.counters["matches"] = static_cast<double>(total);
}
BENCHMARK_CAPTURE(BM_FirstSearch, common_word, WordOf(0))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_FirstSearch, rare_word, WordOf(15000))->Unit(benchmark::kMillisecond);

// The most common word (on most pages), a middling one, a rare one, and two words together.
BENCHMARK_CAPTURE(BM_Search, common_word, WordOf(0))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, middling_word, WordOf(40))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, rare_word, WordOf(15000))->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Search, two_words, WordOf(3) + " " + WordOf(40))
    ->Unit(benchmark::kMillisecond);

}  // namespace
