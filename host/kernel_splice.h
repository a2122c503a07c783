// An opaque tunnel's bytes moved inside the kernel: splice(2) from one socket into a pipe and
// from the pipe into the other, both ways, so they never cross into the proxy's memory.
#pragma once

#include <boost/asio/awaitable.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <cstdint>
#include <optional>

namespace quillon::host {

// Moves bytes both ways between `a` and `b` until both directions end: a side's end is passed
// on as a shutdown of sending, and once no byte has moved either way for a whole `idle` (checked
// every `idle`, so an idle tunnel ends within twice that) both end. Returns the bytes that went
// from `b` to `a`, or nothing, before any byte moved, when no pipes could be made (descriptors ran
// out), so that the caller copies instead. Each direction holds one pipe: at most its size (64 KiB
// by default) of a tunnel's bytes is in flight in the kernel, and the proxy's memory holds none.
boost::asio::awaitable<std::optional<std::uint64_t>> KernelSplice(boost::asio::ip::tcp::socket& a,
                                                                  boost::asio::ip::tcp::socket& b,
                                                                  std::chrono::milliseconds idle);

}  // namespace quillon::host
