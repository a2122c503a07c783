// How plain and TLS streams differ, in one place: what carries the bytes (and their timeouts),
// taking and keeping an origin's connection, the handshake towards an origin, and how a
// direction of a tunnel ends. The rest of the proxy is written once for every kind.
#pragma once

#include <boost/asio/ssl.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "connection.h"
#include "origin.h"
#include "upstream_pool.h"

namespace quillon::host {

template <class Stream>
struct StreamTraits;

// A plain connection, to a browser or an origin.
template <>
struct StreamTraits<beast::tcp_stream> {
  using Stream = beast::tcp_stream;
  static beast::tcp_stream& Transport(Stream& stream) { return stream; }
  static auto Read(Stream& stream, asio::mutable_buffer into, std::chrono::milliseconds idle) {
    stream.expires_after(idle);
    return stream.async_read_some(into, kTuple);
  }
  static auto Write(Stream& stream, asio::const_buffer bytes, std::chrono::milliseconds idle) {
    stream.expires_after(idle);
    return asio::async_write(stream, bytes, kTuple);
  }
  static awaitable<void> EndSend(Stream& stream) {
    boost::system::error_code ignored;
    stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
    co_return;
  }
  // Towards an origin: a new connection, a kept one, and one given back to be kept.
  static std::unique_ptr<Stream> Make(const asio::any_io_executor& executor, NetworkServices&) {
    return std::make_unique<Stream>(executor);
  }
  static std::unique_ptr<Stream> TakeKept(UpstreamPool& pool, const std::string& origin,
                                          const tcp::socket::executor_type& executor) {
    auto socket = pool.Take(origin, executor);
    return socket ? std::make_unique<Stream>(std::move(*socket)) : nullptr;
  }
  static void Keep(UpstreamPool& pool, const std::string& origin, std::unique_ptr<Stream> stream) {
    pool.Give(origin, stream->release_socket());
  }
  static awaitable<boost::system::error_code> Handshake(Stream&, const NetworkTarget&,
                                                        std::chrono::milliseconds) {
    co_return boost::system::error_code{};
  }
};

// TLS towards an https:// origin.
template <>
struct StreamTraits<TlsStream> {
  using Stream = TlsStream;
  static beast::tcp_stream& Transport(Stream& stream) { return stream.next_layer(); }
  static auto Read(Stream& stream, asio::mutable_buffer into, std::chrono::milliseconds idle) {
    stream.next_layer().expires_after(idle);
    return stream.async_read_some(into, kTuple);
  }
  static auto Write(Stream& stream, asio::const_buffer bytes, std::chrono::milliseconds idle) {
    stream.next_layer().expires_after(idle);
    return asio::async_write(stream, bytes, kTuple);
  }
  // TLS has its own end (close_notify), but waiting for the peer's would hold the tunnel open:
  // the end of the TCP stream says enough here.
  static awaitable<void> EndSend(Stream& stream) {
    return StreamTraits<beast::tcp_stream>::EndSend(stream.next_layer());
  }
  static std::unique_ptr<Stream> Make(const asio::any_io_executor& executor, NetworkServices& s) {
    return std::make_unique<Stream>(executor, s.originTls);
  }
  static std::unique_ptr<Stream> TakeKept(UpstreamPool& pool, const std::string& origin,
                                          const tcp::socket::executor_type& executor) {
    return pool.TakeTls(origin, executor);
  }
  static void Keep(UpstreamPool& pool, const std::string& origin, std::unique_ptr<Stream> stream) {
    pool.GiveTls(origin, std::move(stream));
  }
  static awaitable<boost::system::error_code> Handshake(Stream& stream, const NetworkTarget& target,
                                                        std::chrono::milliseconds timeout) {
    return StartTls(stream, target, timeout);
  }
};

// The browser's side of an intercepted tunnel (a 101 inside it).
template <>
struct StreamTraits<BrowserTls::Stream> {
  using Stream = BrowserTls::Stream;
  static beast::tcp_stream& Transport(Stream& stream) { return stream.next_layer().stream(); }
  static auto Read(Stream& stream, asio::mutable_buffer into, std::chrono::milliseconds idle) {
    Transport(stream).expires_after(idle);
    return stream.async_read_some(into, kTuple);
  }
  static auto Write(Stream& stream, asio::const_buffer bytes, std::chrono::milliseconds idle) {
    Transport(stream).expires_after(idle);
    return asio::async_write(stream, bytes, kTuple);
  }
  // close_notify within the connection's write timeout; the browser's own is not waited for.
  static awaitable<void> EndSend(Stream& stream) {
    boost::system::error_code ignored;
    stream.shutdown(ignored);
    Transport(stream).socket().shutdown(tcp::socket::shutdown_send, ignored);
    co_return;
  }
};

// The TCP stream under a plain or TLS one, whose timeouts and socket are the connection's.
template <class Stream>
beast::tcp_stream& Transport(Stream& stream) {
  return StreamTraits<Stream>::Transport(stream);
}

// Moves bytes from `from` to `to` in blocks of `blockSize` until `from` ends or either fails or is
// idle past its timeout, then ends `to`'s sending side; returns the bytes moved.
template <class From, class To>
awaitable<std::uint64_t> Pump(From& from, To& to, std::size_t blockSize,
                              std::chrono::milliseconds readIdle,
                              std::chrono::milliseconds writeIdle) {
  Block block(blockSize);
  std::uint64_t moved = 0;
  for (;;) {
    auto [readError, n] =
        co_await StreamTraits<From>::Read(from, asio::buffer(block.data(), block.size()), readIdle);
    if (n > 0) {
      auto [writeError, m] =
          co_await StreamTraits<To>::Write(to, asio::buffer(block.data(), n), writeIdle);
      if (writeError) break;
      moved += n;
    }
    if (readError) break;
  }
  co_await StreamTraits<To>::EndSend(to);
  co_return moved;
}

}  // namespace quillon::host
