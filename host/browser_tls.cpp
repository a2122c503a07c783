// The browser's TLS in an intercepted tunnel: synchronous writes and its end.
#include "browser_tls.h"

namespace quillon::host {

namespace {

// Pieces this small are joined first: one record (and one send) rather than two.
constexpr std::size_t kGatherLimit = 16 * 1024;

}  // namespace

bool BrowserTls::Write(std::string_view first, std::string_view second) {
  boost::system::error_code ec;
  if (!first.empty() && !second.empty() && first.size() + second.size() <= kGatherLimit) {
    gathered_.assign(first);
    gathered_.append(second);
    boost::asio::write(stream_, boost::asio::buffer(gathered_), ec);
    return !ec;
  }
  for (std::string_view piece : {first, second}) {
    if (piece.empty()) continue;
    boost::asio::write(stream_, boost::asio::buffer(piece), ec);
    if (ec) return false;
  }
  return true;
}

void BrowserTls::EndSend() {
  if (ended_) return;  // once: the session ends it again after its last request
  ended_ = true;
  boost::system::error_code ignored;
  // Sends close_notify; the browser's own is not waited for (the layer below reads nothing).
  stream_.shutdown(ignored);
  transport().socket().shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
}

}  // namespace quillon::host
