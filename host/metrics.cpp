#include "metrics.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdio>

#include "pages.h"

#ifndef QUILLON_VERSION
#define QUILLON_VERSION "unknown"
#endif

namespace quillon::host {

namespace {

constexpr std::size_t kOtherSlot = kReasonSlots - 1;

// Threads take the slots in turn, whichever Metrics they count for.
std::atomic<std::size_t> nextSlot{0};

std::string Number(double value) {
  char text[32];
  // Fixed notation: bucket bounds read as "0.0005", as they are usually written.
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed).ptr;
  return std::string(text, end);
}

// A label value: backslash, double quote and line feed escaped, as the format requires.
std::string LabelValue(std::string_view value) {
  std::string out;
  for (const char ch : value) {
    if (ch == '\\' || ch == '"') {
      out += '\\';
      out += ch;
    } else if (ch == '\n') {
      out += "\\n";
    } else {
      out += ch;
    }
  }
  return out;
}

void Family(std::string& out, std::string_view name, std::string_view type, std::string_view help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels,
            std::string_view value) {
  out.append(name);
  if (!labels.empty()) out.append("{").append(labels).append("}");
  out.append(" ").append(value).append("\n");
}

void Sample(std::string& out, std::string_view name, std::string_view labels, double value) {
  Sample(out, name, labels, std::string_view(Number(value)));
}

// Counts stay exact past 2^53.
void Sample(std::string& out, std::string_view name, std::string_view labels, std::uint64_t value) {
  Sample(out, name, labels, std::string_view(std::to_string(value)));
}

std::string Duration(double seconds) {
  const auto total = static_cast<std::uint64_t>(seconds);
  const std::uint64_t days = total / 86400;
  char text[64];
  std::snprintf(text, sizeof text, "%llud %02llu:%02llu:%02llu",
                static_cast<unsigned long long>(days),
                static_cast<unsigned long long>(total % 86400 / 3600),
                static_cast<unsigned long long>(total % 3600 / 60),
                static_cast<unsigned long long>(total % 60));
  return text;
}

}  // namespace

Metrics::Metrics() {
  std::copy(kOtherReason.begin(), kOtherReason.end(), reasons_[kOtherSlot].begin());
}

Metrics::Slot& Metrics::Mine() {
  thread_local const std::size_t slot = nextSlot.fetch_add(1) % kMetricSlots;
  return slots_[slot];
}

std::size_t Metrics::ReasonIndex(std::string_view reason) {
  if (reason.empty()) return 0;
  if (reason.size() > kReasonLength) return kOtherSlot;
  auto find = [&](std::size_t count) -> std::size_t {
    for (std::size_t i = 1; i < count; ++i) {
      if (std::string_view(reasons_[i].data()) == reason) return i;
    }
    return 0;
  };
  if (const std::size_t known = find(reasonCount_.load(std::memory_order_acquire))) return known;
  std::lock_guard lock(reasonMutex_);
  const std::size_t count = reasonCount_.load(std::memory_order_relaxed);
  if (const std::size_t known = find(count)) return known;
  if (count == kOtherSlot) return kOtherSlot;
  std::copy(reason.begin(), reason.end(), reasons_[count].begin());
  reasonCount_.store(count + 1, std::memory_order_release);
  return count;
}

void Metrics::Request(Answer answer, std::string_view reason, std::chrono::nanoseconds latency) {
  const auto kind = std::min<std::size_t>(static_cast<std::size_t>(answer), kAnswerKinds - 1);
  const std::size_t why = ReasonIndex(reason);
  Slot& slot = Mine();
  slot.requests[kind][why].fetch_add(1, std::memory_order_relaxed);
  const double seconds = std::chrono::duration<double>(latency).count();
  const auto bucket = static_cast<std::size_t>(
      std::lower_bound(kLatencyBounds.begin(), kLatencyBounds.end(), seconds) -
      kLatencyBounds.begin());
  slot.latency[bucket].fetch_add(1, std::memory_order_relaxed);
  slot.latencyNanoseconds.fetch_add(
      static_cast<std::uint64_t>(std::max<std::int64_t>(0, latency.count())),
      std::memory_order_relaxed);
}

void Metrics::ConnectionEnded(int fd) {
  tcp_info info{};
  socklen_t length = sizeof info;
  if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
      length >= offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
    ConnectionEnded(info.tcpi_bytes_received, info.tcpi_bytes_acked);
  } else {
    ConnectionEnded(0, 0);
  }
}

