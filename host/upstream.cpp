// The network side: the request forwarded, its answer read and relayed.
#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "forward.h"
#include "http_rules.h"
#include "own_answers.h"
#include "streams.h"
#include "tunnel.h"
#include "upstream.h"

namespace quillon::host {

namespace {

// An address the disc holds, whose copy the filter armed to replace a failed answer: the
// network gets --disc-patience to connect and begin its answer; the rest of the wait would only
// keep the browser from the copy. Others keep the full timeouts.
class Patience {
 public:
  using Clock = std::chrono::steady_clock;

  Patience(bool armed, std::chrono::milliseconds patience)
      : armed_(armed), patience_(patience), giveUp_(Clock::now() + patience) {}

  // How long the next wait may last, of its `full` timeout.
  std::chrono::milliseconds Within(std::chrono::milliseconds full) const {
    if (!armed_) return full;
    // Rounded up, so that a wait ended by the patience ends at or after `giveUp_`.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(giveUp_ - Clock::now());
    return std::clamp(left, std::chrono::milliseconds(0), full);
  }

  // The wait the patience ended is said, with why, before the disc copy replaces the 504.
  void SayWhenEnded(const boost::system::error_code& failure, const NetworkTarget& target) const {
    if (!armed_ || failure != beast::error::timeout || Clock::now() < giveUp_) return;
    std::fprintf(stderr,
                 "quillon-proxy: %s: the network did not begin its answer within "
                 "--disc-patience (%lld ms); the disc copy stands in\n",
                 LogEscape(target.Url()).c_str(), static_cast<long long>(patience_.count()));
  }

 private:
  bool armed_;
  std::chrono::milliseconds patience_;
  Clock::time_point giveUp_;
};

// One network fetch over a plain or a TLS connection, in its steps: open (a kept connection or a
// new one), send the request, read the interim and final heads, then answer: a 101's tunnel, or
// the head and the relayed body, keeping the origin's connection when it may be.
template <class Upstream>
class Fetching {
 public:
  Fetching(NetworkServices& s, Connection& c, RequestParser& parser, const NetworkTarget& target,
           bool keepAlive)
      : s_(s),
        c_(c),
        parser_(parser),
        target_(target),
        keepAlive_(keepAlive),
        upgrade_(RequestedUpgrade(parser.get())),
        origin_(target.OriginKey()),
        patience_(c.filter.FallbackArmed(), s.options.discPatience) {}

  awaitable<Exchange> Run() {
    for (int attempt = 0;; ++attempt) {
      const Opened opened = co_await Open(attempt == 0 && Replayable());
      if (opened.refusal) co_return *opened.refusal;
      if (opened.failure) co_return Failed(opened.failure, opened.what);
      const Sent sent =
          co_await SendUpstreamRequest(s_, c_, parser_, *upstream_, target_, upgrade_);
      if (sent.clientGone) co_return Abandoned();
      if (sent.badBody) co_return BadBody();
      const Heard heard = co_await ReadFinalHead(sent.error);
      if (heard.answered) co_return *heard.answered;
      // A kept connection the origin closed before answering a byte: once more on a new one.
      if (heard.failure && opened.reused && !heard.anything &&
          heard.failure != beast::error::timeout) {
        continue;
      }
      if (heard.failure) co_return Failed(heard.failure, "answered badly");
      break;
    }
    keepAlive_ = keepAlive_ && parser_.is_done();
    if (response_->get().result_int() == 101) co_return co_await Switched();
    co_return co_await Answered();
  }

 private:
  using Traits = StreamTraits<Upstream>;

  struct Opened {
    boost::system::error_code failure;
    const char* what = "";
    bool reused = false;
    std::optional<Exchange> refusal;  // answered already
  };
  struct Heard {
    boost::system::error_code failure;
    bool anything = false;             // the origin said anything at all
    std::optional<Exchange> answered;  // the fetch is over (interim answers without end, ...)
  };

  // A request that can go again unchanged (no body, a method without side effects) may ride a
  // kept connection, and is sent once more on a new one when that connection turns out closed.
  bool Replayable() const {
    const http::verb method = parser_.get().method();
    return parser_.is_done() && upgrade_.empty() &&
           (method == http::verb::get || method == http::verb::head ||
            method == http::verb::options || method == http::verb::trace);
  }

  Exchange Abandoned() const { return Exchange{0, 0, Answer::kProxy, false, true}; }

  Exchange Failed(const boost::system::error_code& failure, std::string_view what) {
    patience_.SayWhenEnded(failure, target_);
    return NetworkFailed(c_, keepAlive_, failure, what);
  }

