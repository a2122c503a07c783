#include "proxy.h"

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/asio.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "target.h"

#include "common/ascii.h"

namespace quillon::host {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using asio::awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);
constexpr std::size_t kRelayBlock = 64 * 1024;
constexpr std::string_view kVia = "1.1 quillon-proxy";

// Who answered a request, for the access log.
enum class Answer { kFilter, kNetwork, kDiscFallback, kProxy };

const char* AnswerName(Answer answer) {
  switch (answer) {
    case Answer::kFilter:
      return "filter";
    case Answer::kNetwork:
      return "network";
    case Answer::kDiscFallback:
      return "disc-fallback";
    case Answer::kProxy:
      return "proxy";
  }
  return "?";
}

// Writes every byte within the deadline, whatever the socket's blocking mode. The filter's own
// replies are written this way, from inside its notification.
bool WriteAll(int fd, std::string_view data, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!data.empty()) {
    const ssize_t sent = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
    if (sent > 0) {
      data.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  }
  return true;
}

// Connection-level headers never cross the proxy, nor any the Connection header names.
template <typename Fields>
bool IsHopByHop(const Fields& fields, std::string_view name) {
  static constexpr std::string_view kHop[] = {"connection",
                                              "keep-alive",
                                              "proxy-connection",
                                              "proxy-authorization",
                                              "proxy-authenticate",
                                              "te",
                                              "trailer",
                                              "transfer-encoding",
                                              "upgrade"};
  for (std::string_view hop : kHop) {
    if (AsciiEqualsIgnoreCase(name, hop)) return true;
  }
  for (auto it = fields.find(http::field::connection);
       it != fields.end() && it->name() == http::field::connection; ++it) {
    std::string_view list = it->value();
    while (!list.empty()) {
      std::size_t comma = list.find(',');
      std::string_view token = list.substr(0, comma);
      while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
      while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
      if (AsciiEqualsIgnoreCase(token, name)) return true;
      list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    }
  }
  return false;
}

template <typename Fields>
void AppendEndToEndFields(std::string& out, const Fields& fields) {
  for (const auto& field : fields) {
    if (IsHopByHop(fields, field.name_string())) continue;
    out.append(field.name_string()).append(": ").append(field.value()).append("\r\n");
  }
}

std::string OwnAnswer(unsigned status, std::string_view reason, std::string_view text, bool close) {
  std::string body =
      std::to_string(status) + " " + std::string(reason) + "\n" + std::string(text) + "\n";
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  out += "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (close) out += "Connection: close\r\n";
  out += "\r\n";
  return out + body;
}

bool IsExecutablePath(std::string_view path) {
  path = path.substr(0, path.find('?'));
  if (path.size() < 4) return false;
  std::string_view tail = path.substr(path.size() - 4);
  return AsciiEqualsIgnoreCase(tail, ".exe") || AsciiEqualsIgnoreCase(tail, ".dll");
}

std::string LogTime() {
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  char text[40];
  std::strftime(text, sizeof text, "%d/%b/%Y:%H:%M:%S +0000", &utc);
  return text;
}

}  // namespace

namespace {

using RequestParser = http::request_parser<http::buffer_body>;

// What every part of one connection's work reaches.
struct Connection {
  beast::tcp_stream& client;
  beast::flat_buffer& buffer;
  FilterSession& filter;
  std::chrono::milliseconds writeTimeout;
  int fd() const { return const_cast<beast::tcp_stream&>(client).socket().native_handle(); }
};

constexpr std::string_view kLastChunk = "0\r\n\r\n";

std::string ChunkFrame(std::string_view data) {
  char size[24];
  std::snprintf(size, sizeof size, "%zx\r\n", data.size());
  std::string framed = size;
  framed.append(data).append("\r\n");
  return framed;
}

// The outcome of one request on a connection.
struct Exchange {
  unsigned status = 0;
  std::uint64_t bytes = 0;
  Answer answer = Answer::kProxy;
  bool keepAlive = false;
  bool abandoned = false;  // the browser went away before it could be answered
};

unsigned StatusOf(std::string_view statusLine) {
  // "HTTP/1.1 302 redirect"
  const std::size_t space = statusLine.find(' ');
  if (space == std::string_view::npos) return 0;
  unsigned status = 0;
  for (std::size_t i = space + 1;
       i < statusLine.size() && statusLine[i] >= '0' && statusLine[i] <= '9'; ++i) {
    status = status * 10 + static_cast<unsigned>(statusLine[i] - '0');
  }
  return status;
}

// A reply the filter made (in pre-processed headers or in send-raw-data) decides the exchange.
Exchange FilterAnswered(const FilterSession& filter, Answer answer, bool clientKeepAlive) {
  const FilterReply& reply = filter.reply();
  return {StatusOf(reply.statusLine), reply.bodyBytes, answer, clientKeepAlive && reply.Complete()};
}

}  // namespace

