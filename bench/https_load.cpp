// HTTPS load through an HTTP proxy's CONNECT, or straight to a TLS server: wrk speaks to neither.
// Keep-alive mode measures requests per second on open TLS connections; --handshakes makes every
// request pay a new connection, its CONNECT and a full handshake (no session resumption), so its
// rate is the handshake rate; with --resume each new connection offers the ticket its previous
// one was given, and the resumed handshakes are counted. Prints one line of key=value pairs for
// scripts; exits 1 when any request failed or was answered outside 2xx, 2 on bad arguments.
#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/histogram.hpp>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
namespace beast = boost::beast;
namespace http = beast::http;
namespace bh = boost::histogram;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

struct Options {
  std::string connect, proxy, host, path = "/", cacert, connectTarget;
  int connections = 16;
  int threads = 2;
  double seconds = 10;
  double timeout = 10;
  bool handshakes = false;
  bool resume = false;
};

// Milliseconds on a log scale, about 1% a bin, from 10 us to 100 s: bounded memory however long
// the run, and threads' histograms add up because their axes are equal.
auto MakeLatencies() {
  return bh::make_histogram_with(
      std::vector<double>(), bh::axis::regular<double, bh::axis::transform::log>(1600, 0.01, 1e5));
}
using Latencies = decltype(MakeLatencies());

// One per thread, touched only by that thread's io_context.
struct Stats {
  Latencies latencies = MakeLatencies();
  std::uint64_t requests = 0, errors = 0, non2xx = 0, resumed = 0;
  std::map<std::string, std::uint64_t> errorKinds;  // at most kErrorKinds names, then "other"

  static constexpr std::size_t kErrorKinds = 16;
  void Error(const std::string& what) {
    ++errors;
    auto found = errorKinds.find(what);
    if (found != errorKinds.end()) {
      ++found->second;
    } else {
      ++errorKinds[errorKinds.size() < kErrorKinds ? what : "other"];
    }
  }
};

tcp::endpoint ParseEndpoint(const std::string& text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string::npos) throw std::invalid_argument("needs ADDRESS:PORT: " + text);
  std::string address = text.substr(0, colon);
  if (address.size() > 1 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  const int port = std::stoi(text.substr(colon + 1));
  if (port <= 0 || port > 65535) throw std::invalid_argument("bad port: " + text);
  return {asio::ip::make_address(address), static_cast<unsigned short>(port)};
}

class Run {
 public:
  Run(const Options& o, ssl::context& tls, Clock::time_point deadline)
      : o_(o), tls_(tls), deadline_(deadline) {
    server_ = ParseEndpoint(o.proxy.empty() ? o.connect : o.proxy);
    request_ = "GET " + o.path + " HTTP/1.1\r\nHost: " + o.host + "\r\nUser-Agent: https_load\r\n" +
               (o.handshakes ? "Connection: close\r\n" : "") + "\r\n";
    const std::string target = o.connectTarget.empty() ? o.host + ":443" : o.connectTarget;
    connect_ = "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
  }

