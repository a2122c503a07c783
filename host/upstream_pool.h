// Kept-alive connections to origins, so that the next request to the same origin skips the
// connect. Bounded per origin and in all, and an idle connection is kept only for a while: an
// origin closes idle connections on its own schedule, and a request sent on one it just closed
// is retried once on a new connection (only when the request can be sent again unchanged).
#pragma once

#include <boost/asio/execution/context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/query.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace quillon::host {

// A connection to an https:// origin.
using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;

class UpstreamPool {
 public:
  using Clock = std::chrono::steady_clock;
  using tcp = boost::asio::ip::tcp;

  struct Limits {
    std::size_t perOrigin = 16;
    std::size_t total = 128;
    std::chrono::milliseconds idle{15000};
  };

  explicit UpstreamPool(Limits limits) : limits_(limits) {}
  ~UpstreamPool();
  UpstreamPool(const UpstreamPool&) = delete;
  UpstreamPool& operator=(const UpstreamPool&) = delete;

  // An idle connection to `origin` that still looks open, nullopt when there is none: one kept
  // by the same event loop as `executor` when there is one (it stays registered there, so taking
  // it costs no system call but the check), else one re-homed on `executor`.
  std::optional<tcp::socket> Take(const std::string& origin,
                                  const tcp::socket::executor_type& executor);
  // Keeps a connection whose last answer was read to its end and that the origin keeps open.
  void Give(const std::string& origin, tcp::socket socket);

  // The same for TLS connections, which are only taken on the event loop that kept them: their
  // state lives with the stream, which cannot move to another loop.
  std::unique_ptr<TlsStream> TakeTls(const std::string& origin,
                                     const tcp::socket::executor_type& executor);
  void GiveTls(const std::string& origin, std::unique_ptr<TlsStream> stream);

  // Closes the connections idle for too long (run now and then: nothing else may ask).
  void Sweep();

  // Connections kept now.
  std::size_t kept() const;

 private:
  struct Idle {
    std::optional<tcp::socket> socket;  // a plain connection,
    std::unique_ptr<TlsStream> tls;     // or a TLS one
    const void* loop;                   // the event loop it is registered with
    Clock::time_point since;
  };
  void DropExpired(Clock::time_point now);  // with mutex_ held
  void Keep(const std::string& origin, Idle idle);

  const Limits limits_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::deque<Idle>> idle_;  // newest at the back
  std::size_t count_ = 0;
};

}  // namespace quillon::host
