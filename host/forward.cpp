// The request towards the origin.
#include "forward.h"

#include "own_answers.h"
#include "streams.h"

namespace quillon::host {

namespace {

std::string_view Buffered(const beast::flat_buffer& buffer) {
  return {static_cast<const char*>(buffer.data().data()), buffer.size()};
}

}  // namespace

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
    if (!co_await WriteToClient(c, asio::buffer(kContinueAnswer), s.options.readTimeout)) {
      co_return Sent{{}, true};
    }
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
      auto [readError, n] =
          co_await ReadFromClient(c, c.buffer.prepare(kRelayBlock), s.options.readTimeout);
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
    // Not a conditional expression: GCC mishandles co_await in one.
    std::tuple<boost::system::error_code, std::size_t> read;
    if (c.tls != nullptr) {
      read = co_await http::async_read_some(c.tls->stream(), c.buffer, parser, kTuple);
    } else {
      read = co_await http::async_read_some(c.client, c.buffer, parser, kTuple);
    }
    auto [readError, n] = read;
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

template awaitable<Sent> SendUpstreamRequest(NetworkServices&, Connection&, RequestParser&,
                                             beast::tcp_stream&, const NetworkTarget&,
                                             std::string_view);
template awaitable<Sent> SendUpstreamRequest(NetworkServices&, Connection&, RequestParser&,
                                             TlsStream&, const NetworkTarget&, std::string_view);

}  // namespace quillon::host
