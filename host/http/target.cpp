#include "target.h"

#include <charconv>

#include "common/ascii.h"

namespace quillon::host {

std::optional<NetworkTarget> ParseAuthority(std::string_view authority, std::uint16_t defaultPort) {
  NetworkTarget target;
  target.port = defaultPort;
  std::string_view host = authority;
  if (!authority.empty() && authority.front() == '[') {  // an IPv6 literal
    const std::size_t close = authority.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = authority.substr(1, close - 1);
    authority.remove_prefix(close + 1);
    if (!authority.empty() && authority.front() != ':') return std::nullopt;
  } else {
    const std::size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    authority = colon == std::string_view::npos ? std::string_view() : authority.substr(colon);
  }
  if (!authority.empty()) {
    std::string_view digits = authority.substr(1);
    unsigned port = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (ec != std::errc() || end != digits.data() + digits.size() || port == 0 || port > 65535) {
      return std::nullopt;
    }
    target.port = static_cast<std::uint16_t>(port);
  }
  // Userinfo never reaches a name lookup.
  if (host.empty() || host.find('@') != std::string_view::npos) return std::nullopt;
  target.host = std::string(host);
  return target;
}

std::optional<NetworkTarget> ParseHttpTarget(std::string_view url) {
  constexpr std::string_view kHttp = "http://";
  constexpr std::string_view kHttps = "https://";
  bool secure = false;
  if (url.size() >= kHttp.size() && AsciiEqualsIgnoreCase(url.substr(0, kHttp.size()), kHttp)) {
    url.remove_prefix(kHttp.size());
  } else if (url.size() >= kHttps.size() &&
             AsciiEqualsIgnoreCase(url.substr(0, kHttps.size()), kHttps)) {
    url.remove_prefix(kHttps.size());
    secure = true;
  } else {
    return std::nullopt;
  }
  const std::size_t pathStart = url.find_first_of("/?#");
  auto target = ParseAuthority(url.substr(0, pathStart), secure ? kHttpsPort : kHttpPort);
  if (!target) return std::nullopt;
  target->secure = secure;
  std::string_view path = pathStart == std::string_view::npos ? "" : url.substr(pathStart);
  path = path.substr(0, path.find('#'));  // a fragment never goes on the wire
  target->path = path.empty() || path.front() != '/' ? "/" + std::string(path) : std::string(path);
  return target;
}

std::string NetworkTarget::AuthorityForHost() const {
  std::string authority = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  if (port != (secure ? kHttpsPort : kHttpPort)) {
    authority.append(":").append(std::to_string(port));
  }
  return authority;
}

std::string NetworkTarget::Url() const { return std::string(Scheme()) + AuthorityForHost() + path; }

std::string NetworkTarget::OriginKey() const {
  return std::string(Scheme()) + host + ":" + std::to_string(port);
}

bool OnDomain(std::string_view host, std::string_view domain) {
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (AsciiEqualsIgnoreCase(host, domain)) return true;
  return host.size() > domain.size() + 1 && host[host.size() - domain.size() - 1] == '.' &&
         AsciiEqualsIgnoreCase(host.substr(host.size() - domain.size()), domain);
}

}  // namespace quillon::host
