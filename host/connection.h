// What the parts of a request's work share: one connection's working set, the outcome of one
// request, the blocks bodies move in, and the proxy's own answers sent on a connection.
// Internal to host/.
#pragma once

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "access_log.h"
#include "browser_tls.h"
#include "filter_host.h"
#include "own_answers.h"
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

// One browser connection's working set, as every part of a request's work reaches it.
struct Connection {
  beast::tcp_stream& client;
  beast::flat_buffer& buffer;
  FilterSession& filter;
  std::chrono::milliseconds writeTimeout;
  Workers* workers;
  std::string remote;
  bool loopback = false;
  // The TLS the proxy ends on this connection, in an intercepted tunnel: its requests are for
  // https://secureAuthority.
  BrowserTls* tls = nullptr;
  std::string secureAuthority{};
  // Set by an intercepted CONNECT: the TLS that the requests after it come through.
  std::unique_ptr<BrowserTls> secured{};
  // Per request:
  bool headOnly = false;                            // a HEAD: answers go out without their bodies
  bool interimAllowed = false;                      // an HTTP/1.1 client may be sent 1xx answers
  bool wantsHtml = false;                           // a browser: the proxy's own answers are pages
  std::chrono::steady_clock::time_point started{};  // the request's head was read
};

// To the browser, synchronously within the write timeout (the filter's writes, the proxy's own
// answers): false when not all of it went out.
bool WriteNow(Connection& c, std::string_view first, std::string_view second = {});

// To the browser, each wait within `timeout`.
template <class Buffers>
awaitable<bool> WriteToClient(Connection& c, const Buffers& bytes,
                              std::chrono::milliseconds timeout) {
  c.client.expires_after(timeout);
  // Not a conditional expression: GCC mishandles co_await in one.
  if (c.tls != nullptr) {
    auto [e, n] = co_await asio::async_write(c.tls->stream(), bytes, kTuple);
    co_return !e;
  }
  auto [e, n] = co_await asio::async_write(c.client, bytes, kTuple);
  co_return !e;
}

// From the browser, what has come, waiting at most `timeout`.
inline awaitable<std::tuple<boost::system::error_code, std::size_t>> ReadFromClient(
    Connection& c, asio::mutable_buffer into, std::chrono::milliseconds timeout) {
  c.client.expires_after(timeout);
  if (c.tls != nullptr) co_return co_await c.tls->stream().async_read_some(into, kTuple);
  co_return co_await c.client.async_read_some(into, kTuple);
}

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

}  // namespace quillon::host
