// The HTTP/1.1 rules an intermediary lives by, as pure functions over parsed heads: message
// framing, Host, hop-by-hop fields, Via and loops, and the heads the proxy writes on each side.
// No I/O here: the fuzz target and the table tests call these directly.
#pragma once

#include <boost/beast/http.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "chunked.h"
#include "target.h"

namespace quillon::host {

using RequestHead = boost::beast::http::request_header<>;
using ResponseHead = boost::beast::http::response_header<>;
using Fields = boost::beast::http::fields;

// The fields that frame a message or name its target. A Connection field never makes them
// hop-by-hop: a proxy that dropped a listed Content-Length yet relayed the body would hand the
// next hop a second message inside the first.
bool IsFramingField(std::string_view name);

// The fields that concern one connection only and never cross the proxy: the fixed ones and
// every name the Connection fields list (framing fields excepted). Built once per head, so
// filtering a head is linear in its size however many Connection tokens it carries.
class HopByHop {
 public:
  explicit HopByHop(const Fields& fields);
  bool Drops(std::string_view name) const;
  // A Connection field named this token ("upgrade", "close").
  bool Listed(std::string_view token) const;
  // A Connection field named a framing field.
  bool ListsFraming() const { return listsFraming_; }

 private:
  // ASCII case ignored, looked up by string_view without a copy.
  struct NoCaseHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept;
  };
  struct NoCaseEqual {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const noexcept;
  };
  std::unordered_set<std::string, NoCaseHash, NoCaseEqual> listed_;
  bool listsFraming_ = false;
};

// Every Content-Length field and every element of each one's list: equal values collapse to
// one, anything else (differing values, a non-number) is invalid. No value when there is none.
struct ContentLength {
  bool valid = true;
  std::optional<std::uint64_t> value;
};
ContentLength ParseContentLength(const Fields& fields);

// Where a head ends: just past its first empty line, or npos. Lines may end in LF alone, so a
// head written that way is found (and then refused by the parser) rather than waited for.
// `searched`: how much of `data` an earlier call had seen, so a head that arrives byte by byte
// costs linear time.
std::size_t FindHeadEnd(std::string_view data, std::size_t searched = 0);

// Why a request head cannot be relayed safely, or nullopt. Each answer is a 400 and a close:
// a transfer coding that does not end in chunked, or one in HTTP/1.0, or with a Content-Length
// beside it (a body whose end two parties would judge differently); differing Content-Lengths;
// a Connection field naming a framing field; no Host in HTTP/1.1, more than one, or one that is
// not host[:port]; userinfo in the target (credentials must not reach a name lookup); a CONNECT
// without a port.
std::optional<std::string_view> RequestFramingError(const RequestHead& head);

// Why an origin's final answer cannot be relayed, or nullopt (a 502): a transfer coding other
// than chunked alone, which the proxy would pass on undecoded and unlabelled; differing
// Content-Lengths.
std::optional<std::string_view> ResponseFramingError(const ResponseHead& head);

// The Max-Forwards of an OPTIONS or TRACE request; nullopt for other methods, or when the field
// is absent or not a number (it then goes on as it is).
std::optional<std::uint64_t> MaxForwards(const RequestHead& head);

// The proxy's own answer to an OPTIONS or TRACE whose Max-Forwards is 0 (RFC 9110 7.6.2): it is
// the last hop. OPTIONS gets the methods it relays; TRACE gets its request head back as
// message/http, without the fields that carry credentials.
std::optional<std::string> LastHopAnswer(const RequestHead& head);

// uri-host [ ":" port ]: a reg-name, an IPv4 address or a bracketed IP literal.
bool ValidHostField(std::string_view value);

// The request asks for a "100 Continue" before it sends its body (ignored in HTTP/1.0).
bool ExpectsContinue(const RequestHead& head);

// The protocol an HTTP/1.1 client asks to switch to ("websocket"), or empty.
std::string_view RequestedUpgrade(const RequestHead& head);

// One of the request's Via entries was received by `name`: the request has passed this proxy.
bool ViaNames(const Fields& fields, std::string_view name);

// The request as it goes to the origin. Host always names the target (the client's Host never
// goes on); hop-by-hop fields and a 100-continue expectation (the proxy answers it) are dropped;
// `via` is appended. `chunkedBody`: the body is re-chunked. `upgrade`: ask the origin to switch.
struct UpstreamHeadOptions {
  std::string_view via;  // "1.1 name (quillon-proxy)"
  bool chunkedBody = false;
  std::string_view upgrade;
};
std::string UpstreamRequestHead(const RequestHead& head, const NetworkTarget& target,
                                const UpstreamHeadOptions& options);

// The origin's answer as it goes to the browser: status line, end-to-end fields, Via, then the
// proxy's own framing. An interim (1xx) head carries no framing fields.
struct ClientHeadOptions {
  std::string_view via;
  bool chunked = false;      // the body is re-chunked
  bool keepAlive = false;    // else "Connection: close"
  std::string_view upgrade;  // a 101: the protocol switched to
  bool interim = false;
};
std::string ClientResponseHead(const ResponseHead& head, const ClientHeadOptions& options);

// A field of the access log: '"', '\' and every byte outside printable ASCII as \xHH.
std::string LogEscape(std::string_view text);

// Where the proxy writes the network's new copies before they take their place on the disc.
inline constexpr const char kDiscUpdatesFolder[] = "updates";

// The address names the disc's own files under the disc's bare route, however its path is
// spelled: the catalogue (and its journals) and the folder of copies being written. They are
// never served.
bool NamesDiscInternals(std::string_view target, std::string_view barePrefix);

}  // namespace quillon::host
