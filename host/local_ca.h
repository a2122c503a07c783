// The local certificate authority that lets the proxy answer https:// addresses of the disc:
// a browser that trusts it accepts the certificates the proxy makes for the disc's hosts.
#pragma once

#include <boost/asio/ssl/context.hpp>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace quillon::host {

// The files of the authority in its folder; the key is readable by its owner alone.
inline constexpr std::string_view kCaCertificateFile = "ca.pem";
inline constexpr std::string_view kCaKeyFile = "ca.key";
// Host certificates kept made, the least recently used going first.
inline constexpr std::size_t kHostCertificateCache = 512;
inline constexpr std::chrono::hours kCaLifetime{24 * 365 * 10};
// Under the 398 days browsers accept for a server certificate.
inline constexpr std::chrono::hours kHostCertificateLifetime{24 * 397};

class LocalCa {
 public:
  // Loads the authority from `folder`, or makes it there (a P-256 key) when the folder holds
  // none. Throws HostError when it can do neither, or when the key is readable by others.
  static std::unique_ptr<LocalCa> OpenOrCreate(const std::filesystem::path& folder);
  ~LocalCa();
  LocalCa(const LocalCa&) = delete;
  LocalCa& operator=(const LocalCa&) = delete;

  std::filesystem::path certificatePath() const;
  bool created() const { return created_; }

  // A server context presenting a certificate for `host` (a DNS name or an IP literal), signed
  // by this authority; made on first use and kept. Safe from any thread.
  std::shared_ptr<boost::asio::ssl::context> ServerContext(std::string_view host);

 private:
  struct Keys;
  LocalCa() = default;
  std::shared_ptr<boost::asio::ssl::context> Make(const std::string& host) const;

  std::filesystem::path folder_;
  bool created_ = false;
  std::unique_ptr<Keys> keys_;
  std::mutex mutex_;
  std::list<std::string> order_;  // most recently used first
  std::unordered_map<std::string, std::pair<std::shared_ptr<boost::asio::ssl::context>,
                                            std::list<std::string>::iterator>>
      cache_;
};

// The client side towards origins: certificates checked against the system's trust store (and
// `extraAnchors`, a PEM file, when set). Throws HostError when the store cannot be read.
std::unique_ptr<boost::asio::ssl::context> OriginTlsContext(
    const std::filesystem::path& extraAnchors);

}  // namespace quillon::host
