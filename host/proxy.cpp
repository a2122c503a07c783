// The server: listening, accepting within the limits, shutdown.
#include "proxy.h"

#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "own_answers.h"
#include "proxy_state.h"

namespace quillon::host {

namespace {

// Descriptors the proxy needs besides its connections: standard streams, the event loop, the
// listening socket, the catalogue, the filter's disc files.
constexpr rlim_t kReservedDescriptors = 32;
// Each connection may hold two: the browser's and the origin's (or the filter's disc file).
constexpr rlim_t kDescriptorsPerConnection = 2;
// How often an idle proxy hands freed memory back to the system.
constexpr auto kTrimInterval = std::chrono::seconds(2);
// How often the disc's sites are read again when the catalogue changed, for the interception
// check, which reads them without a query.
constexpr auto kDiscRefreshInterval = std::chrono::seconds(1);
// Accepting again after the process ran out of descriptors: clients wait in the backlog meanwhile.
constexpr auto kAcceptBackoff = std::chrono::milliseconds(100);

// Raises the soft descriptor limit to the hard one and fits the connections and the kept origin
// connections (at most an eighth of what is left) within it.
void FitDescriptors(ProxyOptions& options) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  if (limit.rlim_cur == RLIM_INFINITY) return;
  const std::size_t left = limit.rlim_cur > kReservedDescriptors + kDescriptorsPerConnection
                               ? static_cast<std::size_t>(limit.rlim_cur - kReservedDescriptors)
                               : kDescriptorsPerConnection;
  options.keptOrigins = std::min(options.keptOrigins, left / 8);
  const std::size_t allowed =
      std::max<std::size_t>(1, (left - options.keptOrigins) / kDescriptorsPerConnection);
  if (options.maxConnections > allowed) {
    std::fprintf(stderr,
                 "quillon-proxy: the descriptor limit allows %zu connections; serving at most "
                 "that many\n",
                 allowed);
    options.maxConnections = allowed;
  }
}

// The answer to a client outside --allow; its request is read away so that closing does not
// reset the connection before it is read.
awaitable<void> RefuseClient(ProxyState& s, tcp::socket socket) {
  boost::system::error_code ignored;
  socket.native_non_blocking(true, ignored);
  beast::tcp_stream client(std::move(socket));
  std::string answer =
      OwnAnswer({403, Reason::kNotAllowed, "This proxy does not serve your address.", {}, {}, {}},
                false, true);
  co_await CloseAfterAnswer(s, client, std::move(answer));
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

void SelfAddresses::Set(const tcp::endpoint& listening) {
  listening_ = tcp::endpoint(Unmapped(listening.address()), listening.port());
  local_.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr) continue;
    if (it->ifa_addr->sa_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
      local_.push_back(asio::ip::address_v4(ntohl(in->sin_addr.s_addr)));
    } else if (it->ifa_addr->sa_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
      asio::ip::address_v6::bytes_type bytes;
      std::copy(std::begin(in6->sin6_addr.s6_addr), std::end(in6->sin6_addr.s6_addr),
                bytes.begin());
      local_.push_back(asio::ip::address_v6(bytes, in6->sin6_scope_id));
    }
  }
  freeifaddrs(list);
}

bool SelfAddresses::Contains(const tcp::endpoint& endpoint) const {
  if (endpoint.port() != listening_.port()) return false;
  const asio::ip::address address = Unmapped(endpoint.address());
  if (address == listening_.address()) return true;
  if (!listening_.address().is_unspecified()) return false;
  // A wildcard listener answers on every local address.
  if (address.is_loopback() || address.is_unspecified()) return true;
  for (const auto& local : local_) {
    if (local == address) return true;
  }
  return false;
}

bool SelfAddresses::IsThisMachine(const asio::ip::address& candidate) const {
  const asio::ip::address address = Unmapped(candidate);
  if (address.is_loopback() || address.is_unspecified()) return true;
  return std::find(local_.begin(), local_.end(), address) != local_.end();
}

std::string SelfAddresses::listen() const {
  const auto address = listening_.address();
  const std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return text + ":" + std::to_string(listening_.port());
}

std::unique_ptr<char[]> LargeBlocks::Take() {
  std::lock_guard lock(mutex_);
  if (out_ == kLargeBlockLimit) return nullptr;
  ++out_;
  if (free_.empty()) return std::make_unique_for_overwrite<char[]>(kLargeBlock);
  auto block = std::move(free_.back());
  free_.pop_back();
  return block;
}

void LargeBlocks::Give(std::unique_ptr<char[]> block) {
  std::lock_guard lock(mutex_);
  --out_;
  free_.push_back(std::move(block));
}

