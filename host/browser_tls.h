// The TLS the proxy ends on a browser's own connection, in an intercepted tunnel.
//
// The requests inside are served on this stream directly. The filter writes synchronously from
// inside its notifications, so besides the asynchronous reads and writes (with the connection's
// timeouts) the stream takes synchronous writes, each piece within the write timeout and its
// wait a Blocking region, as a plain connection's WriteAll gives.
#pragma once

#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "workers.h"

namespace quillon::host {

// The layer under the TLS: the browser's TCP stream, borrowed, with a deadline on synchronous
// writes. Synchronous reads are never made: one fails at once, so closing never waits for the
// browser's own close_notify.
class BrowserSocket {
 public:
  using lowest_layer_type = boost::asio::ip::tcp::socket;
  using executor_type = lowest_layer_type::executor_type;

  BrowserSocket(boost::beast::tcp_stream& stream, std::chrono::milliseconds writeTimeout,
                Workers* workers)
      : stream_(&stream), writeTimeout_(writeTimeout), workers_(workers) {}

  executor_type get_executor() { return stream_->get_executor(); }
  lowest_layer_type& lowest_layer() { return stream_->socket(); }
  boost::beast::tcp_stream& stream() { return *stream_; }

  template <class Buffers, class Token>
  auto async_read_some(const Buffers& into, Token&& token) {
    return stream_->async_read_some(into, std::forward<Token>(token));
  }
  template <class Buffers, class Token>
  auto async_write_some(const Buffers& bytes, Token&& token) {
    return stream_->async_write_some(bytes, std::forward<Token>(token));
  }

  template <class Buffers>
  std::size_t write_some(const Buffers& bytes, boost::system::error_code& ec) {
    std::size_t written = 0;
    for (auto it = boost::asio::buffer_sequence_begin(bytes);
         it != boost::asio::buffer_sequence_end(bytes); ++it) {
      const boost::asio::const_buffer piece(*it);
      if (!WriteAll(stream_->socket().native_handle(),
                    {static_cast<const char*>(piece.data()), piece.size()}, writeTimeout_,
                    workers_)) {
        ec = boost::asio::error::timed_out;
        return written;
      }
      written += piece.size();
    }
    ec = {};
    return written;
  }
  template <class Buffers>
  std::size_t read_some(const Buffers&, boost::system::error_code& ec) {
    ec = boost::asio::error::would_block;
    return 0;
  }

 private:
  boost::beast::tcp_stream* stream_;
  std::chrono::milliseconds writeTimeout_;
  Workers* workers_;
};

class BrowserTls {
 public:
  using Stream = boost::asio::ssl::stream<BrowserSocket>;

  // `authority`: "host[:port]" of the tunnel's CONNECT, as its https:// addresses spell it.
  BrowserTls(boost::beast::tcp_stream& transport,
             std::shared_ptr<boost::asio::ssl::context> context, std::string authority,
             std::chrono::milliseconds writeTimeout, Workers* workers)
      : context_(std::move(context)),
        stream_(BrowserSocket(transport, writeTimeout, workers), *context_),
        authority_(std::move(authority)) {}

  Stream& stream() { return stream_; }
  boost::beast::tcp_stream& transport() { return stream_.next_layer().stream(); }
  const std::string& authority() const { return authority_; }

  // Both pieces, in order, synchronously; false when they did not all go out.
  bool Write(std::string_view first, std::string_view second);
  // close_notify within the write timeout, then the end of the TCP stream's sending side; once.
  void EndSend();

 private:
  std::shared_ptr<boost::asio::ssl::context> context_;  // outlives the stream made from it
  Stream stream_;
  std::string authority_;
  std::string gathered_;  // small pieces joined, so that they go out as one record
  bool ended_ = false;
};

}  // namespace quillon::host
