#include "client_access.h"

#include <algorithm>
#include <charconv>

#include "common/ascii.h"

namespace quillon::host {

namespace asio = boost::asio;

namespace {

// The address's bytes in network order and how many bits it has.
std::vector<unsigned char> BytesOf(const asio::ip::address& address) {
  if (address.is_v4()) {
    const auto b = address.to_v4().to_bytes();
    return {b.begin(), b.end()};
  }
  const auto b = address.to_v6().to_bytes();
  return {b.begin(), b.end()};
}

// Whether the first `prefix` bits of a and b agree (both of one length).
bool SamePrefix(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                unsigned prefix) {
  for (std::size_t i = 0; i < a.size() && prefix > 0; ++i) {
    const unsigned bits = std::min(prefix, 8u);
    const auto mask = static_cast<unsigned char>(0xFF00u >> bits);
    if ((a[i] & mask) != (b[i] & mask)) return false;
    prefix -= bits;
  }
  return true;
}

std::optional<asio::ip::address> ParseAddress(std::string_view text) {
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
    if (text.find(':') == std::string_view::npos) return std::nullopt;  // only IPv6 in brackets
  }
  // A scope ("fe80::1%eth0") names an interface, not a range.
  if (text.empty() || text.find('%') != std::string_view::npos) return std::nullopt;
  boost::system::error_code ec;
  const auto address = asio::ip::make_address(std::string(text), ec);
  if (ec) return std::nullopt;
  return address;
}

}  // namespace

asio::ip::address Unmapped(const asio::ip::address& address) {
  if (address.is_v6() && address.to_v6().is_v4_mapped()) {
    return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
  }
  return address;
}

std::optional<Network> ParseNetwork(std::string_view text) {
  const std::size_t slash = text.find('/');
  const auto address = ParseAddress(text.substr(0, slash));
  if (!address) return std::nullopt;
  const unsigned width = address->is_v4() ? 32 : 128;
  unsigned prefix = width;
  if (slash != std::string_view::npos) {
    const std::string_view digits = text.substr(slash + 1);
    if (digits.empty() || digits.size() > 3) return std::nullopt;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
    if (ec != std::errc() || end != digits.data() + digits.size() || prefix > width) {
      return std::nullopt;
    }
  }
  // The range's first address: "10.1.2.3/8" is 10.0.0.0/8.
  auto bytes = BytesOf(*address);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const unsigned start = static_cast<unsigned>(i) * 8;
    if (start >= prefix) {
      bytes[i] = 0;
    } else if (prefix - start < 8) {
      bytes[i] &= static_cast<unsigned char>(0xFF00u >> (prefix - start));
    }
  }
  Network network;
  network.prefix = prefix;
  if (address->is_v4()) {
    asio::ip::address_v4::bytes_type b;
    std::copy(bytes.begin(), bytes.end(), b.begin());
    network.address = asio::ip::address_v4(b);
  } else {
    asio::ip::address_v6::bytes_type b;
    std::copy(bytes.begin(), bytes.end(), b.begin());
    network.address = asio::ip::address_v6(b);
  }
  return network;
}

bool Network::Contains(const asio::ip::address& candidate) const {
  const asio::ip::address client = Unmapped(candidate);
  if (client.is_v4() != address.is_v4()) return false;
  return SamePrefix(BytesOf(address), BytesOf(client), prefix);
}

std::string Network::ToString() const { return address.to_string() + "/" + std::to_string(prefix); }

bool ClientAllowList::Allows(const asio::ip::address& client) const {
  const asio::ip::address address = Unmapped(client);
  if (address.is_loopback()) return true;
  return std::any_of(allowed_.begin(), allowed_.end(),
                     [&address](const Network& n) { return n.Contains(address); });
}

std::string ClientAllowList::Describe() const {
  std::string text = "this machine";
  if (allowed_.empty()) return text + " only";
  for (const Network& network : allowed_) text += ", " + network.ToString();
  return text;
}

bool ClientCounts::Enter(const asio::ip::address& client) {
  const asio::ip::address address = Unmapped(client);
  if (limit_ == 0 || address.is_loopback()) return true;
  std::lock_guard lock(mutex_);
  std::size_t& open = open_[address];
  if (open >= limit_) return false;  // the entry exists: this client holds the limit
  ++open;
  return true;
}

void ClientCounts::Leave(const asio::ip::address& client) {
  const asio::ip::address address = Unmapped(client);
  if (limit_ == 0 || address.is_loopback()) return;
  std::lock_guard lock(mutex_);
  auto it = open_.find(address);
  if (it == open_.end()) return;
  if (--it->second == 0) open_.erase(it);
}

std::optional<FixedAddress> ParseFixedAddress(std::string_view text) {
  // HOST:PORT:ADDR, where ADDR may hold colons of its own.
  const std::size_t first = text.find(':');
  if (first == std::string_view::npos || first == 0) return std::nullopt;
  const std::size_t second = text.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  const std::string_view host = text.substr(0, first);
  const std::string_view digits = text.substr(first + 1, second - first - 1);
  unsigned port = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size() || port == 0 ||
      port > 65535) {
    return std::nullopt;
  }
  const auto address = ParseAddress(text.substr(second + 1));
  if (!address) return std::nullopt;
  FixedAddress fixed;
  fixed.host = AsciiLowered(host);
  fixed.port = static_cast<std::uint16_t>(port);
  fixed.address = Unmapped(*address);
  return fixed;
}

std::optional<asio::ip::address> FixedAddressOf(const std::vector<FixedAddress>& fixed,
                                                std::string_view host, std::uint16_t port) {
  for (const FixedAddress& entry : fixed) {
    if (entry.port == port && AsciiEqualsIgnoreCase(entry.host, host)) return entry.address;
  }
  return std::nullopt;
}

}  // namespace quillon::host