ProxyState::ProxyState(const FilterLibrary& f, ProxyOptions o)
    : library(f),
      options(std::move(o)),
      // Four shards per core measured faster than one per core on both the disc and the relay
      // path. Only the main io_context's address is taken here; it is built just after.
      workers(io,
              options.threads != 0 ? options.threads
                                   : std::max(4u, 4 * std::thread::hardware_concurrency()),
              // A thread held by a slow browser gets a stand-in: at most one per connection.
              static_cast<unsigned>(std::min<std::size_t>(options.maxConnections, 4096)) + 64),
      acceptor(io),
      signals(io, SIGINT, SIGTERM),
      log(options.quiet, options.accessLog),
      launches(!options.noLaunch),
      pool({.perOrigin = 16, .total = options.keptOrigins, .idle = std::chrono::seconds(15)}) {}

void ProxyState::Register(OpenSession* open) {
  std::lock_guard lock(sessionsMutex);
  sessions.insert(open);
}

void ProxyState::Unregister(OpenSession* open) {
  std::lock_guard lock(sessionsMutex);
  sessions.erase(open);
}

void ProxyState::Log(const Connection& c, const RequestHead& head, std::string_view requestLine,
                     const Exchange& exchange) {
  auto header = [&head](http::field f) {
    auto it = head.find(f);
    return it == head.end() ? std::string_view() : std::string_view(it->value());
  };
  // Counted first: whoever reads the log line finds the request in the counters too.
  metrics.Request(
      exchange.answer,
      exchange.reason == Reason::kNone ? std::string_view() : ReasonName(exchange.reason),
      std::chrono::steady_clock::now() - c.started);
  log.Write({c.remote, requestLine, exchange.status, exchange.bytes, header(http::field::referer),
             header(http::field::user_agent), exchange.answer, ReasonName(exchange.reason)});
}

MetricsSnapshot ProxyState::Watch() {
  MetricsSnapshot snapshot = metrics.Read();
  snapshot.certificatesMade = ca ? ca->made() : 0;
  snapshot.openConnections = active.load();
  {
    std::lock_guard lock(sessionsMutex);
    for (const OpenSession* open : sessions) snapshot.waitingConnections += open->idle.load();
  }
  snapshot.keptOrigins = pool.kept();
  snapshot.workerThreads = workers.threads();
  snapshot.workerThreadsHeld = workers.held();
  return snapshot;
}

awaitable<void> ProxyState::Accept() {
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
    Spawn(std::move(socket), std::nullopt, client);
  }
}

void ProxyState::Spawn(tcp::socket socket, std::optional<TunnelledClient> tunnelled,
                       std::optional<asio::ip::address> counted) {
  ++active;
  auto executor = socket.get_executor();
  asio::co_spawn(executor, Session(std::move(socket), std::move(tunnelled)),
                 [this, counted](std::exception_ptr error) {
                   ReportFailure(error);
                   if (counted) perClient.Leave(*counted);
                   ++served;
                   --active;
                 });
}

void ProxyState::Refuse(tcp::socket socket, const asio::ip::address& client) {
  // Counted like a connection (and among the client's), so refusals are bounded like them.
  ++active;
  log.Write(
      {client.to_string(), {}, 403, 0, {}, {}, Answer::kProxy, ReasonName(Reason::kNotAllowed)});
  metrics.Request(Answer::kProxy, ReasonName(Reason::kNotAllowed), {});
  auto executor = socket.get_executor();
  asio::co_spawn(executor, RefuseClient(*this, std::move(socket)),
                 [this, client](std::exception_ptr error) {
                   ReportFailure(error);
                   perClient.Leave(client);
                   ++served;
                   --active;
                 });
}

awaitable<void> ProxyState::TrimWhenIdle() {
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

awaitable<void> ProxyState::RefreshDisc() {
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

awaitable<void> ProxyState::Drain() {
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
  state_ = std::make_unique<ProxyState>(filter, std::move(options));
}

Proxy::~Proxy() = default;

std::filesystem::path Proxy::caCertificate() const {
  return state_->ca ? state_->ca->certificatePath() : std::filesystem::path();
}

bool Proxy::caCreated() const { return state_->ca && state_->ca->created(); }

std::uint16_t Proxy::Listen() {
  ProxyState& s = *state_;
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
  ProxyState& s = *state_;
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
    {
      std::lock_guard lock(s.sessionsMutex);
      for (ProxyState::OpenSession* open : s.sessions) {
        // On the connection's own strand: it cannot be between a read and its flag there.
        asio::post(open->stream->get_executor(), [&s, open] {
          std::lock_guard inner(s.sessionsMutex);
          if (s.sessions.count(open) != 0 && open->idle.load()) open->stream->cancel();
        });
      }
    }
    asio::co_spawn(s.io, s.Drain(), asio::detached);
  });
  s.workers.Run();
}

}  // namespace quillon::host
