// What the parts of quillon-proxy share: the server's state, one connection's working set, and
// the outcome of one request. Internal to host/.
#pragma once

#include <atomic>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access_log.h"
#include "disc_updater.h"
#include "filter_host.h"
#include "launch_gate.h"
#include "local_ca.h"
#include "metrics.h"
#include "own_answers.h"
#include "pages.h"
#include "proxy.h"
#include "target.h"
#include "upstream_pool.h"
#include "workers.h"

namespace quillon::host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::ip::tcp;

inline constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);
// Bodies move between the sockets in blocks of this size.
inline constexpr std::size_t kRelayBlock = 64 * 1024;
// An origin may send this many interim (1xx) answers before its final one.
inline constexpr int kInterimLimit = 16;

// Long bodies move in blocks of this size, drawn from a shared pool of at most
// kLargeBlockLimit: on loopback each send wakes the reader, and a download through the proxy is
// bound by those wake-ups at 64 KiB a send (the 50 MB download ran at 572 MB/s with 64 KiB,
// 822 with 256 KiB and 968 with 1 MiB). Past the limit a body moves in 64 KiB blocks.
inline constexpr std::size_t kLargeBlock = 1024 * 1024;
inline constexpr std::size_t kLargeBlockLimit = 32;

// The large blocks: kept for the next long body once made, since a fresh 1 MiB allocation is
// a new mapping whose pages fault in one by one.
class LargeBlocks {
 public:
  std::unique_ptr<char[]> Take();  // null when kLargeBlockLimit are in use
  void Give(std::unique_ptr<char[]> block);

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<char[]>> free_;
  std::size_t out_ = 0;
};

// Bytes being moved, left uninitialised: every use writes before it reads, and zeroing 64 KiB
// per request showed in the relay's profile.
class Block {
 public:
  explicit Block(std::size_t size)
      : bytes_(std::make_unique_for_overwrite<char[]>(size)), size_(size) {}
  // A large block when one is free, else one of kRelayBlock.
  explicit Block(LargeBlocks& pool) : pool_(&pool), bytes_(pool.Take()), size_(kLargeBlock) {
    if (bytes_ == nullptr) {
      pool_ = nullptr;
      bytes_ = std::make_unique_for_overwrite<char[]>(kRelayBlock);
      size_ = kRelayBlock;
    }
  }
  Block(Block&& other) noexcept = default;  // what it leaves holds nothing to give back
  Block& operator=(Block&&) = delete;
  ~Block() {
    if (pool_ != nullptr && bytes_ != nullptr) pool_->Give(std::move(bytes_));
  }
  char* data() { return bytes_.get(); }
  std::size_t size() const { return size_; }

 private:
  LargeBlocks* pool_ = nullptr;  // where a large block goes back
  std::unique_ptr<char[]> bytes_;
  std::size_t size_;
};

using RequestParser = http::request_parser<http::buffer_body>;
inline beast::tcp_stream& Transport(beast::tcp_stream& stream) { return stream; }
inline beast::tcp_stream& Transport(TlsStream& stream) { return stream.next_layer(); }

// The browser of an intercepted tunnel, as the connection that carries its requests (the
// proxy's own end of a socket pair) cannot tell.
struct TunnelledClient {
  std::string authority;  // "host[:port]" of its CONNECT, as https:// addresses spell it
  std::string remote;
  bool loopback = false;
};

// The addresses that reach this proxy: a request bound there would come straight back.
class SelfAddresses {
 public:
  void Set(const tcp::endpoint& listening);
  bool Contains(const tcp::endpoint& endpoint) const;
  // Loopback, unspecified, or an address of one of this machine's interfaces (as at Set).
  bool IsThisMachine(const asio::ip::address& address) const;
  std::string listen() const;  // "address:port"

 private:
  tcp::endpoint listening_;
  std::vector<asio::ip::address> local_;  // every interface's address, for a wildcard listener
};