  asio::awaitable<void> Connection(Stats& stats) {
    SessionPtr last;  // the ticket --resume offers on the next connection
    while (Clock::now() < deadline_) {
      if (o_.handshakes) {
        const auto start = Clock::now();
        // The answer says Connection: close; the stream's end closes the socket either way.
        if (auto stream = co_await Open(stats, last.get())) {
          // TLS 1.3 sends its tickets after the handshake: the answer has brought them.
          co_await Exchange(*stream, stats, start);
          if (o_.resume) {
            last.reset(SSL_get1_session(stream->native_handle()));
            // Freed without a close_notify sent, OpenSSL would mark the session spoilt.
            SSL_set_shutdown(stream->native_handle(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
          }
        }
      } else {
        auto stream = co_await Open(stats, nullptr);
        while (stream && Clock::now() < deadline_) {
          if (!co_await Exchange(*stream, stats, Clock::now())) break;
        }
      }
    }
  }

 private:
  using Stream = beast::ssl_stream<beast::tcp_stream>;
  struct FreeSession {
    void operator()(SSL_SESSION* session) const { SSL_SESSION_free(session); }
  };
  using SessionPtr = std::unique_ptr<SSL_SESSION, FreeSession>;

  // Each step may take --timeout, and none outlives the run: what the deadline cuts short is
  // neither a request nor an error.
  void Arm(Stream& stream) {
    const auto limit =
        Clock::now() + std::chrono::milliseconds(static_cast<long>(o_.timeout * 1e3));
    beast::get_lowest_layer(stream).expires_at(std::min(limit, deadline_));
  }

  bool Failed(Stats& stats, const char* step, const beast::error_code& e) {
    if (!e) return false;
    if (Clock::now() < deadline_) stats.Error(std::string(step) + ": " + e.message());
    return true;
  }

  asio::awaitable<std::unique_ptr<Stream>> Open(Stats& stats, SSL_SESSION* resume) {
    auto stream = std::make_unique<Stream>(co_await asio::this_coro::executor, tls_);
    Arm(*stream);
    auto& tcpStream = beast::get_lowest_layer(*stream);
    auto [connectError] = co_await tcpStream.async_connect(server_, kTuple);
    if (Failed(stats, "connect", connectError)) co_return nullptr;
    tcpStream.socket().set_option(tcp::no_delay(true));
    if (!o_.proxy.empty()) {
      Arm(*stream);
      auto [writeError, written] =
          co_await asio::async_write(tcpStream, asio::buffer(connect_), kTuple);
      if (Failed(stats, "CONNECT", writeError)) co_return nullptr;
      // A CONNECT's 2xx has no body; whatever follows it belongs to the tunnel.
      beast::flat_buffer buffer(16 * 1024);
      http::response_parser<http::empty_body> parser;
      parser.skip(true);
      auto [readError, read] = co_await http::async_read_header(tcpStream, buffer, parser, kTuple);
      if (Failed(stats, "CONNECT", readError)) co_return nullptr;
      if (parser.get().result() != http::status::ok) {
        if (Clock::now() < deadline_) {
          stats.Error("CONNECT answered " + std::to_string(parser.get().result_int()));
        }
        co_return nullptr;
      }
      // The proxy may not speak before the client's hello.
      if (buffer.size() != 0) {
        stats.Error("CONNECT: bytes after the 200");
        co_return nullptr;
      }
    }
    if (!SSL_set_tlsext_host_name(stream->native_handle(), o_.host.c_str())) {
      stats.Error("SNI refused by OpenSSL");
      co_return nullptr;
    }
    stream->set_verify_callback(ssl::host_name_verification(o_.host));
    if (resume != nullptr && SSL_set_session(stream->native_handle(), resume) != 1) {
      stats.Error("session refused by OpenSSL");
      co_return nullptr;
    }
    Arm(*stream);
    auto [handshakeError] = co_await stream->async_handshake(ssl::stream_base::client, kTuple);
    if (Failed(stats, "handshake", handshakeError)) co_return nullptr;
    if (SSL_session_reused(stream->native_handle()) == 1) ++stats.resumed;
    co_return stream;
  }

  // One GET, its answer read to the end of its body. False when the connection is done with.
  asio::awaitable<bool> Exchange(Stream& stream, Stats& stats, Clock::time_point start) {
    Arm(stream);
    auto [writeError, written] = co_await asio::async_write(stream, asio::buffer(request_), kTuple);
    if (Failed(stats, "write", writeError)) co_return false;
    beast::flat_buffer buffer(64 * 1024);
    http::response_parser<http::string_body> parser;
    parser.body_limit(16 * 1024 * 1024);
    auto [readError, read] = co_await http::async_read(stream, buffer, parser, kTuple);
    if (Failed(stats, "read", readError)) co_return false;
    const auto& response = parser.get();
    // An answer completed after the deadline would count against a shorter time.
    if (Clock::now() > deadline_) co_return false;
    ++stats.requests;
    if (response.result_int() < 200 || response.result_int() > 299) ++stats.non2xx;
    stats.latencies(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    // Pipelining is never used, so bytes past the answer are a framing fault.
    if (buffer.size() != 0) {
      stats.Error("read: bytes after the answer");
      co_return false;
    }
    co_return response.keep_alive();
  }

  const Options& o_;
  ssl::context& tls_;
  const Clock::time_point deadline_;
  tcp::endpoint server_;
  std::string request_, connect_;
};

double Percentile(const Latencies& h, double q) {
  const double total = bh::algorithm::sum(h, bh::coverage::all);
  if (total == 0) return 0;
  double seen = 0;
  for (auto&& bin : bh::indexed(h, bh::coverage::all)) {
    seen += *bin;
    if (seen >= q * total) {
      if (bin.index() < 0) return bin.bin().upper();
      if (bin.index() >= h.axis().size()) return bin.bin().lower();
      return bin.bin().center();
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"https_load: HTTPS requests per second and latency, optionally through CONNECT"};
  Options o;
  app.add_option("--connect", o.connect, "The TLS server's ADDRESS:PORT (without --proxy)");
  app.add_option("--proxy", o.proxy, "An HTTP proxy's ADDRESS:PORT, reached with CONNECT");
  app.add_option("--connect-target", o.connectTarget,
                 "What the CONNECT asks for (default: the --host name on port 443)");
  app.add_option("--host", o.host, "Host name: SNI, certificate check and Host field")->required();
  app.add_option("--path", o.path, "Path to GET")->capture_default_str();
  app.add_option("--cacert", o.cacert, "CA certificates (PEM) the server's must chain to")
      ->required()
      ->check(CLI::ExistingFile);
  app.add_option("-c,--connections", o.connections, "Connections open at once")
      ->check(CLI::Range(1, 10000))
      ->capture_default_str();
  app.add_option("-t,--threads", o.threads, "Threads, each with its own io_context")
      ->check(CLI::Range(1, 64))
      ->capture_default_str();
  app.add_option("-d,--duration", o.seconds, "How long to run (3, 3s, 500ms, 1m)")
      ->transform(
          CLI::AsNumberWithUnit(std::map<std::string, double>{{"ms", 1e-3}, {"s", 1}, {"m", 60}}))
      ->check(CLI::Range(0.01, 3600.0))
      ->capture_default_str();
  app.add_option("--timeout", o.timeout, "Seconds each step (connect, handshake, read) may take")
      ->check(CLI::Range(0.01, 600.0))
      ->capture_default_str();
  app.add_flag("--handshakes", o.handshakes,
               "A new connection and full handshake for every request");
  app.add_flag("--resume", o.resume,
               "With --handshakes: offer the previous connection's ticket (TLS 1.3 resumption)");
  try {
    app.parse(argc, argv);
    if (o.connect.empty() == o.proxy.empty()) {
      throw CLI::ValidationError("exactly one of --connect and --proxy is needed");
    }
    if (!o.connectTarget.empty() && o.proxy.empty()) {
      throw CLI::ValidationError("--connect-target needs --proxy");
    }
    if (o.resume && !o.handshakes) throw CLI::ValidationError("--resume needs --handshakes");
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }

  try {
    ssl::context tls(ssl::context::tls_client);
    tls.load_verify_file(o.cacert);
    tls.set_verify_mode(ssl::verify_peer);
    if (o.resume) {
      // The sessions are kept by each connection, not in OpenSSL's cache.
      SSL_CTX_set_session_cache_mode(tls.native_handle(),
                                     SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    } else {
      // Every handshake full: no client cache, no tickets to resume with.
      SSL_CTX_set_session_cache_mode(tls.native_handle(), SSL_SESS_CACHE_OFF);
      tls.set_options(SSL_OP_NO_TICKET);
    }

    const auto start = Clock::now();
    const auto deadline = start + std::chrono::milliseconds(static_cast<long>(o.seconds * 1e3));
    Run run(o, tls, deadline);
    std::vector<asio::io_context> contexts(static_cast<std::size_t>(o.threads));
    std::vector<Stats> stats(contexts.size());
    for (int i = 0; i < o.connections; ++i) {
      const std::size_t k = static_cast<std::size_t>(i) % contexts.size();
      asio::co_spawn(contexts[k], run.Connection(stats[k]), asio::detached);
    }
    std::vector<std::thread> threads;
    for (auto& context : contexts) threads.emplace_back([&context] { context.run(); });
    for (auto& thread : threads) thread.join();
    const double elapsed =
        std::chrono::duration<double>(std::min(Clock::now(), deadline) - start).count();

    Stats total;
    for (auto& s : stats) {
      total.latencies += s.latencies;
      total.requests += s.requests;
      total.non2xx += s.non2xx;
      total.errors += s.errors;
      total.resumed += s.resumed;
      for (const auto& [what, n] : s.errorKinds) total.errorKinds[what] += n;
    }
    for (const auto& [what, n] : total.errorKinds) {
      std::fprintf(stderr, "https_load: %llu x %s\n", static_cast<unsigned long long>(n),
                   what.c_str());
    }
    std::printf(
        "rps=%.1f p50_ms=%.3f p99_ms=%.3f errors=%llu non2xx=%llu requests=%llu resumed=%llu "
        "seconds=%.2f\n",
        static_cast<double>(total.requests) / elapsed, Percentile(total.latencies, 0.50),
        Percentile(total.latencies, 0.99), static_cast<unsigned long long>(total.errors),
        static_cast<unsigned long long>(total.non2xx),
        static_cast<unsigned long long>(total.requests),
        static_cast<unsigned long long>(total.resumed), elapsed);
    return total.errors == 0 && total.non2xx == 0 && total.requests > 0 ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "https_load: %s\n", e.what());
    return 2;
  }
}
