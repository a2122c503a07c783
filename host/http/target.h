// Where a proxied request goes: the absolute target split into host, port and origin-form path.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillon::host {

inline constexpr std::uint16_t kHttpPort = 80;
inline constexpr std::uint16_t kHttpsPort = 443;

struct NetworkTarget {
  std::string host;
  std::uint16_t port = kHttpPort;
  std::string path;     // origin form: "/..." with any query
  bool secure = false;  // https: TLS to the origin

  // host[:port] as a Host field names it: an IPv6 literal in brackets, the scheme's default port
  // left out.
  std::string AuthorityForHost() const;
  // "http://" or "https://".
  std::string_view Scheme() const { return secure ? "https://" : "http://"; }
  // The absolute address: scheme, authority and path.
  std::string Url() const;
  // What tells one origin's connections from another's: scheme, host and port.
  std::string OriginKey() const;
};

// "http://host[:port]/path" or "https://...". nullopt for another scheme, no host, or a bad port.
std::optional<NetworkTarget> ParseHttpTarget(std::string_view url);

// "host:port" of a CONNECT request. nullopt when malformed.
std::optional<NetworkTarget> ParseAuthority(std::string_view authority, std::uint16_t defaultPort);

// The host is the catalogue domain or one of its sub-domains (ASCII case ignored; one trailing
// dot, the absolute form of a DNS name, changes nothing).
bool OnDomain(std::string_view host, std::string_view domain);

}  // namespace quillon::host