// One browser connection's working set, as every part of a request's work reaches it.
struct Connection {
  beast::tcp_stream& client;
  beast::flat_buffer& buffer;
  FilterSession& filter;
  std::chrono::milliseconds writeTimeout;
  Workers* workers;
  std::string remote;
  bool loopback = false;
  // Set when the requests came through TLS the proxy terminated: they are for https://authority.
  std::string secureAuthority;
  // Per request:
  bool headOnly = false;                          // a HEAD: answers go out without their bodies
  bool interimAllowed = false;                    // an HTTP/1.1 client may be sent 1xx answers
  bool wantsHtml = false;                         // a browser: the proxy's own answers are pages
  std::chrono::steady_clock::time_point started;  // the request's head was read
  int fd() const { return const_cast<beast::tcp_stream&>(client).socket().native_handle(); }
};

// The outcome of one request on a connection.
struct Exchange {
  unsigned status = 0;
  std::uint64_t bytes = 0;
  Answer answer = Answer::kProxy;
  bool keepAlive = false;
  bool abandoned = false;         // the browser went away before it could be answered
  Reason reason = Reason::kNone;  // why the proxy answered itself
};

unsigned StatusOf(std::string_view statusLine);

// A reply the filter made (in pre-processed headers or in send-raw-data) decides the exchange.
Exchange FilterAnswered(const FilterSession& filter, Answer answer, bool clientKeepAlive);

// The proxy's own answer, through send-raw-data like any other: an armed disc copy may
// replace it.
Exchange SendOwnAnswer(Connection& c, bool keepAlive, unsigned status, Reason reason,
                       std::string what);
Exchange SendPreparedAnswer(Connection& c, bool keepAlive, unsigned status, std::string_view answer,
                            Reason reason = Reason::kNone);

// What the local authority signs for: the catalogue domain and the disc's https:// hosts
// (intercept.cpp).
std::vector<std::string> NamesToSign(DiscPages& pages, std::string_view catalogueDomain);

struct ProxyState {
  ProxyState(const FilterLibrary& f, ProxyOptions o);

  const FilterLibrary& library;
  ProxyOptions options;
  Metrics metrics;  // before the threads that count in it
  // Before the main io_context, so it ends first: what it holds at its end (an accepted socket
  // not yet handed over) may belong to another shard.
  Workers workers;
  asio::io_context io;  // the main shard: accepting, signals, timers, and connections in turn
  tcp::acceptor acceptor;
  asio::signal_set signals;
  AccessLog log;
  LaunchGate launches;
  ClientAllowList allowed{options.allow};
  ClientCounts perClient{options.maxConnectionsPerClient};
  UpstreamPool pool;
  LargeBlocks largeBlocks;
  SelfAddresses self;
  std::string viaName;  // this proxy in Via: "host:port"
  std::string via;      // "1.1 host:port (quillon-proxy)"
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> active{0};
  std::atomic<std::uint64_t> served{0};  // connections ended, for the idle-time trim
  DiscPages pages{options.disc, options.catalogueDomain};  // the proxy's own pages (pages.cpp)
  std::unique_ptr<DiscUpdater> updater =                   // --update-disc (disc_updater.cpp)
      options.updateDisc && !options.disc.empty()
          ? std::make_unique<DiscUpdater>(options.disc, options.updateNewPages, options.updateLimit)
          : nullptr;
  std::unique_ptr<LocalCa> ca =  // interception of the disc's https:// hosts (intercept.cpp)
      options.caDir.empty()
          ? nullptr
          : LocalCa::OpenOrCreate(options.caDir, NamesToSign(pages, options.catalogueDomain),
                                  options.renewCa);
  std::unique_ptr<asio::ssl::context> originTls = OriginTlsContext(options.originCa);

