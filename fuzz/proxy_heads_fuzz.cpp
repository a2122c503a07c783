// The proxy's head handling on hostile bytes: the first byte picks a request or a response head;
// whatever the parser accepts goes through every rule, and the heads the proxy would write must
// stay well-formed (one head, ending at its one empty line, no bare line feeds, nothing injected).
#include <boost/beast/http.hpp>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/constants.h"
#include "http_rules.h"
#include "launch_gate.h"
#include "target.h"

namespace {

namespace http = boost::beast::http;
using namespace quillon::host;

void Check(bool condition) {
  if (!condition) std::abort();
}

// A head the proxy writes: CR LF line ends only, and its first empty line is its end.
void CheckWellFormed(std::string_view head) {
  Check(FindHeadEnd(head) == head.size());
  for (std::size_t i = 0; i < head.size(); ++i) {
    if (head[i] == '\n') Check(i > 0 && head[i - 1] == '\r');
    if (head[i] == '\r') Check(i + 1 < head.size() && head[i + 1] == '\n');
  }
}

void Request(std::string_view data) {
  http::request_parser<http::empty_body> parser;
  parser.eager(false);
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(data.data(), data.size()), ec);
  if (ec || !parser.is_header_done()) return;
  const RequestHead& head = parser.get().base();
  const bool refused = RequestFramingError(head).has_value();
  (void)ExpectsContinue(head);
  (void)ViaNames(head, "me:8080");
  const std::string_view target = head.target();
  (void)NamesDiscInternals(target, quillon::kBarePrefix);
  (void)LaunchGate::IsLaunchAddress(target);
  const std::string logged = LogEscape(target);
  for (char c : logged) Check(c != '"' && static_cast<unsigned char>(c) >= 0x20);
  auto network = ParseHttpTarget(target);
  if (!network) network = ParseAuthority(target, 443);
  if (!network) return;
  (void)OnDomain(network->host, quillon::kCatalogueDomain);
  if (refused) return;  // answered 400: nothing goes upstream
  const std::string upgrade(RequestedUpgrade(head));
  for (bool chunked : {false, true}) {
    CheckWellFormed(
        UpstreamRequestHead(head, *network, {"1.1 me:8080 (quillon-proxy)", chunked, upgrade}));
  }
}

void Response(std::string_view data) {
  http::response_parser<http::empty_body> parser;
  parser.eager(false);
  boost::system::error_code ec;
  parser.put(boost::asio::buffer(data.data(), data.size()), ec);
  if (ec || !parser.is_header_done()) return;
  const ResponseHead& head = parser.get().base();
  for (int shape = 0; shape < 4; ++shape) {
    CheckWellFormed(ClientResponseHead(head, {"1.1 me:8080 (quillon-proxy)", shape == 1, shape == 2,
                                              shape == 3 ? "websocket" : "", shape == 0}));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view data(reinterpret_cast<const char*>(bytes) + 1, size - 1);
  // Where a head ends must not depend on how its bytes arrived.
  const std::size_t end = FindHeadEnd(data);
  std::size_t searched = 0, found = std::string_view::npos;
  for (std::size_t n = 1; n <= data.size() && n <= 512 && found == std::string_view::npos;
       searched = n++) {
    found = FindHeadEnd(data.substr(0, n), searched);
  }
  if (data.size() <= 512) Check(found == end);
  if (bytes[0] & 1) {
    Response(data);
  } else {
    Request(data);
  }
  return 0;
}
