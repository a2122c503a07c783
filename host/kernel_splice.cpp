#include "kernel_splice.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <cerrno>
#include <mutex>
#include <utility>

namespace quillon::host {

namespace asio = boost::asio;
using asio::awaitable;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;

namespace {

constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);
// What one splice call may move: a default pipe holds 64 KiB.
constexpr std::size_t kSpliceChunk = 64 * 1024;
constexpr unsigned kSpliceFlags = SPLICE_F_MOVE | SPLICE_F_NONBLOCK;

class Pipe {
 public:
  Pipe() {
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) == 0) {
      read_ = ends[0];
      write_ = ends[1];
    }
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() {
    if (read_ >= 0) close(read_);
    if (write_ >= 0) close(write_);
  }
  bool ok() const { return read_ >= 0; }
  int read() const { return read_; }
  int write() const { return write_; }

 private:
  int read_ = -1;
  int write_ = -1;
};

// What both directions share: one timer ends the tunnel once neither has moved a byte for a
// whole idle time, rather than a timer armed and cancelled around every wait (which cost more
// than the splices themselves for small exchanges).
struct Tunnel {
  tcp::socket& a;
  tcp::socket& b;
  asio::steady_timer timer;
  std::uint64_t progress = 0;  // splices that moved bytes, either way
  int finished = 0;            // directions that have ended
  bool idle = false;           // the timer ended the tunnel
};

// Waits until `socket` is ready for `what`: false when the tunnel went idle meanwhile. Both
// directions and the timer run on one strand, so the timer fires only while each direction is
// in here or finished.
awaitable<bool> Ready(Tunnel& tunnel, tcp::socket& socket, tcp::socket::wait_type what) {
  if (tunnel.idle) co_return false;
  auto [ec] = co_await socket.async_wait(what, kTuple);
  co_return !ec && !tunnel.idle;
}

// True when it ended the tunnel.
awaitable<bool> WatchIdle(Tunnel& tunnel, std::chrono::milliseconds idle) {
  for (std::uint64_t seen = tunnel.progress;; seen = tunnel.progress) {
    // Both may have ended before this began: their cancel found no wait to cancel.
    if (tunnel.finished == 2) co_return false;
    tunnel.timer.expires_after(idle);
    auto [ec] = co_await tunnel.timer.async_wait(kTuple);
    if (ec || tunnel.finished == 2) co_return false;  // both directions ended first
    if (tunnel.progress == seen) break;
  }
  tunnel.idle = true;
  boost::system::error_code ignored;
  tunnel.a.cancel(ignored);
  tunnel.b.cancel(ignored);
  co_return true;
}

void ShutdownSend(tcp::socket& socket) {
  boost::system::error_code ignored;
  socket.shutdown(tcp::socket::shutdown_send, ignored);
}

// One direction: `from` into the pipe, the pipe into `to`, until `from` ends, either fails or
// the tunnel goes idle; then `to` hears that nothing more comes.
awaitable<std::uint64_t> Pump(Tunnel& tunnel, tcp::socket& from, tcp::socket& to,
                              const Pipe& pipe) {
  std::uint64_t moved = 0;
  std::size_t held = 0;  // in the pipe, not yet in `to`
  bool ended = false;    // `from` has nothing more
  for (;;) {
    if (!ended) {
      const ssize_t n =
          splice(from.native_handle(), nullptr, pipe.write(), nullptr, kSpliceChunk, kSpliceFlags);
      if (n > 0) {
        held += static_cast<std::size_t>(n);
        ++tunnel.progress;
      } else if (n < 0 && errno == EAGAIN) {
        // Nothing to read (or the pipe is full, and is emptied below).
        if (held == 0 && !co_await Ready(tunnel, from, tcp::socket::wait_read)) break;
      } else {
        ended = true;  // the end, or a reset: what the pipe holds still goes out
      }
    }
    if (held > 0) {
      const ssize_t m =
          splice(pipe.read(), nullptr, to.native_handle(), nullptr, held, kSpliceFlags);
      if (m > 0) {
        held -= static_cast<std::size_t>(m);
        moved += static_cast<std::uint64_t>(m);
      } else if (m < 0 && errno == EAGAIN) {
        if (!co_await Ready(tunnel, to, tcp::socket::wait_write)) break;
      } else {
        break;  // `to` is gone: what is left has nowhere to go
      }
    } else if (ended) {
      break;
    }
  }
  ShutdownSend(to);
  if (++tunnel.finished == 2) tunnel.timer.cancel();
  co_return moved;
}

}  // namespace

awaitable<std::optional<std::uint64_t>> KernelSplice(tcp::socket& a, tcp::socket& b,
                                                     std::chrono::milliseconds idle) {
  // splice(2) has no MSG_NOSIGNAL: writing to a peer that has gone would raise SIGPIPE and end
  // the process, where a failed write is all that should happen.
  static std::once_flag ignoring;
  std::call_once(ignoring, [] { signal(SIGPIPE, SIG_IGN); });
  Pipe toB, toA;
  if (!toB.ok() || !toA.ok()) co_return std::nullopt;
  boost::system::error_code ec;
  a.native_non_blocking(true, ec);
  if (!ec) b.native_non_blocking(true, ec);
  if (ec) co_return std::nullopt;
  // Not awaited inside the initialiser: GCC mishandles the temporaries of a co_await there.
  const auto executor = co_await asio::this_coro::executor;
  Tunnel tunnel{a, b, asio::steady_timer(executor)};
  auto [sentToB, sentToA, wentIdle] =
      co_await (Pump(tunnel, a, b, toB) && Pump(tunnel, b, a, toA) && WatchIdle(tunnel, idle));
  (void)sentToB;
  (void)wentIdle;
  co_return sentToA;
}

}  // namespace quillon::host
