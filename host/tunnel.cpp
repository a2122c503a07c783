// Tunnels: CONNECT, and a connection whose protocol was switched by a 101. Bytes pass unfiltered.
#include <algorithm>
#include <boost/asio/experimental/awaitable_operators.hpp>

#include "own_answers.h"
#include "proxy_state.h"

namespace quillon::host {

using namespace asio::experimental::awaitable_operators;

awaitable<std::uint64_t> Splice(beast::tcp_stream& a, beast::tcp_stream& b,
                                std::chrono::milliseconds idle) {
  auto relay = [idle](beast::tcp_stream& from, beast::tcp_stream& to) -> awaitable<std::uint64_t> {
    std::vector<char> block(kRelayBlock);
    std::uint64_t moved = 0;
    for (;;) {
      from.expires_after(idle);
      auto [readError, n] = co_await from.async_read_some(asio::buffer(block), kTuple);
      if (n > 0) {
        to.expires_after(idle);
        auto [writeError, m] =
            co_await asio::async_write(to, asio::buffer(block.data(), n), kTuple);
        if (writeError) break;
        moved += n;
      }
      if (readError) break;
    }
    boost::system::error_code ignored;
    to.socket().shutdown(tcp::socket::shutdown_send, ignored);
    co_return moved;
  };
  auto [toB, toA] = co_await (relay(a, b) && relay(b, a));
  (void)toB;
  co_return toA;
}

awaitable<Exchange> OpenTunnel(ProxyState& s, Connection& c, const NetworkTarget& target) {
  auto refuse = [&c](unsigned status, std::string_view reason, std::string_view text) {
    WriteAll(c.fd(), OwnAnswer(status, reason, text, true), c.writeTimeout, c.workers);
    return Exchange{status, 0, Answer::kProxy, false};
  };
  const auto& ports = s.options.connectPorts;
  if (std::find(ports.begin(), ports.end(), target.port) == ports.end()) {
    co_return refuse(403, "Forbidden", "Tunnels may not reach this port.");
  }
  const auto executor = co_await asio::this_coro::executor;
  beast::tcp_stream upstream(executor);
  const boost::system::error_code failure = co_await ConnectUpstream(s, upstream, target);
  if (failure.category() == LoopCategory()) {
    co_return refuse(508, "Loop Detected", "The tunnel would come back to this proxy.");
  }
  if (failure == beast::error::timeout) {
    co_return refuse(504, "Gateway Timeout", "The tunnel could not be opened in time.");
  }
  if (failure) co_return refuse(502, "Bad Gateway", "The tunnel could not be opened.");
  if (!WriteAll(c.fd(), "HTTP/1.1 200 Connection Established\r\n\r\n", c.writeTimeout, c.workers)) {
    co_return Exchange{200, 0, Answer::kNetwork, false};
  }
  if (c.buffer.size() > 0) {
    upstream.expires_after(s.options.readTimeout);
    auto [e, n] = co_await asio::async_write(upstream, c.buffer.data(), kTuple);
    if (e) co_return Exchange{200, 0, Answer::kNetwork, false};
    c.buffer.consume(c.buffer.size());
  }
  const std::uint64_t bytes = co_await Splice(c.client, upstream, s.options.idleTimeout);
  co_return Exchange{200, bytes, Answer::kNetwork, false};
}

}  // namespace quillon::host