  // The origin has the head already; it loses its connection, the client hears why.
  Exchange BadBody() {
    WriteNow(
        c_,
        OwnAnswer({400, Reason::kBadRequest, "The request's body broke its framing.", {}, {}, {}},
                  c_.wantsHtml, true));
    return Exchange{400, 0, Answer::kProxy, false, false, Reason::kBadRequest};
  }

  // A kept connection when this attempt may take one and there is one, else a new one.
  awaitable<Opened> Open(bool mayReuse) {
    const auto executor = co_await asio::this_coro::executor;
    upstreamBuffer_.clear();
    upstreamBuffer_.reserve(kRelayBlock);  // read in large blocks from the start
    Opened opened;
    if (mayReuse) {
      upstream_ = Traits::TakeKept(s_.pool, origin_, executor);
      opened.reused = upstream_ != nullptr;
    }
    if (opened.reused) {
      // A kept connection opened for a client of this machine may lead to one of its addresses.
      if (!c_.loopback) {
        boost::system::error_code peerError;
        const auto peer = Transport(*upstream_).socket().remote_endpoint(peerError);
        if (!peerError && s_.self.IsThisMachine(peer.address())) {
          opened.refusal = NetworkFailed(c_, keepAlive_, {kOnThisMachine, LoopCategory()}, "");
        }
      }
      co_return opened;
    }
    upstream_ = Traits::Make(executor, s_);
    opened.failure = co_await ConnectUpstream(s_, Transport(*upstream_), target_, c_.loopback,
                                              patience_.Within(s_.options.connectTimeout));
    opened.what = "could not be reached";
    if (!opened.failure) {
      opened.failure = co_await Traits::Handshake(*upstream_, target_,
                                                  patience_.Within(s_.options.connectTimeout));
      opened.what = "failed the TLS check";
    }
    co_return opened;
  }

  // Interim answers go to the client as they come (a 100 excepted: the proxy sent its own), and
  // never through send-raw-data, whose first block is the final answer's.
  awaitable<Heard> ReadFinalHead(boost::system::error_code failure) {
    Heard heard{failure, false, std::nullopt};
    for (int interim = 0; !heard.failure; ++interim) {
      response_.emplace();
      response_->header_limit(static_cast<std::uint32_t>(s_.options.headLimit));
      response_->body_limit(boost::none);
      if (c_.headOnly) response_->skip(true);
      Transport(*upstream_).expires_after(patience_.Within(s_.options.readTimeout));
      auto [e, m] =
          co_await http::async_read_header(*upstream_, upstreamBuffer_, *response_, kTuple);
      heard.failure = e;
      heard.anything = heard.anything || m > 0 || upstreamBuffer_.size() > 0;
      if (heard.failure) break;
      const unsigned status = response_->get().result_int();
      if (status < 100 || status >= 200 || status == 101) break;
      if (interim == kInterimLimit) {
        heard.answered = SendOwnAnswer(c_, keepAlive_, 502, Reason::kBadOrigin,
                                       "The network sent interim answers without end.");
        co_return heard;
      }
      if (status != 100 && c_.interimAllowed) {
        const std::string head = ClientResponseHead(
            response_->get(),
            {.via = s_.via, .chunked = false, .keepAlive = false, .upgrade = {}, .interim = true});
        if (!co_await WriteToClient(c_, asio::buffer(head), s_.options.readTimeout)) {
          heard.answered = Abandoned();
          co_return heard;
        }
      }
    }
    co_return heard;
  }

  // A 101: relayed when the client asked for the switch, and the connection becomes a tunnel.
  awaitable<Exchange> Switched() {
    const auto& answer = response_->get();
    if (upgrade_.empty()) {
      co_return SendOwnAnswer(c_, keepAlive_, 502, Reason::kBadOrigin,
                              "The network switched protocols unasked.");
    }
    const auto protocol = answer.find(http::field::upgrade);
    const std::string_view switched =
        protocol != answer.end() ? std::string_view(protocol->value()) : std::string_view(upgrade_);
    const std::string head = ClientResponseHead(answer, {.via = s_.via,
                                                         .chunked = false,
                                                         .keepAlive = false,
                                                         .upgrade = switched,
                                                         .interim = false});
    if (!c_.filter.PassBlock(head)) {
      co_return FilterAnswered(c_.filter, Answer::kDiscFallback, false);
    }
    co_return co_await RelayUpgraded(s_, c_, *upstream_, upstreamBuffer_, head);
  }