void Metrics::ConnectionEnded(std::uint64_t fromClient, std::uint64_t toClient) {
  Slot& slot = Mine();
  slot.bytesFromClients.fetch_add(fromClient, std::memory_order_relaxed);
  slot.bytesToClients.fetch_add(toClient, std::memory_order_relaxed);
  slot.connections.fetch_add(1, std::memory_order_relaxed);
}

void Metrics::TlsHandshake(bool completed) {
  (completed ? Mine().tlsHandshakes : Mine().tlsHandshakesFailed)
      .fetch_add(1, std::memory_order_relaxed);
}

void Metrics::DiscUpdate(bool written) {
  (written ? Mine().updatesWritten : Mine().updatesRefused).fetch_add(1, std::memory_order_relaxed);
}

MetricsSnapshot Metrics::Read() const {
  MetricsSnapshot out;
  std::array<std::array<std::uint64_t, kReasonSlots>, kAnswerKinds> requests{};
  std::uint64_t nanoseconds = 0;
  for (const Slot& slot : slots_) {
    for (std::size_t a = 0; a < kAnswerKinds; ++a) {
      for (std::size_t r = 0; r < kReasonSlots; ++r) {
        requests[a][r] += slot.requests[a][r].load(std::memory_order_relaxed);
      }
    }
    for (std::size_t b = 0; b < out.latency.size(); ++b) {
      out.latency[b] += slot.latency[b].load(std::memory_order_relaxed);
    }
    nanoseconds += slot.latencyNanoseconds.load(std::memory_order_relaxed);
    out.bytesFromClients += slot.bytesFromClients.load(std::memory_order_relaxed);
    out.bytesToClients += slot.bytesToClients.load(std::memory_order_relaxed);
    out.connections += slot.connections.load(std::memory_order_relaxed);
    out.tlsHandshakes += slot.tlsHandshakes.load(std::memory_order_relaxed);
    out.tlsHandshakesFailed += slot.tlsHandshakesFailed.load(std::memory_order_relaxed);
    out.updatesWritten += slot.updatesWritten.load(std::memory_order_relaxed);
    out.updatesRefused += slot.updatesRefused.load(std::memory_order_relaxed);
  }
  out.latencySeconds = static_cast<double>(nanoseconds) / 1e9;
  const std::size_t named = reasonCount_.load(std::memory_order_acquire);
  for (std::size_t a = 0; a < kAnswerKinds; ++a) {
    const std::string_view answer = AnswerName(static_cast<Answer>(a));
    if (answer == "?") continue;  // no such kind
    for (std::size_t r = 0; r < kReasonSlots; ++r) {
      // Every kind shows with no reason, at 0 too, so that a series exists before it moves.
      if (r != 0 && requests[a][r] == 0) continue;
      if (r != 0 && r < kOtherSlot && r >= named) continue;
      out.requests.push_back({std::string(answer), reasons_[r].data(), requests[a][r]});
    }
  }
  out.uptimeSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
  return out;
}

std::string RenderMetrics(const MetricsSnapshot& m) {
  std::string out;
  Family(out, "quillon_requests_total", "counter",
         "Requests answered, by who answered (answer) and why (reason, empty for none).");
  for (const auto& row : m.requests) {
    Sample(out, "quillon_requests_total",
           "answer=\"" + LabelValue(row.answer) + "\",reason=\"" + LabelValue(row.reason) + "\"",
           row.count);
  }
  Family(out, "quillon_request_duration_seconds", "histogram",
         "From a request's head read to its answer sent.");
  std::uint64_t cumulative = 0;
  for (std::size_t b = 0; b < m.latency.size(); ++b) {
    cumulative += m.latency[b];
    const std::string le = b < kLatencyBounds.size() ? Number(kLatencyBounds[b]) : "+Inf";
    Sample(out, "quillon_request_duration_seconds_bucket", "le=\"" + le + "\"", cumulative);
  }
  Sample(out, "quillon_request_duration_seconds_sum", "", m.latencySeconds);
  Sample(out, "quillon_request_duration_seconds_count", "", cumulative);
  Family(out, "quillon_client_bytes_total", "counter",
         "Bytes on browser connections as TCP counted them, added when a connection ends.");
  Sample(out, "quillon_client_bytes_total", "direction=\"received\"", m.bytesFromClients);
  Sample(out, "quillon_client_bytes_total", "direction=\"sent\"", m.bytesToClients);
  Family(out, "quillon_connections_total", "counter", "Browser connections ended.");
  Sample(out, "quillon_connections_total", "", m.connections);
  Family(out, "quillon_connections_open", "gauge", "Browser connections open now.");
  Sample(out, "quillon_connections_open", "", m.openConnections);
  Family(out, "quillon_connections_waiting", "gauge",
         "Browser connections kept open, waiting for their next request.");
  Sample(out, "quillon_connections_waiting", "", m.waitingConnections);
  Family(out, "quillon_origin_connections_kept", "gauge",
         "Idle connections to origins kept for reuse.");
  Sample(out, "quillon_origin_connections_kept", "", m.keptOrigins);
  Family(out, "quillon_tls_handshakes_total", "counter",
         "TLS handshakes with browsers for the disc's https:// hosts.");
  Sample(out, "quillon_tls_handshakes_total", "result=\"completed\"", m.tlsHandshakes);
  Sample(out, "quillon_tls_handshakes_total", "result=\"failed\"", m.tlsHandshakesFailed);
  Family(out, "quillon_certificates_made_total", "counter",
         "Host certificates the local authority signed.");
  Sample(out, "quillon_certificates_made_total", "", m.certificatesMade);
  Family(out, "quillon_disc_updates_total", "counter",
         "Network answers put on the disc (written) or dropped on the way (refused).");
  Sample(out, "quillon_disc_updates_total", "result=\"written\"", m.updatesWritten);
  Sample(out, "quillon_disc_updates_total", "result=\"refused\"", m.updatesRefused);
  Family(out, "quillon_worker_threads", "gauge", "Threads serving connections, spares included.");
  Sample(out, "quillon_worker_threads", "", m.workerThreads);
  Family(out, "quillon_worker_threads_held", "gauge",
         "Threads held writing to a slow browser inside the filter.");
  Sample(out, "quillon_worker_threads_held", "", m.workerThreadsHeld);
  Family(out, "quillon_uptime_seconds", "gauge", "Seconds since the proxy started.");
  Sample(out, "quillon_uptime_seconds", "", m.uptimeSeconds);
  return out;
}