struct Proxy::State {
  State(const FilterLibrary& f, ProxyOptions o)
      : library(f), options(std::move(o)), acceptor(io), signals(io, SIGINT, SIGTERM) {}

  const FilterLibrary& library;
  ProxyOptions options;
  asio::io_context io;
  tcp::acceptor acceptor;
  asio::signal_set signals;
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> active{0};
  std::mutex logMutex;

  // Connections waiting for their next request, so shutdown can close them at once.
  std::mutex idleMutex;
  std::set<beast::tcp_stream*> idle;

  void SetIdle(beast::tcp_stream* stream, bool isIdle) {
    std::lock_guard lock(idleMutex);
    if (isIdle && !stopping) {
      idle.insert(stream);
    } else {
      idle.erase(stream);
    }
  }

  void Log(const std::string& remote, const RequestHead& head, std::string_view requestLine,
           unsigned status, std::uint64_t bytes, Answer answer) {
    if (options.quiet) return;
    auto header = [&head](http::field f) {
      auto it = head.find(f);
      return it == head.end() ? std::string("-") : std::string(it->value());
    };
    std::string line = remote + " - - [" + LogTime() + "] \"" + std::string(requestLine) + "\" " +
                       std::to_string(status) + " " + std::to_string(bytes) + " \"" +
                       header(http::field::referer) + "\" \"" + header(http::field::user_agent) +
                       "\" " + AnswerName(answer) + "\n";
    std::lock_guard lock(logMutex);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
  }

  awaitable<void> Accept();
  awaitable<void> Drain();
  awaitable<void> CloseAfterError(beast::tcp_stream& client, std::string_view answer);
  struct HeadRead {
    enum Result { kClosed, kTooLarge, kComplete } result;
    std::size_t length;  // of the head, with its empty line
  };
  struct Sent {
    boost::system::error_code error;  // writing to the network
    bool clientGone = false;          // the browser went away while sending its body
  };
  awaitable<HeadRead> ReadHead(Connection& c, bool first);
  Exchange SendOwnAnswer(Connection& c, bool keepAlive, unsigned status, std::string_view reason,
                         std::string_view text);
  // 504 when the network timed out, 502 for any other failure.
  Exchange NetworkFailed(Connection& c, bool keepAlive, const boost::system::error_code& failure,
                         std::string_view what);
  awaitable<boost::system::error_code> ConnectUpstream(beast::tcp_stream& upstream,
                                                       const NetworkTarget& target);
  awaitable<Sent> SendUpstreamRequest(Connection& c, RequestParser& parser,
                                      beast::tcp_stream& upstream, const NetworkTarget& target);
  awaitable<Exchange> Fetch(Connection& c, RequestParser& parser, const NetworkTarget& target,
                            bool keepAlive);
  awaitable<Exchange> Respond(Connection& c, RequestParser& parser, std::string_view rawHead,
                              bool keepAlive);
  awaitable<void> Session(tcp::socket socket);
  awaitable<void> Tunnel(beast::tcp_stream& client, beast::flat_buffer& buffer,
                         const NetworkTarget& target);
};

awaitable<void> Proxy::State::Accept() {
  for (;;) {
    auto [ec, socket] = co_await acceptor.async_accept(asio::make_strand(io), kTuple);
    if (ec) {
      if (ec == asio::error::operation_aborted || stopping) co_return;
      continue;  // a failed accept (no descriptors, say) must not stop the server
    }
    if (active.load() >= options.maxConnections) {
      const std::string busy = OwnAnswer(503, "Service Unavailable", "Too many connections.", true);
      WriteAll(socket.native_handle(), busy, std::chrono::milliseconds(100));
      continue;
    }
    ++active;
    auto executor = socket.get_executor();
    asio::co_spawn(executor, Session(std::move(socket)), [this](std::exception_ptr) { --active; });
  }
}

awaitable<void> Proxy::State::Drain() {
  asio::steady_timer timer(io);
  const auto started = std::chrono::steady_clock::now();
  while (active.load() > 0 && std::chrono::steady_clock::now() - started < options.shutdownGrace) {
    timer.expires_after(std::chrono::milliseconds(50));
    co_await timer.async_wait(kTuple);
  }
  io.stop();
}

