// The addresses that reach this proxy, and those of its machine: a request bound there would
// come straight back, or reach what only this machine's own clients may.
#pragma once

#include <boost/asio/ip/tcp.hpp>
#include <string>
#include <vector>

namespace quillon::host {

class SelfAddresses {
 public:
  using tcp = boost::asio::ip::tcp;

  void Set(const tcp::endpoint& listening);
  bool Contains(const tcp::endpoint& endpoint) const;
  // Loopback, unspecified, or an address of one of this machine's interfaces (as at Set).
  bool IsThisMachine(const boost::asio::ip::address& address) const;
  std::string listen() const;  // "address:port"

 private:
  tcp::endpoint listening_;
  std::vector<boost::asio::ip::address>
      local_;  // every interface's address, for a wildcard listener
};

}  // namespace quillon::host
