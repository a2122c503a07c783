// The server: listening, accepting within the limits, shutdown.
#include "proxy.h"

#include <unistd.h>

#include <cstdio>
#include <functional>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "connection.h"
#include "descriptors.h"
#include "intercept.h"
#include "launch_gate.h"
#include "local_ca.h"
#include "metrics.h"
#include "own_answers.h"
#include "pages.h"
#include "request.h"
#include "self_addresses.h"
#include "session.h"
#include "tunnel.h"
#include "upstream.h"
#include "workers.h"

namespace quillon::host {

namespace {

// How often an idle proxy hands freed memory back to the system.
constexpr auto kTrimInterval = std::chrono::seconds(2);
// How often the disc's sites are read again when the catalogue changed, for the interception
// check, which reads them without a query.
constexpr auto kDiscRefreshInterval = std::chrono::seconds(1);
// Accepting again after the process ran out of descriptors: clients wait in the backlog meanwhile.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

// The answer to a client outside --allow; its request is read away so that closing does not
// reset the connection before it is read.
awaitable<void> RefuseClient(std::chrono::milliseconds writeTimeout, Workers* workers,
                             tcp::socket socket) {
  boost::system::error_code ignored;
  socket.native_non_blocking(true, ignored);
  beast::tcp_stream client(std::move(socket));
  std::string answer =
      OwnAnswer({403, Reason::kNotAllowed, "This proxy does not serve your address.", {}, {}, {}},
                false, true);
  co_await CloseAfterAnswer(client, std::move(answer), writeTimeout, workers);
}

// A connection's coroutine that ended on an exception: the connection is gone, the reason is
// said.
void ReportFailure(const std::exception_ptr& error) {
  if (!error) return;
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-proxy: a connection ended on an error: %s\n", e.what());
  } catch (...) {
    std::fprintf(stderr, "quillon-proxy: a connection ended on an unknown error\n");
  }
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace

// The server: its state, shared by every connection, and the parts only it sees (the acceptor,
// the signals, shutdown, the timers). The request path reaches it through the services below.
class Server final : private NetworkSide {
 public:
  Server(const FilterLibrary& f, ProxyOptions o);

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
  DiscPages pages{options.disc, options.catalogueDomain};  // the proxy's own pages
  std::unique_ptr<DiscUpdater> updater =                   // --update-disc
      options.updateDisc && !options.disc.empty()
          ? std::make_unique<DiscUpdater>(options.disc, options.updateNewPages, options.updateLimit)
          : nullptr;
  std::unique_ptr<LocalCa> ca =  // interception of the disc's https:// hosts
      options.caDir.empty()
          ? nullptr
          : LocalCa::OpenOrCreate(options.caDir, NamesToSign(pages, options.catalogueDomain),
                                  options.renewCa);
  std::unique_ptr<asio::ssl::context> originTls = OriginTlsContext(options.originCa);
  OpenSessions sessions;

  NetworkServices network{options,    self, pool,          largeBlocks,
                          *originTls, via,  updater.get(), metrics};
  InterceptServices intercepting{options, ca.get(), pages, metrics};
  RequestServices requests{options, pages, launches, self, viaName, [this] { return Watch(); },
                           *this};
  SessionServices sessionServices{library, options,  workers,  metrics,
                                  log,     sessions, stopping, requests};

  // The counters with the gauges read now, for /metrics and /status.
  MetricsSnapshot Watch();

  awaitable<void> Accept();
  awaitable<void> Drain();
  awaitable<void> TrimWhenIdle();
  awaitable<void> RefreshDisc();
  // Runs a Session, counted among the active connections and among the client's, which it
  // gives back at its end.
  // `peer`: the socket's remote address as accepted.
  void Spawn(tcp::socket socket, const asio::ip::address& peer);
  // A client the proxy does not serve: the 403, logged, then a short drain and the close.
  void Refuse(tcp::socket socket, const asio::ip::address& client);

