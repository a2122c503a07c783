#include "self_addresses.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>

#include "client_access.h"

namespace quillon::host {

namespace asio = boost::asio;

void SelfAddresses::Set(const tcp::endpoint& listening) {
  listening_ = tcp::endpoint(Unmapped(listening.address()), listening.port());
  local_.clear();
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return;
  for (ifaddrs* it = list; it != nullptr; it = it->ifa_next) {
    if (it->ifa_addr == nullptr) continue;
    if (it->ifa_addr->sa_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(it->ifa_addr);
      local_.push_back(asio::ip::address_v4(ntohl(in->sin_addr.s_addr)));
    } else if (it->ifa_addr->sa_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(it->ifa_addr);
      asio::ip::address_v6::bytes_type bytes;
      std::copy(std::begin(in6->sin6_addr.s6_addr), std::end(in6->sin6_addr.s6_addr),
                bytes.begin());
      local_.push_back(asio::ip::address_v6(bytes, in6->sin6_scope_id));
    }
  }
  freeifaddrs(list);
}

bool SelfAddresses::Contains(const tcp::endpoint& endpoint) const {
  if (endpoint.port() != listening_.port()) return false;
  const asio::ip::address address = Unmapped(endpoint.address());
  if (address == listening_.address()) return true;
  if (!listening_.address().is_unspecified()) return false;
  // A wildcard listener answers on every local address.
  if (address.is_loopback() || address.is_unspecified()) return true;
  for (const auto& local : local_) {
    if (local == address) return true;
  }
  return false;
}

bool SelfAddresses::IsThisMachine(const asio::ip::address& candidate) const {
  const asio::ip::address address = Unmapped(candidate);
  if (address.is_loopback() || address.is_unspecified()) return true;
  return std::find(local_.begin(), local_.end(), address) != local_.end();
}

std::string SelfAddresses::listen() const {
  const auto address = listening_.address();
  const std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
  return text + ":" + std::to_string(listening_.port());
}

}  // namespace quillon::host
