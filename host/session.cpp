// One browser connection: read each request's head, hand the request on, log its answer, and
// keep the connection or close it.
#include "session.h"

#include "http_rules.h"
#include "own_answers.h"

namespace quillon::host {

namespace {

struct HeadRead {
  enum Result { kClosed, kTooLarge, kComplete } result;
  std::size_t length;  // of the head, with its empty line
};

awaitable<HeadRead> ReadHead(SessionServices& s, Connection& c, OpenSessions::Open& open,
                             bool first) {
  open.idle = !s.stopping;
  const auto timeout = first ? s.options.headTimeout : s.options.idleTimeout;
  std::size_t searched = 0;
  for (;;) {
    const std::string_view now(static_cast<const char*>(c.buffer.data().data()), c.buffer.size());
    // Empty lines before a request are ignored.
    std::size_t blank = 0;
    while (blank < now.size() && (now[blank] == '\r' || now[blank] == '\n')) ++blank;
    if (blank > 0) {
      c.buffer.consume(blank);
      searched = 0;
      continue;
    }
    const std::size_t end = FindHeadEnd(now, searched);
    if (end != std::string_view::npos) co_return HeadRead{HeadRead::kComplete, end};
    searched = now.size();
    if (now.size() >= s.options.headLimit) co_return HeadRead{HeadRead::kTooLarge, 0};
    auto [ec, n] = co_await ReadFromClient(
        c, c.buffer.prepare(std::min<std::size_t>(16 * 1024, s.options.headLimit - now.size())),
        timeout);
    open.idle = false;
    // Closed, reset, or the head timed out: nothing more to say.
    if (ec) co_return HeadRead{HeadRead::kClosed, 0};
    c.buffer.commit(n);
  }
}

// The request counted, then its line in the access log.
void Log(SessionServices& s, const Connection& c, const RequestHead& head,
         std::string_view requestLine, const Exchange& exchange) {
  auto header = [&head](http::field f) {
    auto it = head.find(f);
    return it == head.end() ? std::string_view() : std::string_view(it->value());
  };
  // Counted first: whoever reads the log line finds the request in the counters too.
  s.metrics.Request(
      exchange.answer,
      exchange.reason == Reason::kNone ? std::string_view() : ReasonName(exchange.reason),
      std::chrono::steady_clock::now() - c.started);
  s.log.Write({c.remote, requestLine, exchange.status, exchange.bytes, header(http::field::referer),
               header(http::field::user_agent), exchange.answer, ReasonName(exchange.reason)});
}

}  // namespace

void OpenSessions::Register(Open* open) {
  std::lock_guard lock(mutex_);
  open_.insert(open);
}

void OpenSessions::Unregister(Open* open) {
  std::lock_guard lock(mutex_);
  open_.erase(open);
}

std::size_t OpenSessions::Waiting() {
  std::lock_guard lock(mutex_);
  std::size_t waiting = 0;
  for (const Open* open : open_) waiting += open->idle.load();
  return waiting;
}

void OpenSessions::CancelWaiting() {
  std::lock_guard lock(mutex_);
  for (Open* open : open_) {
    // On the connection's own strand: it cannot be between a read and its flag there.
    asio::post(open->stream->get_executor(), [this, open] {
      std::lock_guard inner(mutex_);
      if (open_.count(open) != 0 && open->idle.load()) open->stream->cancel();
    });
  }
}

namespace {

// What the client still sends is read away for a moment: closing with unread data would reset
// the connection and lose the answer.
awaitable<void> ReadAway(beast::tcp_stream& client) {
  client.expires_after(std::chrono::seconds(1));
  std::vector<char> discard(16 * 1024);
  for (std::size_t drained = 0; drained < 1024 * 1024;) {
    auto [ec, n] = co_await client.async_read_some(asio::buffer(discard), kTuple);
    if (ec) break;
    drained += n;
  }
}

// The end of the connection's sending side: TLS's own end first on an intercepted one.
void EndSend(Connection& c) {
  if (c.tls != nullptr) return c.tls->EndSend();
  boost::system::error_code ignored;
  c.client.socket().shutdown(tcp::socket::shutdown_send, ignored);
}

awaitable<void> CloseAfterAnswer(Connection& c, std::string answer) {
  if (!answer.empty() && !WriteNow(c, answer)) co_return;
  EndSend(c);
  // Undecoded: it is thrown away.
  co_await ReadAway(c.client);
}

// The requests that come on `c`, one after another, until the connection ends or, after an
// intercepted CONNECT, goes on in TLS.
awaitable<void> Serve(SessionServices& s, Connection& c, OpenSessions::Open& open) {
  // Each refusal's answer is made before its co_await: GCC frees the temporaries of a co_await's
  // operands wrongly (a malformed head's 400 crashed the proxy with a double free).
  for (bool first = true; !s.stopping; first = false) {
    const HeadRead head = co_await ReadHead(s, c, open, first);
    if (head.result == HeadRead::kClosed) co_return;
    if (head.result == HeadRead::kTooLarge) {
      std::string answer = OwnAnswer(
          {431, Reason::kLimit, "The request head is longer than the proxy accepts.", {}, {}, {}},
          false, true);
      co_await CloseAfterAnswer(c, std::move(answer));
      co_return;
    }
    RequestParser parser;
    parser.header_limit(static_cast<std::uint32_t>(s.options.headLimit));
    parser.body_limit(boost::none);
    const std::string rawHead(static_cast<const char*>(c.buffer.data().data()), head.length);
    boost::system::error_code parseError;
    parser.put(asio::buffer(rawHead), parseError);
    if (parseError || !parser.is_header_done()) {
      std::string answer = OwnAnswer(
          {400, Reason::kBadRequest, "The request head is malformed.", {}, {}, {}}, false, true);
      co_await CloseAfterAnswer(c, std::move(answer));
      co_return;
    }
    c.buffer.consume(head.length);
    c.started = std::chrono::steady_clock::now();
    auto& request = parser.get();
    const std::string requestLine =
        std::string(request.method_string()) + " " +
        (c.secureAuthority.empty() ? "" : "https://" + c.secureAuthority) +
        std::string(request.target()) + (request.version() == 10 ? " HTTP/1.0" : " HTTP/1.1");
    Outcome outcome = co_await HandleRequest(s.requests, c, parser, rawHead);
    if (outcome.exchange.abandoned) co_return;
    Log(s, c, request, requestLine, outcome.exchange);
    switch (outcome.then) {
      case Outcome::Then::kClose:
        co_await CloseAfterAnswer(c, std::move(outcome.answer));
        co_return;
      case Outcome::Then::kEnd:
        co_return;
      case Outcome::Then::kNext:
        break;
    }
    if (!outcome.exchange.keepAlive || !parser.is_done()) {
      if (!parser.is_done()) {
        // The unread body must not reset the answer.
        co_await CloseAfterAnswer(c, {});
      } else {
        EndSend(c);
      }
      co_return;
    }
  }
}

}  // namespace

awaitable<void> CloseAfterAnswer(beast::tcp_stream& client, std::string answer,
                                 std::chrono::milliseconds writeTimeout, Workers* workers) {
  if (!answer.empty() &&
      !WriteAll(client.socket().native_handle(), answer, writeTimeout, workers)) {
    co_return;
  }
  boost::system::error_code ignored;
  client.socket().shutdown(tcp::socket::shutdown_send, ignored);
  co_await ReadAway(client);
}

awaitable<void> Session(SessionServices& s, tcp::socket socket, asio::ip::address peer) {
  beast::tcp_stream client(std::move(socket));
  const std::string remote = peer.to_string();
  const bool loopback = Unmapped(peer).is_loopback();
  {
    boost::system::error_code ec;
    client.socket().set_option(tcp::no_delay(true), ec);
    client.socket().native_non_blocking(true, ec);
  }
  const int fd = client.socket().native_handle();
  const auto writeTimeout = s.options.readTimeout;
  Workers* pool = &s.workers;
  FilterSession filter(s.library,
                       [fd, writeTimeout, pool](std::string_view first, std::string_view second) {
                         return WriteAll(fd, first, second, writeTimeout, pool);
                       });
  OpenSessions::Open open{&client};
  s.open.Register(&open);
  struct Registered {
    OpenSessions& sessions;
    OpenSessions::Open* open;
    ~Registered() { sessions.Unregister(open); }
  } registered{s.open, &open};
  struct Counted {
    Metrics& metrics;
    beast::tcp_stream& client;
    ~Counted() { metrics.ConnectionEnded(client.socket().native_handle()); }
  } counted{s.metrics, client};
  beast::flat_buffer buffer;
  Connection c{.client = client,
               .buffer = buffer,
               .filter = filter,
               .writeTimeout = writeTimeout,
               .workers = pool,
               .remote = remote,
               .loopback = loopback};
  co_await Serve(s, c, open);
  if (c.secured == nullptr) co_return;

  // An intercepted tunnel: its requests come through the TLS now, on a filter session of their
  // own, as a secure port's connection.
  BrowserTls& tls = *c.secured;
  FilterSession secureFilter(
      s.library,
      [&tls](std::string_view first, std::string_view second) { return tls.Write(first, second); },
      true);
  Connection inner{.client = client,
                   .buffer = buffer,
                   .filter = secureFilter,
                   .writeTimeout = writeTimeout,
                   .workers = pool,
                   .remote = remote,
                   .loopback = loopback,
                   .tls = &tls,
                   .secureAuthority = tls.authority()};
  co_await Serve(s, inner, open);
  tls.EndSend();
}

}  // namespace quillon::host