awaitable<Proxy::State::HeadRead> Proxy::State::ReadHead(Connection& c, bool first) {
  SetIdle(&c.client, true);
  c.client.expires_after(first ? options.headTimeout : options.idleTimeout);
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
    const std::size_t found = now.find("\r\n\r\n", searched > 3 ? searched - 3 : 0);
    if (found != std::string_view::npos) co_return HeadRead{HeadRead::kComplete, found + 4};
    searched = now.size();
    if (now.size() >= options.headLimit) co_return HeadRead{HeadRead::kTooLarge, 0};
    auto [ec, n] = co_await c.client.async_read_some(
        c.buffer.prepare(std::min<std::size_t>(16 * 1024, options.headLimit - now.size())), kTuple);
    SetIdle(&c.client, false);
    // Closed, reset, or the head timed out: nothing more to say.
    if (ec) co_return HeadRead{HeadRead::kClosed, 0};
    c.buffer.commit(n);
  }
}

Exchange Proxy::State::SendOwnAnswer(Connection& c, bool keepAlive, unsigned status,
                                     std::string_view reason, std::string_view text) {
  // Through send-raw-data like any other answer: an armed disc copy may replace it.
  const std::string answer = OwnAnswer(status, reason, text, false);
  const std::size_t split = answer.find("\r\n\r\n") + 4;
  if (!c.filter.PassBlock(std::string_view(answer).substr(0, split))) {
    return FilterAnswered(c.filter, Answer::kDiscFallback, keepAlive);
  }
  const bool sent = WriteAll(c.fd(), answer, c.writeTimeout);
  return Exchange{status, answer.size() - split, Answer::kProxy, sent && keepAlive};
}

Exchange Proxy::State::NetworkFailed(Connection& c, bool keepAlive,
                                     const boost::system::error_code& failure,
                                     std::string_view what) {
  if (failure == beast::error::timeout) {
    return SendOwnAnswer(c, keepAlive, 504, "Gateway Timeout",
                         "The network did not answer in time.");
  }
  return SendOwnAnswer(c, keepAlive, 502, "Bad Gateway",
                       "The network " + std::string(what) + ": " + failure.message());
}

awaitable<boost::system::error_code> Proxy::State::ConnectUpstream(beast::tcp_stream& upstream,
                                                                   const NetworkTarget& target) {
  const auto executor = co_await asio::this_coro::executor;
  tcp::resolver resolver(executor);
  asio::steady_timer timer(executor, options.connectTimeout);
  auto resolved =
      co_await (resolver.async_resolve(target.host, std::to_string(target.port), kTuple) ||
                timer.async_wait(kTuple));
  if (resolved.index() == 1) co_return beast::error::timeout;
  auto [ec, results] = std::get<0>(resolved);
  if (ec) co_return ec;
  upstream.expires_after(options.connectTimeout);
  auto [connectError, endpoint] = co_await upstream.async_connect(results, kTuple);
  co_return connectError;
}

awaitable<Proxy::State::Sent> Proxy::State::SendUpstreamRequest(Connection& c,
                                                                RequestParser& parser,
                                                                beast::tcp_stream& upstream,
                                                                const NetworkTarget& target) {
  auto& request = parser.get();
  // The request, minus what concerns only the browser's connection.
  std::string head = std::string(request.method_string()) + " " + target.path + " HTTP/1.1\r\n";
  if (request.find(http::field::host) == request.end()) {
    head += "Host: " + target.host +
            (target.port == 80 ? std::string() : ":" + std::to_string(target.port)) + "\r\n";
  }
  AppendEndToEndFields(head, request);
  head += "Via: " + std::string(kVia) + "\r\n";
  if (parser.chunked()) head += "Transfer-Encoding: chunked\r\n";
  head += "Connection: close\r\n\r\n";
  upstream.expires_after(options.readTimeout);
  auto [writeError, written] = co_await asio::async_write(upstream, asio::buffer(head), kTuple);
  if (writeError) co_return Sent{writeError, false};

  // The body, streamed block by block.
  std::vector<char> block(kRelayBlock);
  while (!parser.is_done()) {
    request.body().data = block.data();
    request.body().size = block.size();
    c.client.expires_after(options.readTimeout);
    auto [readError, n] = co_await http::async_read_some(c.client, c.buffer, parser, kTuple);
    if (readError == http::error::need_buffer) readError = {};
    if (readError) co_return Sent{{}, true};
    const std::size_t got = block.size() - request.body().size;
    if (got == 0) continue;
    const std::string_view data(block.data(), got);
    const std::string framed = parser.chunked() ? ChunkFrame(data) : std::string();
    upstream.expires_after(options.readTimeout);
    auto [e, m] = co_await asio::async_write(
        upstream, asio::buffer(parser.chunked() ? std::string_view(framed) : data), kTuple);
    if (e) co_return Sent{e, false};
  }
  if (parser.chunked()) {
    auto [e, m] = co_await asio::async_write(upstream, asio::buffer(kLastChunk), kTuple);
    co_return Sent{e, false};
  }
  co_return Sent{};
}