  // The final answer: its head, through send-raw-data, then its body.
  awaitable<Exchange> Answered() {
    const auto& answer = response_->get();
    if (const auto why = ResponseFramingError(answer)) {
      co_return SendOwnAnswer(c_, keepAlive_, 502, Reason::kBadOrigin,
                              "The network's answer was refused: " + std::string(*why) + ".");
    }
    // No body: a HEAD's answer, 204, 304. Its framing fields only describe what a GET would get.
    bodyless_ = response_->is_done();
    chunked_ = response_->chunked();
    // An HTTP/1.0 client knows no chunks: a chunked body goes to it bare, ended by the close.
    rechunk_ = chunked_ && c_.interimAllowed;
    framed_ = chunked_ || response_->content_length().has_value() || bodyless_;
    const bool keep = keepAlive_ && framed_ && (bodyless_ || !chunked_ || rechunk_);
    head_ = ClientResponseHead(
        answer,
        {.via = s_.via, .chunked = rechunk_, .keepAlive = keep, .upgrade = {}, .interim = false});
    if (!c_.filter.PassBlock(head_)) {
      // The filter replaced the network's answer; the rest of it is dropped.
      co_return FilterAnswered(c_.filter, Answer::kDiscFallback, keepAlive_);
    }
    Exchange exchange{answer.result_int(), 0, Answer::kNetwork, false};
    // When body bytes came with the head, the head waits for them so that both go out in one
    // write; an origin that sends its head alone (a stream of events, say) has it relayed at
    // once.
    pendingHead_ = head_;
    if (upstreamBuffer_.size() == 0 || bodyless_) {
      if (!co_await WriteToClient(c_, asio::buffer(head_), s_.options.readTimeout))
        co_return exchange;
      pendingHead_ = {};
    }
    if (!co_await RelayBody(exchange)) co_return exchange;
    exchange.keepAlive = keep;
    co_return exchange;
  }

  // Sends what is owed to the client: the held head, if any, and `out`.
  awaitable<bool> Send(std::string_view out) {
    const std::array<asio::const_buffer, 2> both{asio::buffer(pendingHead_), asio::buffer(out)};
    pendingHead_ = {};
    co_return co_await WriteToClient(c_, both, s_.options.readTimeout);
  }

  // A body that breaks its framing: 502 while nothing of the answer has gone out, else the
  // connection just ends (the client sees the answer cut short).
  void Broken(Exchange& exchange, std::string_view why) {
    if (pendingHead_.empty()) return;
    WriteNow(c_, OwnAnswer({502,
                            Reason::kBadOrigin,
                            "The network's answer broke its framing: " + std::string(why) + ".",
                            {},
                            {},
                            {}},
                           c_.wantsHtml, true));
    exchange = Exchange{502, 0, Answer::kProxy, false, false, Reason::kBadOrigin};
  }

  // --update-disc: a GET's body goes to the disc as well (disc_updater.cpp). Begin waits for a
  // commit under way: a blocking region, as the commit is.
  std::unique_ptr<DiscUpdater::Copy> BeginCopy() {
    if (s_.updater == nullptr || c_.headOnly || parser_.get().method() != http::verb::get) {
      return nullptr;
    }
    const Workers::Blocking waiting(c_.workers);
    return s_.updater->Begin(target_.Url(), parser_.get(), response_->get());
  }

  // Read to its end, framed, and the origin keeps it open: the next request may use it, at once
  // (before the last bytes go to the client, who may ask again as soon as it has them).
  void KeepOrigin(bool bodyDone) {
    if (kept_ || !bodyDone || !framed_ || stray_ || !response_->keep_alive() ||
        upstreamBuffer_.size() != 0 || !Transport(*upstream_).socket().is_open()) {
      return;
    }
    kept_ = true;
    Traits::Keep(s_.pool, origin_, std::move(upstream_));
  }