 private:
  awaitable<Exchange> Fetch(Connection& c, RequestParser& parser, const NetworkTarget& target,
                            bool keepAlive) override {
    return host::Fetch(network, c, parser, target, keepAlive);
  }
  awaitable<Exchange> OpenTunnel(Connection& c, const NetworkTarget& target) override {
    return host::OpenTunnel(network, c, target);
  }
  bool Intercepts(const NetworkTarget& target) override {
    return host::Intercepts(intercepting, target);
  }
  awaitable<Exchange> Intercept(Connection& c, const NetworkTarget& target) override {
    return host::Intercept(intercepting, c, target);
  }
};

Server::Server(const FilterLibrary& f, ProxyOptions o)
    : library(f),
      options(std::move(o)),
      // Two shards per core measured faster than one per core on the disc and the relay path,
      // and than four per core on every path: each shard more is one more thread going to sleep
      // and waking in epoll_wait. Only the main io_context's address is taken here; it is built
      // just after.
      workers(io,
              options.threads != 0 ? options.threads
                                   : std::max(4u, 2 * std::thread::hardware_concurrency()),
              // A thread held by a slow browser gets a stand-in: at most one per connection.
              static_cast<unsigned>(std::min<std::size_t>(options.maxConnections, 4096)) + 64),
      acceptor(io),
      signals(io, SIGINT, SIGTERM),
      log(options.quiet, options.accessLog),
      launches(!options.noLaunch),
      // Half the default total for one origin: below the requests in flight to a busy origin,
      // each answer past the bound closed its connection and a later request opened a new one.
      pool({.perOrigin = 64, .total = options.keptOrigins, .idle = std::chrono::seconds(15)}) {}

MetricsSnapshot Server::Watch() {
  MetricsSnapshot snapshot = metrics.Read();
  snapshot.certificatesMade = ca ? ca->made() : 0;
  snapshot.openConnections = active.load();
  snapshot.waitingConnections = sessions.Waiting();
  snapshot.keptOrigins = pool.kept();
  snapshot.workerThreads = workers.threads();
  snapshot.workerThreadsHeld = workers.held();
  return snapshot;
}

awaitable<void> Server::Accept() {
  asio::steady_timer backoff(io);
  for (;;) {
    auto [ec, socket] =
        co_await acceptor.async_accept(asio::make_strand(workers.NextShard()), kTuple);
    if (ec) {
      if (ec == asio::error::operation_aborted || stopping) co_return;
      // Out of descriptors or memory: accepting again at once would fail again at once, so wait
      // (the connection stays in the backlog meanwhile). A connection reset before it was taken
      // costs no wait.
      if (ec == asio::error::no_descriptors || ec == asio::error::no_buffer_space ||
          ec == asio::error::no_memory ||
          ec == boost::system::errc::too_many_files_open_in_system) {
        backoff.expires_after(kAcceptBackoff);
        co_await backoff.async_wait(kTuple);
      }
      continue;
    }
    boost::system::error_code peerError;
    const tcp::endpoint peer = socket.remote_endpoint(peerError);
    if (peerError) continue;  // gone before it was taken
    const asio::ip::address client = Unmapped(peer.address());
    if (active.load() >= options.maxConnections) {
      // One try, never a wait: a full socket must not hold up the accepting.
      const std::string busy = OwnAnswer(
          {503, Reason::kLimit, "The proxy serves as many connections as it may.", {}, {}, {}},
          false, true);
      WriteAll(socket.native_handle(), busy, std::chrono::milliseconds(0), nullptr);
      continue;
    }
    if (!perClient.Enter(client)) {
      const std::string busy = OwnAnswer(
          {503, Reason::kLimit, "Your address holds as many connections as it may.", {}, {}, {}},
          false, true);
      log.Write(
          {client.to_string(), {}, 503, 0, {}, {}, Answer::kProxy, ReasonName(Reason::kLimit)});
      metrics.Request(Answer::kProxy, ReasonName(Reason::kLimit), {});
      WriteAll(socket.native_handle(), busy, std::chrono::milliseconds(0), nullptr);
      continue;
    }
    // A client at one of this machine's own addresses is this machine too.
    if (!allowed.Allows(client) && !self.IsThisMachine(client)) {
      Refuse(std::move(socket), client);
      continue;
    }
    Spawn(std::move(socket), peer.address());
  }
}

void Server::Spawn(tcp::socket socket, const asio::ip::address& peer) {
  ++active;
  const asio::ip::address client = Unmapped(peer);
  auto executor = socket.get_executor();
  asio::co_spawn(executor, Session(sessionServices, std::move(socket), peer),
                 [this, client](std::exception_ptr error) {
                   ReportFailure(error);
                   perClient.Leave(client);
                   ++served;
                   --active;
                 });
}

void Server::Refuse(tcp::socket socket, const asio::ip::address& client) {
  // Counted like a connection (and among the client's), so refusals are bounded like them.
  ++active;
  log.Write(
      {client.to_string(), {}, 403, 0, {}, {}, Answer::kProxy, ReasonName(Reason::kNotAllowed)});
  metrics.Request(Answer::kProxy, ReasonName(Reason::kNotAllowed), {});
  auto executor = socket.get_executor();
  asio::co_spawn(executor, RefuseClient(options.readTimeout, &workers, std::move(socket)),
                 [this, client](std::exception_ptr error) {
                   ReportFailure(error);
                   perClient.Leave(client);
                   ++served;
                   --active;
                 });
}

awaitable<void> Server::TrimWhenIdle() {
  // Kept origin connections past their time are closed. After a burst the allocator keeps what
  // the connections used; once no connection is open the proxy returns to its idle size.
  asio::steady_timer timer(io);
  std::uint64_t trimmedAt = 0;
  while (!stopping) {
    timer.expires_after(kTrimInterval);
    co_await timer.async_wait(kTuple);
    pool.Sweep();
    const std::uint64_t now = served.load();
    if (active.load() != 0 || now == trimmedAt) continue;
    trimmedAt = now;
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
  }
}

awaitable<void> Server::RefreshDisc() {
  asio::steady_timer timer(io);
  while (!stopping) {
    timer.expires_after(kDiscRefreshInterval);
    co_await timer.async_wait(kTuple);
    if (!pages.Changed()) continue;
    // Rereading a large disc's sites takes a while: the main shard goes on meanwhile.
    const Workers::Blocking reading(&workers);
    pages.Refresh();
  }
}

awaitable<void> Server::Drain() {
  asio::steady_timer timer(io);
  const auto started = std::chrono::steady_clock::now();
  while (active.load() > 0 && std::chrono::steady_clock::now() - started < options.shutdownGrace) {
    timer.expires_after(std::chrono::milliseconds(50));
    co_await timer.async_wait(kTuple);
  }
  io.stop();
}

Proxy::Proxy(const FilterLibrary& filter, ProxyOptions options) {
  FitDescriptors(options);
  server_ = std::make_unique<Server>(filter, std::move(options));
}

Proxy::~Proxy() = default;

std::filesystem::path Proxy::caCertificate() const {
  return server_->ca ? server_->ca->certificatePath() : std::filesystem::path();
}

bool Proxy::caCreated() const { return server_->ca && server_->ca->created(); }

std::vector<std::string> Proxy::caOutside() const {
  return server_->ca ? server_->ca->outside() : std::vector<std::string>();
}

bool Proxy::discHoldsHttps() const {
  const auto sites = server_->pages.Sites();
  return std::any_of(sites.begin(), sites.end(),
                     [](const SiteSummary& site) { return site.secure; });
}

bool Proxy::caConstrained() const { return server_->ca && server_->ca->constrained(); }

std::string Proxy::caMadeBecause() const {
  return server_->ca ? server_->ca->madeBecause() : std::string();
}

std::uint16_t Proxy::Listen() {
  Server& s = *server_;
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(s.options.address, ec);
  if (ec) throw HostError("bad listen address " + s.options.address);
  const tcp::endpoint endpoint(address, s.options.port);
  s.acceptor.open(endpoint.protocol(), ec);
  if (!ec) s.acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
  if (!ec) s.acceptor.bind(endpoint, ec);
  if (ec == asio::error::address_in_use) {
    throw HostError("port " + std::to_string(s.options.port) + " on " + s.options.address +
                    " is already in use");
  }
  if (!ec) s.acceptor.listen(asio::socket_base::max_listen_connections, ec);
  if (ec)
    throw HostError("cannot listen on " + s.options.address + ":" + std::to_string(s.options.port) +
                    ": " + ec.message());
  const tcp::endpoint bound = s.acceptor.local_endpoint();
  s.self.Set(bound);
  s.viaName = HostName() + ":" + std::to_string(bound.port());
  s.via = "1.1 " + s.viaName + " (quillon-proxy)";
  return bound.port();
}

void Proxy::Run() {
  Server& s = *server_;
  asio::co_spawn(s.io, s.Accept(), asio::detached);
  asio::co_spawn(s.io, s.TrimWhenIdle(), asio::detached);
  if (!s.options.disc.empty()) asio::co_spawn(s.io, s.RefreshDisc(), asio::detached);
  // SIGHUP: the access log's file was rotated; the next line goes to a file of its name.
  asio::signal_set hangups(s.io, SIGHUP);
  std::function<void(const boost::system::error_code&, int)> reopen =
      [&s, &hangups, &reopen](const boost::system::error_code& ec, int) {
        if (ec) return;
        s.log.Reopen();
        hangups.async_wait(reopen);
      };
  hangups.async_wait(reopen);
  s.signals.async_wait([&s, &hangups](const boost::system::error_code& ec, int) {
    if (ec) return;
    // Stop taking connections, close the idle ones, let requests in flight finish.
    s.stopping = true;
    boost::system::error_code ignored;
    s.acceptor.close(ignored);
    hangups.cancel(ignored);
    s.sessions.CancelWaiting();
    asio::co_spawn(s.io, s.Drain(), asio::detached);
  });
  s.workers.Run();
}

}  // namespace quillon::host