awaitable<Exchange> Proxy::State::Fetch(Connection& c, RequestParser& parser,
                                        const NetworkTarget& target, bool keepAlive) {
  const auto executor = co_await asio::this_coro::executor;
  beast::tcp_stream upstream(executor);
  boost::system::error_code failure = co_await ConnectUpstream(upstream, target);
  if (failure) co_return NetworkFailed(c, keepAlive, failure, "could not be reached");
  const Sent sent = co_await SendUpstreamRequest(c, parser, upstream, target);
  if (sent.clientGone) co_return Exchange{0, 0, Answer::kProxy, false, true};

  http::response_parser<http::buffer_body> response;
  response.header_limit(static_cast<std::uint32_t>(options.headLimit));
  response.body_limit(boost::none);
  if (parser.get().method() == http::verb::head) response.skip(true);
  beast::flat_buffer upstreamBuffer;
  failure = sent.error;
  if (!failure) {
    upstream.expires_after(options.readTimeout);
    auto [e, m] = co_await http::async_read_header(upstream, upstreamBuffer, response, kTuple);
    failure = e;
  }
  if (failure) co_return NetworkFailed(c, keepAlive, failure, "answered badly");

  auto& answer = response.get();
  const bool chunked = response.chunked();
  const bool framed = chunked || response.content_length().has_value() || response.is_done();
  const bool keep = keepAlive && framed;
  std::string head = "HTTP/1.1 " + std::to_string(answer.result_int()) + " " +
                     std::string(answer.reason()) + "\r\n";
  AppendEndToEndFields(head, answer);
  head += "Via: " + std::string(kVia) + "\r\n";
  if (chunked) head += "Transfer-Encoding: chunked\r\n";
  if (!keep) head += "Connection: close\r\n";
  head += "\r\n";
  if (!c.filter.PassBlock(head)) {
    // The filter replaced the network's answer; the rest of it is dropped.
    co_return FilterAnswered(c.filter, Answer::kDiscFallback, keepAlive);
  }
  Exchange exchange{answer.result_int(), 0, Answer::kNetwork, false};
  c.client.expires_after(options.readTimeout);
  auto [headError, m] = co_await asio::async_write(c.client, asio::buffer(head), kTuple);
  if (headError) co_return exchange;

  std::vector<char> block(kRelayBlock);
  while (!response.is_done()) {
    answer.body().data = block.data();
    answer.body().size = block.size();
    upstream.expires_after(options.readTimeout);
    auto [readError, n] =
        co_await http::async_read_some(upstream, upstreamBuffer, response, kTuple);
    if (readError == http::error::need_buffer) readError = {};
    const bool endOfUnframedBody = readError == http::error::end_of_stream && !framed;
    if (readError && !endOfUnframedBody) co_return exchange;
    const std::size_t got = block.size() - answer.body().size;
    if (got > 0) {
      const std::string_view data(block.data(), got);
      const std::string framedData = chunked ? ChunkFrame(data) : std::string();
      const std::string_view out = chunked ? std::string_view(framedData) : data;
      if (!c.filter.PassBlock(out)) co_return exchange;  // the filter dropped the rest
      c.client.expires_after(options.readTimeout);
      auto [writeError, w] = co_await asio::async_write(c.client, asio::buffer(out), kTuple);
      if (writeError) co_return exchange;
      exchange.bytes += got;
    }
    if (endOfUnframedBody) co_return exchange;
  }
  if (chunked) {
    if (!c.filter.PassBlock(kLastChunk)) co_return exchange;
    auto [writeError, w] = co_await asio::async_write(c.client, asio::buffer(kLastChunk), kTuple);
    if (writeError) co_return exchange;
  }
  exchange.keepAlive = keep;
  co_return exchange;
}