  // The body from the origin to the client, through send-raw-data block by block; false when
  // the answer ended early (the client or the origin gone, the filter's drop, broken framing).
  awaitable<bool> RelayBody(Exchange& exchange) {
    const auto copy = BeginCopy();
    // A body by length, or to the end of the connection, is read straight into the block: the
    // parser would read at most 64 KiB at a time and copy it once more. Chunks are decoded here.
    const bool direct = !chunked_ && !bodyless_;
    const auto length = response_->content_length();
    std::uint64_t left = length.value_or(std::numeric_limits<std::uint64_t>::max());
    // A small answer's body needs no larger block than itself; a long one gets a large block.
    Block block = direct && left > kRelayBlock
                      ? Block(s_.largeBlocks)
                      : Block(length ? static_cast<std::size_t>(
                                           std::clamp<std::uint64_t>(*length, 1, kRelayBlock))
                                     : kRelayBlock);
    ChunkedDecoder decoder(s_.options.headLimit);
    auto bodyDone = [&] { return bodyless_ || (direct ? left == 0 : decoder.done()); };
    KeepOrigin(bodyDone());
    // Raw bytes of the body: first what came with the head, then from the origin.
    auto readBody = [&]() -> awaitable<std::tuple<boost::system::error_code, std::string_view>> {
      const auto room = static_cast<std::size_t>(
          std::min<std::uint64_t>(block.size(), direct ? left : block.size()));
      if (upstreamBuffer_.size() > 0) {
        const std::size_t n =
            asio::buffer_copy(asio::buffer(block.data(), room), upstreamBuffer_.data());
        upstreamBuffer_.consume(n);
        co_return std::tuple{boost::system::error_code{}, std::string_view(block.data(), n)};
      }
      Transport(*upstream_).expires_after(s_.options.readTimeout);
      auto [e, n] = co_await upstream_->async_read_some(asio::buffer(block.data(), room), kTuple);
      co_return std::tuple{e, std::string_view(block.data(), n)};
    };
    std::string decoded;
    while (!bodyDone()) {
      auto [readError, raw] = co_await readBody();
      const bool endOfUnframedBody =
          !framed_ && (readError == http::error::end_of_stream || readError == asio::error::eof);
      if (readError && !endOfUnframedBody) co_return false;
      std::string_view out = raw;  // what goes to the client
      std::uint64_t got = raw.size();
      if (direct) {
        left -= raw.size();
      } else {
        decoded.clear();
        got = 0;
        const std::size_t used = DecodeChunks(decoder, raw, [&](std::string_view data) {
          if (rechunk_) {
            AppendChunk(decoded, data);
          } else {
            decoded.append(data);
          }
          got += data.size();
          if (copy) copy->Append(data);  // the body, not its framing
        });
        // Bytes past the body's end came with it: they are not this answer's.
        if (used < raw.size()) stray_ = true;
        if (decoder.error() != nullptr) {
          Broken(exchange, decoder.error());
          co_return false;
        }
        out = decoded;
      }
      KeepOrigin(bodyDone());
      if (!out.empty()) {
        // The filter sees the block that goes out, not a copy of it.
        const bool passed = direct ? c_.filter.PassOwnBlock(block.data(), raw.size())
                                   : c_.filter.PassOwnBlock(decoded.data(), decoded.size());
        if (!passed) co_return false;  // the filter dropped the rest
        if (!co_await Send(out)) co_return false;
        exchange.bytes += got;
        if (copy && direct) copy->Append(raw);
      }
      if (endOfUnframedBody) break;
    }
    if (!pendingHead_.empty() && !co_await Send({})) co_return false;
    if (!framed_) co_return false;
    if (rechunk_ && !bodyless_) {
      if (!c_.filter.PassBlock(kLastChunk)) co_return false;
      if (!co_await WriteToClient(c_, asio::buffer(kLastChunk), s_.options.readTimeout))
        co_return false;
    }
    if (copy) {
      Workers::Blocking writing(c_.workers);
      s_.metrics.DiscUpdate(s_.updater->Commit(*copy));
    }
    co_return true;
  }

  NetworkServices& s_;
  Connection& c_;
  RequestParser& parser_;
  const NetworkTarget& target_;
  bool keepAlive_;
  const std::string upgrade_;
  const std::string origin_;
  const Patience patience_;
  std::unique_ptr<Upstream> upstream_;
  bool kept_ = false;  // given back to the pool: no longer this request's
  beast::flat_buffer upstreamBuffer_;
  std::optional<http::response_parser<http::buffer_body>> response_;
  // The final answer's framing, and the head made for the client.
  bool bodyless_ = false;
  bool chunked_ = false;
  bool rechunk_ = false;
  bool framed_ = false;
  bool stray_ = false;  // the origin sent more than its answer: its connection is not kept
  std::string head_;
  std::string_view pendingHead_;  // the part of head_ still owed to the client
};

}  // namespace

awaitable<Exchange> Fetch(NetworkServices& s, Connection& c, RequestParser& parser,
                          const NetworkTarget& target, bool keepAlive) {
  if (target.secure) {
    Fetching<TlsStream> fetching(s, c, parser, target, keepAlive);
    co_return co_await fetching.Run();
  }
  Fetching<beast::tcp_stream> fetching(s, c, parser, target, keepAlive);
  co_return co_await fetching.Run();
}

}  // namespace quillon::host