  // Every open browser connection, so that shutdown can close those waiting for their next
  // request at once. Registered once per connection; whether it waits is its own flag, so a
  // request costs no lock here.
  struct OpenSession {
    beast::tcp_stream* stream;
    std::atomic<bool> idle{false};
  };
  std::mutex sessionsMutex;
  std::set<OpenSession*> sessions;
  void Register(OpenSession* open);
  void Unregister(OpenSession* open);

  void Log(const Connection& c, const RequestHead& head, std::string_view requestLine,
           const Exchange& exchange);
  // The counters with the gauges read now, for /metrics and /status.
  MetricsSnapshot Watch();

  awaitable<void> Accept();
  awaitable<void> Drain();
  awaitable<void> TrimWhenIdle();
  awaitable<void> RefreshDisc();
  // A browser connection (session.cpp); `tunnelled` for the inner end of an intercepted tunnel.
  awaitable<void> Session(tcp::socket socket, std::optional<TunnelledClient> tunnelled);
  // Runs Session as a connection of its own, counted among the active ones (and, given a client
  // address, among that client's, which it gives back at its end).
  void Spawn(tcp::socket socket, std::optional<TunnelledClient> tunnelled,
             std::optional<asio::ip::address> counted = std::nullopt);
  // A client the proxy does not serve: the 403, logged, then a short drain and the close.
  void Refuse(tcp::socket socket, const asio::ip::address& client);
};

// Answers the client after a refusal and closes: what the client still sends is read away for
// a moment, or closing with unread data would reset the connection and lose the answer.
awaitable<void> CloseAfterAnswer(ProxyState& s, beast::tcp_stream& client, std::string answer);

// 504 when the network timed out, 502 for any other failure, 508 for a request bound for the
// proxy itself; the reason tells the failures apart.
Reason ReasonOfFailure(const boost::system::error_code& failure);
Exchange NetworkFailed(Connection& c, bool keepAlive, const boost::system::error_code& failure,
                       std::string_view what);

// The failure a connection to this proxy's own address reports (kLoopsBack), or to an address
// of this machine asked for by another machine's client (kOnThisMachine).
const boost::system::error_category& LoopCategory();
inline constexpr int kLoopsBack = 1;
inline constexpr int kOnThisMachine = 2;

// Resolves (or takes --resolve's address) and connects within the connect timeout; an address of
// the proxy itself is a loop, and one of this machine is refused to a client from elsewhere.
awaitable<boost::system::error_code> ConnectUpstream(ProxyState& s, beast::tcp_stream& upstream,
                                                     const NetworkTarget& target,
                                                     bool clientLoopback);

// The network fetch of a request the filter passed on (upstream.cpp).
awaitable<Exchange> Fetch(ProxyState& s, Connection& c, RequestParser& parser,
                          const NetworkTarget& target, bool keepAlive);

// Bytes both ways between two streams until either side ends or is idle too long; returns how
// many went from `b` to `a` (tunnel.cpp; for a plain or a TLS `b`).
template <class Other>
awaitable<std::uint64_t> Splice(beast::tcp_stream& a, Other& b, std::chrono::milliseconds idle);

// A CONNECT's tunnel is open: "200 Connection Established" goes out (tunnel.cpp).
bool SendEstablished(Connection& c);

// A CONNECT refused: the answer goes out, and the connection ends with it.
Exchange RefuseTunnel(Connection& c, unsigned status, Reason reason, std::string what);

// A CONNECT: the tunnel's status (200, or the refusal sent) and the bytes sent to the client.
awaitable<Exchange> OpenTunnel(ProxyState& s, Connection& c, const NetworkTarget& target);

// A CONNECT to a host of the disc: TLS ends here, and the requests inside are served like
// plain ones, as https:// addresses (intercept.cpp).
bool Intercepts(ProxyState& s, const NetworkTarget& target);
awaitable<Exchange> Intercept(ProxyState& s, Connection& c, const NetworkTarget& target);

}  // namespace quillon::host
