// The request towards the origin: its head, a "100 Continue" to a client that waits for one, and
// its body streamed (a chunked one decoded, bounded and re-chunked).
#pragma once

#include <cstddef>
#include <string_view>

#include "connection.h"
#include "http_rules.h"
#include "origin.h"
#include "target.h"

namespace quillon::host {

inline constexpr std::string_view kLastChunk = "0\r\n\r\n";

// Decodes what `input` holds of a chunked body, calling `each` with every run of its bytes.
// Returns the input used; the rest follows the body.
template <typename Each>
inline std::size_t DecodeChunks(ChunkedDecoder& decoder, std::string_view input, Each&& each) {
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

// Sends the request's head and body to the origin; `upgrade` is the protocol the client asks
// to switch to (empty: none).
template <class Upstream>
awaitable<Sent> SendUpstreamRequest(NetworkServices& s, Connection& c, RequestParser& parser,
                                    Upstream& upstream, const NetworkTarget& target,
                                    std::string_view upgrade);

}  // namespace quillon::host
