// Who may use the proxy and where names go without DNS: address ranges (CIDR) for --allow, the
// per-client connection count, and --resolve's fixed addresses. Pure, no I/O.
#pragma once

#include <boost/asio/ip/address.hpp>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon::host {

// Connections one client address (other than loopback) may hold at once, by default: a browser
// opens at most a few dozen to its proxy, and 64 of the default 1,024 leaves room for 15 more.
inline constexpr std::size_t kDefaultConnectionsPerClient = 64;

// An address range: "10.0.0.0/8", "fd00::/8", or one address ("192.0.2.7", "::1").
struct Network {
  boost::asio::ip::address address;  // with the bits past the prefix cleared
  unsigned prefix = 0;

  bool Contains(const boost::asio::ip::address& address) const;
  std::string ToString() const;  // "10.0.0.0/8"
};

// nullopt for anything but an IPv4 or IPv6 address with an optional /prefix within its length.
std::optional<Network> ParseNetwork(std::string_view text);

// An IPv4 address seen through an IPv6 socket (::ffff:a.b.c.d), as the IPv4 address it is.
boost::asio::ip::address Unmapped(const boost::asio::ip::address& address);

// The clients the proxy serves: loopback always (this machine), and the ranges of --allow.
class ClientAllowList {
 public:
  explicit ClientAllowList(std::vector<Network> allowed) : allowed_(std::move(allowed)) {}
  bool Allows(const boost::asio::ip::address& client) const;
  // "this machine only" or "this machine, 10.0.0.0/8, ..." for the start message.
  std::string Describe() const;

 private:
  std::vector<Network> allowed_;
};

// Open connections per client address, so that one client cannot take every slot. Loopback
// clients are this machine's own users and are not counted. A limit of 0 counts nobody.
class ClientCounts {
 public:
  explicit ClientCounts(std::size_t limit) : limit_(limit) {}
  // Takes a slot for the client; false when it holds `limit` already.
  bool Enter(const boost::asio::ip::address& client);
  // Gives back a slot Enter took.
  void Leave(const boost::asio::ip::address& client);
  std::size_t limit() const { return limit_; }

 private:
  const std::size_t limit_;
  std::mutex mutex_;
  std::map<boost::asio::ip::address, std::size_t> open_;  // only clients holding one or more
};

// --resolve HOST:PORT:ADDR (as curl spells it): connections to HOST:PORT go to ADDR, with no
// DNS lookup. An IPv6 ADDR may be in brackets.
struct FixedAddress {
  std::string host;  // lower case
  std::uint16_t port = 0;
  boost::asio::ip::address address;
};

std::optional<FixedAddress> ParseFixedAddress(std::string_view text);

// The address --resolve gives HOST:PORT (ASCII case ignored in HOST), if any.
std::optional<boost::asio::ip::address> FixedAddressOf(const std::vector<FixedAddress>& fixed,
                                                       std::string_view host, std::uint16_t port);

}  // namespace quillon::host
