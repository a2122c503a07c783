#include <benchmark/benchmark.h>

#include "names/document_name.h"
#include "names/http_date.h"

namespace {

void BM_ParseDocumentNumber(benchmark::State& state) {
  const char* address = "http://www.example.com/archive/lum00012/lum01234.htm";
  for (auto _ : state) benchmark::DoNotOptimize(quillon::ParseDocumentNumber(address));
}
BENCHMARK(BM_ParseDocumentNumber);

void BM_ParseDocumentNumberMiss(benchmark::State& state) {
  const char* address = "http://www.example.com/archive/2024/index.html?page=2";
  for (auto _ : state) benchmark::DoNotOptimize(quillon::ParseDocumentNumber(address));
}
BENCHMARK(BM_ParseDocumentNumberMiss);

void BM_ParseHttpDate(benchmark::State& state, const char* value) {
  for (auto _ : state) benchmark::DoNotOptimize(quillon::ParseHttpDate(value));
}
BENCHMARK_CAPTURE(BM_ParseHttpDate, rfc1123, "Sun, 06 Nov 1994 08:49:37 GMT");
BENCHMARK_CAPTURE(BM_ParseHttpDate, rfc850, "Sunday, 06-Nov-94 08:49:37 GMT");
BENCHMARK_CAPTURE(BM_ParseHttpDate, asctime, "Sun Nov  6 08:49:37 1994");

void BM_FormatHttpDate(benchmark::State& state) {
  char text[quillon::kHttpDateLength + 1];
  quillon::HttpTime t = 784111777;
  for (auto _ : state) {
    benchmark::DoNotOptimize(quillon::FormatHttpDate(t, text));
    benchmark::ClobberMemory();
    t += 86399;
    if (t < 0) t = 0;
  }
}
BENCHMARK(BM_FormatHttpDate);

void BM_DocumentFileName(benchmark::State& state) {
  quillon::DocumentNumber n = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(quillon::DocumentFileName(n));
    n = (n + 1) & 0xFFFFF;
  }
}
BENCHMARK(BM_DocumentFileName);

}  // namespace