awaitable<Exchange> Proxy::State::Respond(Connection& c, RequestParser& parser,
                                          std::string_view rawHead, bool keepAlive) {
  auto& request = parser.get();
  // The filter reads an absolute address: a request made straight to the proxy gets one.
  if (request.target().empty() || request.target().front() == '/') {
    auto host = request.find(http::field::host);
    if (host != request.end()) {
      request.target("http://" + std::string(host->value()) + std::string(request.target()));
    }
  }
  c.filter.StartRequest(&request);
  c.filter.ReadRawData(rawHead);
  if (c.filter.PreprocHeaders() == SF_STATUS_REQ_FINISHED) {
    co_return FilterAnswered(c.filter, Answer::kFilter, keepAlive);
  }
  c.filter.UrlMap();
  const auto target = ParseHttpTarget(request.target());
  if (!target) {
    co_return SendOwnAnswer(c, keepAlive, 501, "Not Implemented",
                            "Only http:// addresses are proxied.");
  }
  if (OnDomain(target->host, options.catalogueDomain)) {
    // The disc's own host never reaches the network.
    if (target->path.starts_with("/program/") && IsExecutablePath(target->path)) {
      co_return SendOwnAnswer(c, keepAlive, 501, "Not Implemented",
                              "Programs on the disc cannot run here.");
    }
    co_return SendOwnAnswer(c, keepAlive, 404, "Not Found", "Not on the disc.");
  }
  if (options.offline) {
    co_return SendOwnAnswer(c, keepAlive, 504, "Gateway Timeout",
                            "Offline: the network is not used.");
  }
  co_return co_await Fetch(c, parser, *target, keepAlive);
}

awaitable<void> Proxy::State::Session(tcp::socket socket) {
  beast::tcp_stream client(std::move(socket));
  std::string remote = "-";
  {
    boost::system::error_code ec;
    auto endpoint = client.socket().remote_endpoint(ec);
    if (!ec) remote = endpoint.address().to_string();
    client.socket().set_option(tcp::no_delay(true), ec);
    client.socket().native_non_blocking(true, ec);
  }
  const int fd = client.socket().native_handle();
  const auto writeTimeout = options.readTimeout;
  FilterSession filter(library, [fd, writeTimeout](std::string_view bytes) {
    return WriteAll(fd, bytes, writeTimeout);
  });
  struct IdleGuard {
    State* state;
    beast::tcp_stream* stream;
    ~IdleGuard() { state->SetIdle(stream, false); }
  } idleGuard{this, &client};
  beast::flat_buffer buffer;
  Connection c{client, buffer, filter, writeTimeout};

  for (bool first = true; !stopping; first = false) {
    const HeadRead head = co_await ReadHead(c, first);
    if (head.result == HeadRead::kClosed) co_return;
    if (head.result == HeadRead::kTooLarge) {
      co_await CloseAfterError(client, OwnAnswer(431, "Request Header Fields Too Large",
                                                 "The request head is too large.", true));
      co_return;
    }
    RequestParser parser;
    parser.header_limit(static_cast<std::uint32_t>(options.headLimit));
    parser.body_limit(boost::none);
    const std::string rawHead(static_cast<const char*>(buffer.data().data()), head.length);
    boost::system::error_code parseError;
    parser.put(asio::buffer(rawHead), parseError);
    if (parseError || !parser.is_header_done()) {
      co_await CloseAfterError(client, OwnAnswer(400, "Bad Request", "Malformed request.", true));
      co_return;
    }
    buffer.consume(head.length);
    auto& request = parser.get();
    const std::string requestLine = std::string(request.method_string()) + " " +
                                    std::string(request.target()) +
                                    (request.version() == 10 ? " HTTP/1.0" : " HTTP/1.1");

    if (request.method() == http::verb::connect) {
      // Tunnelled as it is: the filter never sees encrypted traffic.
      auto target = ParseAuthority(request.target(), 443);
      if (!target || options.offline || options.noConnect) {
        WriteAll(fd, OwnAnswer(403, "Forbidden", "Tunnels are not allowed here.", true),
                 writeTimeout);
        Log(remote, request, requestLine, 403, 0, Answer::kProxy);
        co_return;
      }
      Log(remote, request, requestLine, 200, 0, Answer::kNetwork);
      co_await Tunnel(client, buffer, *target);
      co_return;
    }

    // A body the filter or the proxy answered without reading would be taken for the next
    // request: such a connection closes after its answer.
    const bool keepAlive = parser.keep_alive() && parser.is_done();
    const Exchange exchange = co_await Respond(c, parser, rawHead, keepAlive);
    if (exchange.abandoned) co_return;
    Log(remote, request, requestLine, exchange.status, exchange.bytes, exchange.answer);
    if (!exchange.keepAlive) {
      boost::system::error_code ignored;
      client.socket().shutdown(tcp::socket::shutdown_send, ignored);
      co_return;
    }
  }
}

