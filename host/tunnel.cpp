// Tunnels: CONNECT, and a connection whose protocol was switched by a 101. Bytes pass unfiltered.
#include "tunnel.h"

#include <boost/asio/experimental/awaitable_operators.hpp>

#include "forward.h"
#include "kernel_splice.h"
#include "own_answers.h"
#include "streams.h"

namespace quillon::host {

using namespace asio::experimental::awaitable_operators;

namespace {

template <class A, class B>
awaitable<std::uint64_t> Copy(A& a, B& b, std::chrono::milliseconds idle) {
  auto [toB, toA] =
      co_await (Pump(a, b, kRelayBlock, idle, idle) && Pump(b, a, kRelayBlock, idle, idle));
  (void)toB;
  co_return toA;
}

}  // namespace

// Plain on both sides, the bytes stay in the kernel; copied only when no pipes can be had.
awaitable<std::uint64_t> Splice(beast::tcp_stream& a, beast::tcp_stream& b,
                                std::chrono::milliseconds idle) {
  if (auto moved = co_await KernelSplice(a.socket(), b.socket(), idle)) co_return *moved;
  co_return co_await Copy(a, b, idle);
}

// TLS towards the origin (a 101 over https://): the proxy must see the bytes to code them.
awaitable<std::uint64_t> Splice(beast::tcp_stream& a, TlsStream& b,
                                std::chrono::milliseconds idle) {
  co_return co_await Copy(a, b, idle);
}

// After a 101: both sides speak the new protocol through the proxy, unfiltered.
template <class Upstream>
awaitable<Exchange> RelayUpgraded(NetworkServices& s, Connection& c, Upstream& upstream,
                                  beast::flat_buffer& upstreamBuffer, std::string_view head) {
  Exchange exchange{101, 0, Answer::kNetwork, false};
  if (!co_await WriteToClient(c, asio::buffer(head), s.options.readTimeout)) co_return exchange;
  if (upstreamBuffer.size() > 0 &&
      !co_await WriteToClient(c, upstreamBuffer.data(), s.options.readTimeout)) {
    co_return exchange;
  }
  exchange.bytes = upstreamBuffer.size();
  if (c.buffer.size() > 0) {
    Transport(upstream).expires_after(s.options.readTimeout);
    auto [e, n] = co_await asio::async_write(upstream, c.buffer.data(), kTuple);
    if (e) co_return exchange;
    c.buffer.consume(c.buffer.size());
  }
  // Inside an intercepted tunnel the browser's side is TLS the proxy codes itself.
  if (c.tls != nullptr) {
    exchange.bytes += co_await Copy(c.tls->stream(), upstream, s.options.idleTimeout);
  } else {
    exchange.bytes += co_await Splice(c.client, upstream, s.options.idleTimeout);
  }
  co_return exchange;
}

template awaitable<Exchange> RelayUpgraded(NetworkServices&, Connection&, beast::tcp_stream&,
                                           beast::flat_buffer&, std::string_view);
template awaitable<Exchange> RelayUpgraded(NetworkServices&, Connection&, TlsStream&,
                                           beast::flat_buffer&, std::string_view);

bool SendEstablished(Connection& c) {
  return WriteNow(c, "HTTP/1.1 200 Connection Established\r\n\r\n");
}

Exchange RefuseTunnel(Connection& c, unsigned status, Reason reason, std::string what) {
  WriteNow(c, OwnAnswer({status, reason, std::move(what), {}, {}, {}}, c.wantsHtml, true));
  return Exchange{status, 0, Answer::kProxy, false, false, reason};
}

awaitable<Exchange> OpenTunnel(NetworkServices& s, Connection& c, const NetworkTarget& target) {
  const auto executor = co_await asio::this_coro::executor;
  beast::tcp_stream upstream(executor);
  const boost::system::error_code failure =
      co_await ConnectUpstream(s, upstream, target, c.loopback, s.options.connectTimeout);
  if (failure) {
    Failure said = FailureOf(failure, {}, true);
    co_return RefuseTunnel(c, said.status, said.reason, std::move(said.what));
  }
  if (!SendEstablished(c)) {
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
