// The proxy's head rules on a browser's ordinary head and on a hostile 64 KiB one that lists
// thousands of Connection tokens: the cost per byte must stay the same (hop-by-hop removal is
// linear in the head's size).
#include <benchmark/benchmark.h>

#include <string>

#include "http_rules.h"

namespace {

namespace http = boost::beast::http;
using namespace quillon::host;

RequestHead ParseHead(const std::string& raw) {
  http::request_parser<http::empty_body> parser;
  parser.header_limit(128 * 1024);
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(raw), ec);
  return RequestHead(parser.get().base());
}

std::string OrdinaryHead() {
  return "GET http://harbour.example/index.html HTTP/1.1\r\nHost: harbour.example\r\n"
         "User-Agent: Mozilla/5.0 (X11; Linux x86_64)\r\nAccept: text/html,*/*;q=0.8\r\n"
         "Accept-Language: en-GB,en;q=0.5\r\nAccept-Encoding: gzip, deflate\r\n"
         "Connection: keep-alive\r\nReferer: http://harbour.example/\r\n"
         "Cookie: session=abcdef0123456789\r\nUpgrade-Insecure-Requests: 1\r\n"
         "If-Modified-Since: Tue, 01 Dec 2026 10:00:00 GMT\r\nCache-Control: max-age=0\r\n\r\n";
}

// About 64 KiB: half of it one Connection field naming x-0..x-N, half fields of those names.
std::string HostileHead() {
  std::string tokens, fields;
  for (int i = 0; tokens.size() < 30 * 1024; ++i) {
    const std::string name = "x-" + std::to_string(i);
    tokens += (i ? "," : "") + name;
    fields += name + ": 1\r\n";
  }
  return "GET http://harbour.example/ HTTP/1.1\r\nHost: harbour.example\r\nConnection: " + tokens +
         "\r\n" + fields + "\r\n";
}

void Run(benchmark::State& state, const std::string& raw) {
  const RequestHead head = ParseHead(raw);
  const NetworkTarget target{"harbour.example", 80, "/"};
  for (auto _ : state) {
    benchmark::DoNotOptimize(RequestFramingError(head));
    benchmark::DoNotOptimize(
        UpstreamRequestHead(head, target, {"1.1 me:8080 (quillon-proxy)", false, {}}));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
  state.counters["head_bytes"] = static_cast<double>(raw.size());
}

void BM_UpstreamHeadOrdinary(benchmark::State& state) { Run(state, OrdinaryHead()); }
void BM_UpstreamHeadHostile64KiB(benchmark::State& state) { Run(state, HostileHead()); }

BENCHMARK(BM_UpstreamHeadOrdinary);
BENCHMARK(BM_UpstreamHeadHostile64KiB);

}  // namespace