awaitable<void> Proxy::State::CloseAfterError(beast::tcp_stream& client, std::string_view answer) {
  // The browser may still be sending what the proxy refused: read it away for a moment after the
  // answer, or closing with unread data would reset the connection and lose the answer.
  if (!WriteAll(client.socket().native_handle(), answer, options.readTimeout)) co_return;
  boost::system::error_code ignored;
  client.socket().shutdown(tcp::socket::shutdown_send, ignored);
  client.expires_after(std::chrono::seconds(1));
  std::vector<char> discard(16 * 1024);
  for (std::size_t drained = 0; drained < 1024 * 1024;) {
    auto [ec, n] = co_await client.async_read_some(asio::buffer(discard), kTuple);
    if (ec) break;
    drained += n;
  }
}

awaitable<void> Proxy::State::Tunnel(beast::tcp_stream& client, beast::flat_buffer& buffer,
                                     const NetworkTarget& target) {
  const auto executor = co_await asio::this_coro::executor;
  tcp::resolver resolver(executor);
  auto [resolveError, results] =
      co_await resolver.async_resolve(target.host, std::to_string(target.port), kTuple);
  beast::tcp_stream upstream(executor);
  boost::system::error_code failure = resolveError;
  if (!failure) {
    upstream.expires_after(options.connectTimeout);
    auto [e, endpoint] = co_await upstream.async_connect(results, kTuple);
    failure = e;
  }
  const int fd = client.socket().native_handle();
  if (failure) {
    WriteAll(fd, OwnAnswer(502, "Bad Gateway", "The tunnel could not be opened.", true),
             options.readTimeout);
    co_return;
  }
  if (!WriteAll(fd, "HTTP/1.1 200 Connection Established\r\n\r\n", options.readTimeout)) co_return;
  if (buffer.size() > 0) {
    auto [e, n] = co_await asio::async_write(upstream, buffer.data(), kTuple);
    if (e) co_return;
    buffer.consume(buffer.size());
  }
  const auto idle = options.idleTimeout;
  auto relay = [idle](beast::tcp_stream& from, beast::tcp_stream& to) -> awaitable<void> {
    std::vector<char> block(kRelayBlock);
    for (;;) {
      from.expires_after(idle);
      auto [readError, n] = co_await from.async_read_some(asio::buffer(block), kTuple);
      if (n > 0) {
        to.expires_after(idle);
        auto [writeError, m] =
            co_await asio::async_write(to, asio::buffer(block.data(), n), kTuple);
        if (writeError) break;
      }
      if (readError) break;
    }
    boost::system::error_code ignored;
    to.socket().shutdown(tcp::socket::shutdown_send, ignored);
  };
  co_await (relay(client, upstream) && relay(upstream, client));
}

Proxy::Proxy(const FilterLibrary& filter, ProxyOptions options)
    : state_(std::make_unique<State>(filter, std::move(options))) {}

Proxy::~Proxy() = default;

std::uint16_t Proxy::Listen() {
  State& s = *state_;
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
  return s.acceptor.local_endpoint().port();
}

void Proxy::Run() {
  State& s = *state_;
  asio::co_spawn(s.io, s.Accept(), asio::detached);
  s.signals.async_wait([&s](const boost::system::error_code& ec, int) {
    if (ec) return;
    // Stop taking connections, close the idle ones, let requests in flight finish.
    s.stopping = true;
    boost::system::error_code ignored;
    s.acceptor.close(ignored);
    {
      std::lock_guard lock(s.idleMutex);
      for (beast::tcp_stream* stream : s.idle) {
        asio::post(stream->get_executor(), [&s, stream] {
          std::lock_guard inner(s.idleMutex);
          if (s.idle.count(stream) != 0) stream->cancel();
        });
      }
    }
    asio::co_spawn(s.io, s.Drain(), asio::detached);
  });
  unsigned threads = s.options.threads;
  if (threads == 0) threads = std::max(4u, 4 * std::thread::hardware_concurrency());
  std::vector<std::thread> pool;
  for (unsigned i = 1; i < threads; ++i) pool.emplace_back([&s] { s.io.run(); });
  s.io.run();
  for (std::thread& t : pool) t.join();
}

}  // namespace quillon::host