std::string WatchAnswer(std::string_view type, std::string_view body) {
  std::string out = "HTTP/1.1 200 OK\r\nContent-Type: ";
  out.append(type).append("\r\nContent-Length: ").append(std::to_string(body.size()));
  out.append("\r\nCache-Control: no-store\r\n\r\n").append(body);
  return out;
}

std::string RenderStatus(const MetricsSnapshot& m, std::string_view disc, std::string_view listen) {
  auto row = [](std::string_view name, std::string_view value) {
    return "<tr><th>" + EscapeHtml(name) + "</th><td>" + EscapeHtml(value) + "</td></tr>\n";
  };
  auto count = [&](std::string_view name, std::uint64_t value) {
    return row(name, std::to_string(value));
  };
  std::uint64_t requests = 0;
  for (const auto& r : m.requests) requests += r.count;
  std::string body =
      "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>quillon-proxy status</title>"
      "<style>body{font-family:sans-serif;max-width:46em;margin:2em auto;padding:0 1em}"
      "th{text-align:left;padding-right:2em;font-weight:normal}td{text-align:right}</style>"
      "</head><body>\n<h1>quillon-proxy</h1>\n<table>\n";
  body += row("Version", QUILLON_VERSION);
  body += row("Listening on", listen);
  body += row("Disc", disc.empty() ? "(none)" : disc);
  body += row("Up for", Duration(m.uptimeSeconds));
  body += "</table>\n<h2>Requests</h2>\n<table>\n";
  body += count("In all", requests);
  for (const auto& r : m.requests) {
    if (r.count == 0) continue;
    body += count(r.reason.empty() ? r.answer : r.answer + " (" + r.reason + ")", r.count);
  }
  const double mean = requests == 0 ? 0 : m.latencySeconds / static_cast<double>(requests);
  body += row("Mean time to answer", Number(mean * 1000) + " ms");
  body += "</table>\n<h2>Connections</h2>\n<table>\n";
  body += count("Open", m.openConnections);
  body += count("Waiting for their next request", m.waitingConnections);
  body += count("Ended", m.connections);
  body += count("Bytes received (ended connections)", m.bytesFromClients);
  body += count("Bytes sent (ended connections)", m.bytesToClients);
  body += count("Kept to origins", m.keptOrigins);
  body += count("TLS handshakes", m.tlsHandshakes);
  body += count("TLS handshakes failed", m.tlsHandshakesFailed);
  body += count("Certificates made", m.certificatesMade);
  body += count("Disc updates written", m.updatesWritten);
  body += count("Disc updates refused", m.updatesRefused);
  body += count("Worker threads", m.workerThreads);
  body += count("Worker threads held by slow browsers", m.workerThreadsHeld);
  body += "</table>\n<p><a href=\"/metrics\">/metrics</a> has these for Prometheus.</p>\n";
  body += "</body></html>\n";
  return body;
}

}  // namespace quillon::host
