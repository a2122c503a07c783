// Tunnels moved by splice(2): what each side sends arrives whole and in order, ends are passed
// on, and an idle tunnel ends.
#include "kernel_splice.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/asio/experimental/awaitable_operators.hpp>
#include <string>

namespace quillon::host {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace asio::experimental::awaitable_operators;
using namespace std::chrono_literals;
constexpr auto kTuple = asio::as_tuple(asio::use_awaitable);

// Two connected loopback sockets.
std::pair<tcp::socket, tcp::socket> Connected(asio::io_context& io) {
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  tcp::socket near(io);
  near.connect(acceptor.local_endpoint());
  return {acceptor.accept(), std::move(near)};
}

std::string Bytes(std::size_t size, char seed) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(seed + i * 7 + i / 251);
  return bytes;
}

// Sends `bytes`, then ends its sending, while reading everything the other side sends.
asio::awaitable<std::string> Talk(tcp::socket& socket, const std::string& bytes, bool send) {
  if (bytes == "leave") {  // goes away at once, as a closed browser tab does
    socket.close();
    co_return "";
  }
  auto write = [&]() -> asio::awaitable<void> {
    if (!send) co_return;
    co_await asio::async_write(socket, asio::buffer(bytes), kTuple);
    boost::system::error_code ignored;
    socket.shutdown(tcp::socket::shutdown_send, ignored);
  };
  auto read = [&]() -> asio::awaitable<std::string> {
    std::string got;
    auto [e, n] = co_await asio::async_read(socket, asio::dynamic_buffer(got), kTuple);
    (void)e;
    (void)n;
    co_return got;
  };
  co_return co_await (write() && read());
}

TEST(KernelSplice, MovesBothWaysAndEnds) {
  struct Row {
    const char* name;
    std::size_t toServer, toClient;
    bool talk;  // false: nobody sends or ends, the idle time ends the tunnel
    bool clientLeaves = false;
  };
  const Row rows[] = {
      {"nothing, both end", 0, 0, true},
      {"one byte each way", 1, 1, true},
      {"an upload", 3 << 20, 10, true},
      {"a download past many pipes", 10, 5 << 20, true},
      {"both ways at once", 2 << 20, 2 << 20, true},
      {"idle", 0, 0, false},
      // Splicing into a closed socket raises SIGPIPE, which must not end the process.
      {"the client leaves during a download", 0, 8 << 20, true, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    asio::io_context io;
    auto [client, a] = Connected(io);
    auto [b, server] = Connected(io);
    const std::string up = row.clientLeaves ? "leave" : Bytes(row.toServer, 'u');
    const std::string down = Bytes(row.toClient, 'd');
    std::optional<std::uint64_t> moved;
    std::string atServer, atClient;
    // Named, so that the coroutine's captures outlive the run.
    auto tunnel = [&]() -> asio::awaitable<void> {
      auto splice = [&]() -> asio::awaitable<std::optional<std::uint64_t>> {
        auto spliced = co_await KernelSplice(a, b, 1s);
        a.close();  // as the proxy does when a tunnel ends
        b.close();
        co_return spliced;
      };
      auto [spliced, serverGot, clientGot] =
          co_await (splice() && Talk(server, down, row.talk) && Talk(client, up, row.talk));
      moved = spliced;
      atServer = std::move(serverGot);
      atClient = std::move(clientGot);
    };
    asio::co_spawn(io, tunnel(), asio::detached);
    const auto started = std::chrono::steady_clock::now();
    io.run_for(20s);
    ASSERT_TRUE(moved.has_value());
    if (row.clientLeaves) {
      EXPECT_LT(*moved, row.toClient);
      continue;
    }
    EXPECT_EQ(*moved, row.toClient);
    EXPECT_TRUE(atServer == up) << atServer.size() << " of " << up.size();
    EXPECT_TRUE(atClient == down) << atClient.size() << " of " << down.size();
    // Idle ends it after a whole idle time, and only idle does: once both sides end, so does
    // the tunnel.
    const auto took = std::chrono::steady_clock::now() - started;
    if (row.talk) {
      EXPECT_LT(took, 1s);
    } else {
      EXPECT_GE(took, 1s);
    }
  }
}

}  // namespace
}  // namespace quillon::host
