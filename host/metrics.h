// What an operator reads on the proxy's own address: /metrics in the Prometheus text format and
// /status as a page. Counters live in per-thread slots and are summed when read, so counting a
// request costs a few uncontended atomic additions on the thread's own cache lines.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "access_log.h"

namespace quillon::host {

// Slots for the values of Answer, so that a kind added there is counted without a change here.
inline constexpr std::size_t kAnswerKinds = 8;
// Distinct reasons counted apart; past them a reason is counted as kOtherReason.
inline constexpr std::size_t kReasonSlots = 32;
inline constexpr std::size_t kReasonLength = 31;
inline constexpr std::string_view kOtherReason = "other";
// Threads share these slots in turn; more threads than slots only share cache lines.
inline constexpr std::size_t kMetricSlots = 64;
// Upper bounds of the latency buckets, in seconds (+Inf follows).
inline constexpr std::array<double, 15> kLatencyBounds = {
    0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30};

// The counters summed at one moment, with the gauges the caller reads from the proxy's state.
struct MetricsSnapshot {
  struct Requests {
    std::string answer;
    std::string reason;
    std::uint64_t count = 0;
  };
  std::vector<Requests> requests;
  std::array<std::uint64_t, kLatencyBounds.size() + 1> latency{};  // per bucket; last is +Inf
  double latencySeconds = 0;                                       // their sum
  std::uint64_t bytesFromClients = 0;
  std::uint64_t bytesToClients = 0;
  std::uint64_t connections = 0;  // browser connections ended
  std::uint64_t tlsHandshakes = 0;
  std::uint64_t tlsHandshakesFailed = 0;
  std::uint64_t certificatesMade = 0;
  std::uint64_t updatesWritten = 0;
  std::uint64_t updatesRefused = 0;
  // Gauges.
  std::uint64_t openConnections = 0;
  std::uint64_t waitingConnections = 0;  // kept open between requests
  std::uint64_t keptOrigins = 0;         // idle connections to origins kept for reuse
  std::uint64_t workerThreads = 0;
  std::uint64_t workerThreadsHeld = 0;  // waiting on a slow browser inside the filter
  double uptimeSeconds = 0;
};

// The Prometheus text exposition format, version 0.0.4.
inline constexpr std::string_view kMetricsType = "text/plain; version=0.0.4; charset=utf-8";
std::string RenderMetrics(const MetricsSnapshot& snapshot);

// The status page's HTML body: the same figures for a person, with the disc and the version.
// A 200 answer with `body`, never cached.
std::string WatchAnswer(std::string_view type, std::string_view body);

std::string RenderStatus(const MetricsSnapshot& snapshot, std::string_view disc,
                         std::string_view listen);

class Metrics {
 public:
  Metrics();
  Metrics(const Metrics&) = delete;
  Metrics& operator=(const Metrics&) = delete;

  void Request(Answer answer, std::string_view reason, std::chrono::nanoseconds latency);
  // A browser connection ends: what TCP moved each way on socket `fd` is added, one system
  // call a connection rather than an addition a read or write.
  void ConnectionEnded(int fd);
  void ConnectionEnded(std::uint64_t fromClient, std::uint64_t toClient);
  void TlsHandshake(bool completed);
  void DiscUpdate(bool written);

  // The counters (the gauges and certificatesMade are the caller's), with the uptime.
  MetricsSnapshot Read() const;

 private:
  struct alignas(64) Slot {
    std::array<std::array<std::atomic<std::uint64_t>, kReasonSlots>, kAnswerKinds> requests{};
    std::array<std::atomic<std::uint64_t>, kLatencyBounds.size() + 1> latency{};
    std::atomic<std::uint64_t> latencyNanoseconds{0};
    std::atomic<std::uint64_t> bytesFromClients{0};
    std::atomic<std::uint64_t> bytesToClients{0};
    std::atomic<std::uint64_t> connections{0};
    std::atomic<std::uint64_t> tlsHandshakes{0};
    std::atomic<std::uint64_t> tlsHandshakesFailed{0};
    std::atomic<std::uint64_t> updatesWritten{0};
    std::atomic<std::uint64_t> updatesRefused{0};
  };
  Slot& Mine();
  std::size_t ReasonIndex(std::string_view reason);

  const std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
  std::array<Slot, kMetricSlots> slots_;
  // Reason names, written once before reasonCount_ publishes them; [0] is "" (none).
  std::array<std::array<char, kReasonLength + 1>, kReasonSlots> reasons_{};
  std::atomic<std::size_t> reasonCount_{1};
  std::mutex reasonMutex_;  // adding a name
};

}  // namespace quillon::host
