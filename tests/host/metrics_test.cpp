// The counters and their Prometheus rendering: buckets, labels, reasons past the table's room,
// and sums over threads.
#include "metrics.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace quillon::host {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;
using std::chrono::seconds;

struct RenderCase {
  const char* name;
  std::function<void(Metrics&)> count;
  std::vector<std::string> present;
  std::vector<std::string> absent;
};

TEST(MetricsRender, Table) {
  const std::vector<RenderCase> cases = {
      {"a latency on a bound falls in that bucket, and counts on in the later ones",
       [](Metrics& m) { m.Request(Answer::kFilter, "", milliseconds(1)); },
       {"quillon_request_duration_seconds_bucket{le=\"0.0005\"} 0\n",
        "quillon_request_duration_seconds_bucket{le=\"0.001\"} 1\n",
        "quillon_request_duration_seconds_bucket{le=\"30\"} 1\n",
        "quillon_request_duration_seconds_bucket{le=\"+Inf\"} 1\n",
        "quillon_request_duration_seconds_count 1\n",
        "quillon_request_duration_seconds_sum 0.001\n"},
       {}},
      {"past the last bound only +Inf",
       [](Metrics& m) { m.Request(Answer::kNetwork, "", seconds(40)); },
       {"quillon_request_duration_seconds_bucket{le=\"30\"} 0\n",
        "quillon_request_duration_seconds_bucket{le=\"+Inf\"} 1\n"},
       {}},
      {"every kind shows at 0 with no reason; unused reasons do not show",
       [](Metrics&) {},
       {"quillon_requests_total{answer=\"filter\",reason=\"\"} 0\n",
        "quillon_requests_total{answer=\"network\",reason=\"\"} 0\n",
        "quillon_requests_total{answer=\"disc-fallback\",reason=\"\"} 0\n",
        "quillon_requests_total{answer=\"proxy\",reason=\"\"} 0\n",
        "quillon_request_duration_seconds_count 0\n"},
       {"answer=\"?\"", "reason=\"other\""}},
      {"a reason is a series of its own, per kind",
       [](Metrics& m) {
         m.Request(Answer::kNetwork, "dns", microseconds(5));
         m.Request(Answer::kNetwork, "dns", microseconds(5));
         m.Request(Answer::kDiscFallback, "dns", microseconds(5));
       },
       {"quillon_requests_total{answer=\"network\",reason=\"dns\"} 2\n",
        "quillon_requests_total{answer=\"disc-fallback\",reason=\"dns\"} 1\n",
        "quillon_requests_total{answer=\"network\",reason=\"\"} 0\n"},
       {"answer=\"filter\",reason=\"dns\""}},
      {"label values escape backslash, quote and line feed",
       [](Metrics& m) { m.Request(Answer::kProxy, "a\"b\\c\nd", microseconds(1)); },
       {"quillon_requests_total{answer=\"proxy\",reason=\"a\\\"b\\\\c\\nd\"} 1\n"},
       {}},
      {"reasons past the table's room, and overlong ones, count as other",
       [](Metrics& m) {
         for (std::size_t i = 0; i < kReasonSlots + 4; ++i) {
           m.Request(Answer::kNetwork, "r" + std::to_string(i), microseconds(1));
         }
         m.Request(Answer::kNetwork, std::string(kReasonLength + 1, 'x'), microseconds(1));
       },
       {"reason=\"r0\"} 1\n", "reason=\"r29\"} 1\n",
        "quillon_requests_total{answer=\"network\",reason=\"other\"} 7\n"},
       {"reason=\"r30\"", "xxxxxxxx"}},
      {"connections, handshakes and updates",
       [](Metrics& m) {
         m.ConnectionEnded(100, 2000);
         m.ConnectionEnded(1, 2);
         m.TlsHandshake(true);
         m.TlsHandshake(false);
         m.TlsHandshake(false);
         m.DiscUpdate(true);
         m.DiscUpdate(false);
       },
       {"quillon_client_bytes_total{direction=\"received\"} 101\n",
        "quillon_client_bytes_total{direction=\"sent\"} 2002\n", "quillon_connections_total 2\n",
        "quillon_tls_handshakes_total{result=\"completed\"} 1\n",
        "quillon_tls_handshakes_total{result=\"failed\"} 2\n",
        "quillon_disc_updates_total{result=\"written\"} 1\n",
        "quillon_disc_updates_total{result=\"refused\"} 1\n"},
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Metrics metrics;
    c.count(metrics);
    const std::string text = RenderMetrics(metrics.Read());
    for (const auto& line : c.present) EXPECT_NE(text.find(line), std::string::npos) << line;
    for (const auto& part : c.absent) EXPECT_EQ(text.find(part), std::string::npos) << part;
  }
}

// Threads count in slots of their own (more threads than slots share them); the sum is exact.
TEST(MetricsRender, ThreadsSumExactly) {
  Metrics metrics;
  constexpr int kThreads = static_cast<int>(kMetricSlots) + 8;
  constexpr int kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&metrics, t] {
      for (int i = 0; i < kEach; ++i) {
        metrics.Request(Answer::kFilter, t % 2 == 0 ? "" : "odd", microseconds(1));
      }
    });
  }
  for (auto& thread : threads) thread.join();
  const std::string text = RenderMetrics(metrics.Read());
  for (const std::string& line :
       {"quillon_requests_total{answer=\"filter\",reason=\"\"} " +
            std::to_string(kThreads / 2 * kEach) + "\n",
        "quillon_requests_total{answer=\"filter\",reason=\"odd\"} " +
            std::to_string(kThreads / 2 * kEach) + "\n",
        "quillon_request_duration_seconds_count " + std::to_string(kThreads * kEach) + "\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

}  // namespace
}  // namespace quillon::host
