// The network side: reaching the origin, forwarding the request and relaying its answer.
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <array>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <cstdio>
#include <optional>
#include <type_traits>

#include "http_rules.h"
#include "own_answers.h"
#include "tunnel.h"
#include "upstream.h"

namespace quillon::host {

using namespace asio::experimental::awaitable_operators;

namespace {

constexpr std::string_view kLastChunk = "0\r\n\r\n";

class LoopErrorCategory : public boost::system::error_category {
 public:
  const char* name() const noexcept override { return "quillon-loop"; }
  std::string message(int value) const override {
    return value == kOnThisMachine ? "the address is on the proxy's machine"
                                   : "the address is this proxy's own";
  }
};

std::string_view Buffered(const beast::flat_buffer& buffer) {
  return {static_cast<const char*>(buffer.data().data()), buffer.size()};
}

// Decodes what `input` holds of a chunked body, calling `each` with every run of its bytes.
// Returns the input used; the rest follows the body.
template <typename Each>
std::size_t DecodeChunks(ChunkedDecoder& decoder, std::string_view input, Each&& each) {
  const std::size_t size = input.size();
  while (!input.empty() && !decoder.done() && decoder.error() == nullptr) {
    const auto step = decoder.Feed(input);
    input.remove_prefix(step.used);
    if (!step.data.empty()) each(step.data);
  }
  return size - input.size();
}

struct Sent {
  boost::system::error_code error;  // writing to the network
  bool clientGone = false;          // the browser went away while sending its body
  bool badBody = false;             // the browser's body broke its framing
};

template <class Upstream>
awaitable<Sent> SendUpstreamRequest(NetworkServices& s, Connection& c, RequestParser& parser,
                                    Upstream& upstream, const NetworkTarget& target,
                                    std::string_view upgrade) {
  auto& request = parser.get();
  const bool chunked = parser.chunked();
  const std::string head = UpstreamRequestHead(request, target, {s.via, chunked, upgrade});
  Transport(upstream).expires_after(s.options.readTimeout);
  auto [writeError, written] = co_await asio::async_write(upstream, asio::buffer(head), kTuple);
  if (writeError) co_return Sent{writeError};

  // The client holds its body back for a "100 Continue": the proxy is ready for it now (the
  // origin was asked without the expectation, so its body follows at once).
  if (!parser.is_done() && ExpectsContinue(request)) {
    c.client.expires_after(s.options.readTimeout);
    auto [e, n] = co_await asio::async_write(c.client, asio::buffer(kContinueAnswer), kTuple);
    if (e) co_return Sent{{}, true};
  }

  // A chunked body is decoded here, its framing bounded (a chunk line that never ends would
  // otherwise be buffered without limit), and re-chunked towards the origin.
  if (chunked && !parser.is_done()) {
    ChunkedDecoder decoder(s.options.headLimit);
    std::string out;
    for (;;) {
      out.clear();
      c.buffer.consume(DecodeChunks(decoder, Buffered(c.buffer),
                                    [&](std::string_view data) { AppendChunk(out, data); }));
      if (decoder.error() != nullptr) co_return Sent{{}, false, true};
      if (decoder.done()) out.append(kLastChunk);
      if (!out.empty()) {
        Transport(upstream).expires_after(s.options.readTimeout);
        auto [e, m] = co_await asio::async_write(upstream, asio::buffer(out), kTuple);
        if (e) co_return Sent{e};
      }
      if (decoder.done()) break;
      c.client.expires_after(s.options.readTimeout);
      auto [readError, n] =
          co_await c.client.async_read_some(c.buffer.prepare(kRelayBlock), kTuple);
      if (readError) co_return Sent{{}, true};
      c.buffer.commit(n);
    }
    // The parser had the head only: the body's end makes it done, as if it had read the body.
    boost::system::error_code ended;
    parser.put(asio::buffer(kLastChunk), ended);
    co_return Sent{{}, false, ended || !parser.is_done()};
  }

  // The body, streamed block by block, read in large blocks.
  if (!parser.is_done()) c.buffer.reserve(kRelayBlock);
  Block block(kRelayBlock);
  while (!parser.is_done()) {
    request.body().data = block.data();
    request.body().size = block.size();
    c.client.expires_after(s.options.readTimeout);
    auto [readError, n] = co_await http::async_read_some(c.client, c.buffer, parser, kTuple);
    if (readError == http::error::need_buffer) readError = {};
    if (readError) {
      const bool framing =
          readError.category() == http::make_error_code(http::error::bad_chunk).category() &&
          readError != http::error::end_of_stream && readError != http::error::partial_message;
      co_return Sent{{}, !framing, framing};
    }
    const std::size_t got = block.size() - request.body().size;
    if (got == 0) continue;
    Transport(upstream).expires_after(s.options.readTimeout);
    auto [e, m] = co_await asio::async_write(upstream, asio::buffer(block.data(), got), kTuple);
    if (e) co_return Sent{e};
  }
  co_return Sent{};
}

// Writes bytes the client is owed outside any answer's framing (interim heads, bytes of an
// upgraded connection); false when the client is gone.
awaitable<bool> WriteToClient(NetworkServices& s, Connection& c, asio::const_buffer bytes) {
  c.client.expires_after(s.options.readTimeout);
  auto [e, n] = co_await asio::async_write(c.client, bytes, kTuple);
  co_return !e;
}

// After a 101: both sides speak the new protocol through the proxy, unfiltered.
template <class Upstream>
awaitable<Exchange> RelayUpgraded(NetworkServices& s, Connection& c, Upstream& upstream,
                                  beast::flat_buffer& upstreamBuffer, std::string_view head) {
  Exchange exchange{101, 0, Answer::kNetwork, false};
  if (!co_await WriteToClient(s, c, asio::buffer(head))) co_return exchange;
  if (upstreamBuffer.size() > 0 && !co_await WriteToClient(s, c, upstreamBuffer.data())) {
    co_return exchange;
  }
  exchange.bytes = upstreamBuffer.size();
  if (c.buffer.size() > 0) {
    Transport(upstream).expires_after(s.options.readTimeout);
    auto [e, n] = co_await asio::async_write(upstream, c.buffer.data(), kTuple);
    if (e) co_return exchange;
    c.buffer.consume(c.buffer.size());
  }
  exchange.bytes += co_await Splice(c.client, upstream, s.options.idleTimeout);
  co_return exchange;
}

}  // namespace

const boost::system::error_category& LoopCategory() {
  static const LoopErrorCategory category;
  return category;
}

Reason ReasonOfFailure(const boost::system::error_code& failure) {
  if (failure == boost::system::error_code(kOnThisMachine, LoopCategory())) {
    return Reason::kThisMachine;
  }
  if (failure.category() == LoopCategory()) return Reason::kLoop;
  if (failure == beast::error::timeout) return Reason::kTimeout;
  if (failure.category() == asio::error::get_netdb_category() ||
      failure.category() == asio::error::get_addrinfo_category()) {
    return Reason::kDns;
  }
  if (failure == asio::error::connection_refused) return Reason::kRefused;
  if (failure == asio::error::network_unreachable || failure == asio::error::host_unreachable) {
    return Reason::kUnreachable;
  }
  if (failure.category() == asio::error::get_ssl_category()) {
    return ERR_GET_REASON(static_cast<unsigned long>(failure.value())) ==
                   SSL_R_CERTIFICATE_VERIFY_FAILED
               ? Reason::kTlsVerify
               : Reason::kTls;
  }
  if (failure.category() == asio::ssl::error::get_stream_category()) return Reason::kTls;
  if (failure.category() == http::make_error_code(http::error::bad_version).category()) {
    return Reason::kBadOrigin;  // the origin's answer did not parse
  }
  return Reason::kNetwork;
}

Exchange NetworkFailed(Connection& c, bool keepAlive, const boost::system::error_code& failure,
                       std::string_view what) {
  const Reason reason = ReasonOfFailure(failure);
  switch (reason) {
    case Reason::kThisMachine:
      return SendOwnAnswer(c, keepAlive, 403, reason,
                           "Addresses on the proxy's machine are not served to other machines.");
    case Reason::kLoop:
      return SendOwnAnswer(c, keepAlive, 508, reason,
                           "The address is this proxy's own: the request would come back here.");
    case Reason::kTimeout:
      return SendOwnAnswer(c, keepAlive, 504, reason, "The network did not answer in time.");
    default:
      return SendOwnAnswer(c, keepAlive, 502, reason,
                           "The network " + std::string(what) + ": " + failure.message() + ".");
  }
}

namespace {

// ConnectUpstream within `timeout` rather than the connect timeout.
awaitable<boost::system::error_code> ConnectWithin(const NetworkServices& s,
                                                   beast::tcp_stream& upstream,
                                                   const NetworkTarget& target, bool clientLoopback,
                                                   std::chrono::milliseconds timeout) {
  const auto executor = co_await asio::this_coro::executor;
  tcp::resolver::results_type results;
  const std::string service = std::to_string(target.port);
  if (const auto fixed = FixedAddressOf(s.options.resolve, target.host, target.port)) {
    // --resolve: no lookup at all.
    results = tcp::resolver::results_type::create(tcp::endpoint(*fixed, target.port), target.host,
                                                  service);
  } else {
    tcp::resolver resolver(executor);
    asio::steady_timer timer(executor, timeout);
    auto resolved =
        co_await (resolver.async_resolve(target.host, service, kTuple) || timer.async_wait(kTuple));
    if (resolved.index() == 1) co_return beast::error::timeout;
    auto [ec, found] = std::get<0>(resolved);
    if (ec) co_return ec;
    results = std::move(found);
  }
  for (const auto& entry : results) {
    if (s.self.Contains(entry.endpoint())) {
      co_return boost::system::error_code(kLoopsBack, LoopCategory());
    }
    // Another machine's client must not reach what listens on this one's loopback or addresses.
    if (!clientLoopback && s.self.IsThisMachine(entry.endpoint().address())) {
      co_return boost::system::error_code(kOnThisMachine, LoopCategory());
    }
  }
  upstream.expires_after(timeout);
  auto [connectError, endpoint] = co_await upstream.async_connect(results, kTuple);
  co_return connectError;
}

}  // namespace

awaitable<boost::system::error_code> ConnectUpstream(const NetworkServices& s,
                                                     beast::tcp_stream& upstream,
                                                     const NetworkTarget& target,
                                                     bool clientLoopback) {
  return ConnectWithin(s, upstream, target, clientLoopback, s.options.connectTimeout);
}

namespace {

// TLS towards an https:// origin: its name goes out by SNI, and its certificate must chain to
// a trusted authority and name it. A failure is the network's, never an accept.
awaitable<boost::system::error_code> StartTls(TlsStream& upstream, const NetworkTarget& target,
                                              std::chrono::milliseconds timeout) {
  boost::system::error_code notAddress;
  asio::ip::make_address(target.host, notAddress);
  // SNI carries names only; an address is checked against the certificate all the same.
  if (notAddress && SSL_set_tlsext_host_name(upstream.native_handle(), target.host.c_str()) != 1) {
    co_return asio::ssl::error::stream_truncated;
  }
  // The certificate must name the host in its subjectAltName: a name in the subject's CN
  // alone counts for nothing, as in browsers.
  X509_VERIFY_PARAM* param = SSL_get0_param(upstream.native_handle());
  X509_VERIFY_PARAM_set_hostflags(
      param, X509_CHECK_FLAG_NEVER_CHECK_SUBJECT | X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  const bool named =
      notAddress ? X509_VERIFY_PARAM_set1_host(param, target.host.data(), target.host.size()) == 1
                 : X509_VERIFY_PARAM_set1_ip_asc(param, target.host.c_str()) == 1;
  if (!named) co_return asio::ssl::error::stream_truncated;
  upstream.set_verify_mode(asio::ssl::verify_peer);
  Transport(upstream).expires_after(timeout);
  auto [e] = co_await upstream.async_handshake(asio::ssl::stream_base::client, kTuple);
  co_return e;
}

template <class Upstream>
awaitable<Exchange> FetchOver(NetworkServices& s, Connection& c, RequestParser& parser,
                              const NetworkTarget& target, bool keepAlive) {
  constexpr bool kTls = std::is_same_v<Upstream, TlsStream>;
  const auto executor = co_await asio::this_coro::executor;
  const std::string upgrade(RequestedUpgrade(parser.get()));
  const std::string origin = target.OriginKey();
  // A request that can go again unchanged (no body, a method without side effects) may ride a
  // kept connection, and is sent once more on a new one when that connection turns out closed.
  const http::verb method = parser.get().method();
  const bool replayable = parser.is_done() && upgrade.empty() &&
                          (method == http::verb::get || method == http::verb::head ||
                           method == http::verb::options || method == http::verb::trace);
  // An address the disc holds, whose copy the filter armed to replace a failed answer: the
  // network gets --disc-patience to connect and begin its answer; the rest of the wait would
  // only keep the browser from the copy. Others keep the full timeouts.
  using Clock = std::chrono::steady_clock;
  const bool fallbackArmed = c.filter.FallbackArmed();
  const auto giveUp = Clock::now() + s.options.discPatience;
  const auto within = [&](std::chrono::milliseconds full) {
    if (!fallbackArmed) return full;
    // Rounded up, so that a wait ended by the patience ends at or after `giveUp`.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), full);
  };
  // The wait the patience ended is said, with why, before the disc copy replaces the 504.
  const auto failedWith = [&](const boost::system::error_code& failure, std::string_view what) {
    if (fallbackArmed && failure == beast::error::timeout && Clock::now() >= giveUp) {
      std::fprintf(stderr,
                   "quillon-proxy: %s: the network did not begin its answer within "
                   "--disc-patience (%lld ms); the disc copy stands in\n",
                   LogEscape(target.Url()).c_str(),
                   static_cast<long long>(s.options.discPatience.count()));
    }
    return NetworkFailed(c, keepAlive, failure, what);
  };

  std::unique_ptr<Upstream> upstream;
  bool kept = false;  // given back to the pool: no longer this request's
  beast::flat_buffer upstreamBuffer;
  std::optional<http::response_parser<http::buffer_body>> response;
  boost::system::error_code failure;
  for (int attempt = 0;; ++attempt) {
    upstreamBuffer.clear();
    upstreamBuffer.reserve(kRelayBlock);  // read in large blocks from the start
    bool reused = false;
    if (replayable && attempt == 0) {
      if constexpr (kTls) {
        upstream = s.pool.TakeTls(origin, executor);
        reused = upstream != nullptr;
      } else if (auto socket = s.pool.Take(origin, executor)) {
        upstream = std::make_unique<Upstream>(std::move(*socket));
        reused = true;
      }
    }
    // A kept connection opened for a client of this machine may lead to one of its addresses.
    if (reused && !c.loopback) {
      boost::system::error_code peerError;
      const auto peer = Transport(*upstream).socket().remote_endpoint(peerError);
      if (!peerError && s.self.IsThisMachine(peer.address())) {
        co_return NetworkFailed(c, keepAlive, {kOnThisMachine, LoopCategory()}, "");
      }
    }
    if (!reused) {
      if constexpr (kTls) {
        upstream = std::make_unique<Upstream>(executor, s.originTls);
      } else {
        upstream = std::make_unique<Upstream>(executor);
      }
      failure = co_await ConnectWithin(s, Transport(*upstream), target, c.loopback,
                                       within(s.options.connectTimeout));
      if (failure) co_return failedWith(failure, "could not be reached");
      if constexpr (kTls) {
        failure = co_await StartTls(*upstream, target, within(s.options.connectTimeout));
        if (failure) co_return failedWith(failure, "failed the TLS check");
      }
    }
    const Sent sent = co_await SendUpstreamRequest(s, c, parser, *upstream, target, upgrade);
    if (sent.clientGone) co_return Exchange{0, 0, Answer::kProxy, false, true};
    if (sent.badBody) {
      // The origin has the head already; it loses its connection, the client hears why.
      WriteAll(
          c.fd(),
          OwnAnswer({400, Reason::kBadRequest, "The request's body broke its framing.", {}, {}, {}},
                    c.wantsHtml, true),
          c.writeTimeout, c.workers);
      co_return Exchange{400, 0, Answer::kProxy, false, false, Reason::kBadRequest};
    }

    // Interim answers go to the client as they come (a 100 excepted: the proxy sent its own),
    // and never through send-raw-data, whose first block is the final answer's.
    failure = sent.error;
    bool heard = false;  // the origin said anything at all
    for (int interim = 0; !failure; ++interim) {
      response.emplace();
      response->header_limit(static_cast<std::uint32_t>(s.options.headLimit));
      response->body_limit(boost::none);
      if (c.headOnly) response->skip(true);
      Transport(*upstream).expires_after(within(s.options.readTimeout));
      auto [e, m] = co_await http::async_read_header(*upstream, upstreamBuffer, *response, kTuple);
      failure = e;
      heard = heard || m > 0 || upstreamBuffer.size() > 0;
      if (failure) break;
      const unsigned status = response->get().result_int();
      if (status < 100 || status >= 200 || status == 101) break;
      if (interim == kInterimLimit) {
        co_return SendOwnAnswer(c, keepAlive, 502, Reason::kBadOrigin,
                                "The network sent interim answers without end.");
      }
      if (status != 100 && c.interimAllowed) {
        const std::string head = ClientResponseHead(
            response->get(),
            {.via = s.via, .chunked = false, .keepAlive = false, .upgrade = {}, .interim = true});
        if (!co_await WriteToClient(s, c, asio::buffer(head))) {
          co_return Exchange{0, 0, Answer::kProxy, false, true};
        }
      }
    }
    if (failure && reused && !heard && failure != beast::error::timeout) continue;
    break;
  }
  if (failure) co_return failedWith(failure, "answered badly");
  keepAlive = keepAlive && parser.is_done();

  auto& answer = response->get();
  if (answer.result_int() == 101) {
    if (upgrade.empty()) {
      co_return SendOwnAnswer(c, keepAlive, 502, Reason::kBadOrigin,
                              "The network switched protocols unasked.");
    }
    const auto protocol = answer.find(http::field::upgrade);
    const std::string_view switched =
        protocol != answer.end() ? std::string_view(protocol->value()) : std::string_view(upgrade);
    const std::string head = ClientResponseHead(answer, {.via = s.via,
                                                         .chunked = false,
                                                         .keepAlive = false,
                                                         .upgrade = switched,
                                                         .interim = false});
    if (!c.filter.PassBlock(head)) co_return FilterAnswered(c.filter, Answer::kDiscFallback, false);
    co_return co_await RelayUpgraded(s, c, *upstream, upstreamBuffer, head);
  }

  if (const auto why = ResponseFramingError(answer)) {
    co_return SendOwnAnswer(c, keepAlive, 502, Reason::kBadOrigin,
                            "The network's answer was refused: " + std::string(*why) + ".");
  }
  // No body: a HEAD's answer, 204, 304. Its framing fields only describe what a GET would get.
  const bool bodyless = response->is_done();
  const bool chunked = response->chunked();
  // An HTTP/1.0 client knows no chunks: a chunked body goes to it bare, ended by the close.
  const bool rechunk = chunked && c.interimAllowed;
  const bool framed = chunked || response->content_length().has_value() || bodyless;
  const bool keep = keepAlive && framed && (bodyless || !chunked || rechunk);
  const std::string head = ClientResponseHead(
      answer,
      {.via = s.via, .chunked = rechunk, .keepAlive = keep, .upgrade = {}, .interim = false});
  if (!c.filter.PassBlock(head)) {
    // The filter replaced the network's answer; the rest of it is dropped.
    co_return FilterAnswered(c.filter, Answer::kDiscFallback, keepAlive);
  }
  Exchange exchange{answer.result_int(), 0, Answer::kNetwork, false};
  // When body bytes came with the head, the head waits for them so that both go out in one
  // write; an origin that sends its head alone (a stream of events, say) has it relayed at once.
  std::string_view pendingHead = head;
  if (upstreamBuffer.size() == 0 || bodyless) {
    if (!co_await WriteToClient(s, c, asio::buffer(head))) co_return exchange;
    pendingHead = {};
  }
  auto send = [&](std::string_view out) -> awaitable<bool> {
    const std::array<asio::const_buffer, 2> both{asio::buffer(pendingHead), asio::buffer(out)};
    pendingHead = {};
    c.client.expires_after(s.options.readTimeout);
    auto [e, n] = co_await asio::async_write(c.client, both, kTuple);
    co_return !e;
  };
  // A body that breaks its framing: 502 while nothing of the answer has gone out, else the
  // connection just ends (the client sees the answer cut short).
  auto broken = [&](std::string_view why) {
    if (pendingHead.empty()) return exchange;
    WriteAll(c.fd(),
             OwnAnswer({502,
                        Reason::kBadOrigin,
                        "The network's answer broke its framing: " + std::string(why) + ".",
                        {},
                        {},
                        {}},
                       c.wantsHtml, true),
             c.writeTimeout, c.workers);
    return Exchange{502, 0, Answer::kProxy, false, false, Reason::kBadOrigin};
  };
  // --update-disc: the body goes to the disc as well (disc_updater.cpp).
  // Begin waits for a commit under way: a blocking region, as the commit is.
  auto begin = [&]() -> std::unique_ptr<DiscUpdater::Copy> {
    const Workers::Blocking waiting(c.workers);
    return s.updater->Begin(target.Url(), parser.get(), answer);
  };
  const auto copy =
      s.updater && !c.headOnly && parser.get().method() == http::verb::get ? begin() : nullptr;

  // A body by length, or to the end of the connection, is read straight into the block: the
  // parser would read at most 64 KiB at a time and copy it once more. Chunks are decoded here.
  const bool direct = !chunked && !bodyless;
  const auto length = response->content_length();
  std::uint64_t left = length.value_or(std::numeric_limits<std::uint64_t>::max());
  // A small answer's body needs no larger block than itself; a long one gets a large block.
  Block block =
      direct && left > kRelayBlock
          ? Block(s.largeBlocks)
          : Block(length
                      ? static_cast<std::size_t>(std::clamp<std::uint64_t>(*length, 1, kRelayBlock))
                      : kRelayBlock);
  ChunkedDecoder decoder(s.options.headLimit);
  bool stray = false;  // the origin sent more than its answer: its connection is not kept
  auto bodyDone = [&] { return bodyless || (direct ? left == 0 : decoder.done()); };
  // Read to its end, framed, and the origin keeps it open: the next request may use it, at once
  // (before the last bytes go to the client, who may ask again as soon as it has them).
  auto keepOrigin = [&] {
    if (kept || !bodyDone() || !framed || stray || !response->keep_alive() ||
        upstreamBuffer.size() != 0 || !Transport(*upstream).socket().is_open()) {
      return;
    }
    kept = true;
    if constexpr (kTls) {
      s.pool.GiveTls(origin, std::move(upstream));
    } else {
      s.pool.Give(origin, upstream->release_socket());
    }
  };
  keepOrigin();
  // Raw bytes of the body: first what came with the head, then from the origin.
  auto readBody = [&]() -> awaitable<std::tuple<boost::system::error_code, std::string_view>> {
    const auto room = static_cast<std::size_t>(
        std::min<std::uint64_t>(block.size(), direct ? left : block.size()));
    if (upstreamBuffer.size() > 0) {
      const std::size_t n =
          asio::buffer_copy(asio::buffer(block.data(), room), upstreamBuffer.data());
      upstreamBuffer.consume(n);
      co_return std::tuple{boost::system::error_code{}, std::string_view(block.data(), n)};
    }
    Transport(*upstream).expires_after(s.options.readTimeout);
    auto [e, n] = co_await upstream->async_read_some(asio::buffer(block.data(), room), kTuple);
    co_return std::tuple{e, std::string_view(block.data(), n)};
  };
  std::string decoded;
  while (!bodyDone()) {
    auto [readError, raw] = co_await readBody();
    const bool endOfUnframedBody =
        !framed && (readError == http::error::end_of_stream || readError == asio::error::eof);
    if (readError && !endOfUnframedBody) co_return exchange;
    std::string_view out = raw;  // what goes to the client
    std::uint64_t got = raw.size();
    if (direct) {
      left -= raw.size();
    } else {
      decoded.clear();
      got = 0;
      const std::size_t used = DecodeChunks(decoder, raw, [&](std::string_view data) {
        if (rechunk) {
          AppendChunk(decoded, data);
        } else {
          decoded.append(data);
        }
        got += data.size();
        if (copy) copy->Append(data);  // the body, not its framing
      });
      // Bytes past the body's end came with it: they are not this answer's.
      if (used < raw.size()) stray = true;
      if (decoder.error() != nullptr) co_return broken(decoder.error());
      out = decoded;
    }
    keepOrigin();
    if (!out.empty()) {
      // The filter sees the block that goes out, not a copy of it.
      const bool passed = direct ? c.filter.PassOwnBlock(block.data(), raw.size())
                                 : c.filter.PassOwnBlock(decoded.data(), decoded.size());
      if (!passed) co_return exchange;  // the filter dropped the rest
      if (!co_await send(out)) co_return exchange;
      exchange.bytes += got;
      if (copy && direct) copy->Append(raw);
    }
    if (endOfUnframedBody) break;
  }
  if (!pendingHead.empty() && !co_await send({})) co_return exchange;
  if (!framed) co_return exchange;
  if (rechunk && !bodyless) {
    if (!c.filter.PassBlock(kLastChunk)) co_return exchange;
    if (!co_await WriteToClient(s, c, asio::buffer(kLastChunk))) co_return exchange;
  }
  if (copy) {
    Workers::Blocking writing(c.workers);
    s.metrics.DiscUpdate(s.updater->Commit(*copy));
  }
  exchange.keepAlive = keep;
  co_return exchange;
}

}  // namespace

awaitable<Exchange> Fetch(NetworkServices& s, Connection& c, RequestParser& parser,
                          const NetworkTarget& target, bool keepAlive) {
  if (target.secure) return FetchOver<TlsStream>(s, c, parser, target, keepAlive);
  return FetchOver<beast::tcp_stream>(s, c, parser, target, keepAlive);
}

}  // namespace quillon::host
