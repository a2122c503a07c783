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
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace quillon::host {

// The files of the authority in its folder; the key is readable by its owner alone.
inline constexpr std::string_view kCaCertificateFile = "ca.pem";
inline constexpr std::string_view kCaKeyFile = "ca.key";
// Host certificates kept made, the least recently used going first.
inline constexpr std::size_t kHostCertificateCache = 512;
// A leaked key stays a danger only this long, and only for the names the authority was made for.
inline constexpr std::chrono::hours kCaLifetime{24 * 730};
// Under the 398 days browsers accept for a server certificate.
inline constexpr std::chrono::hours kHostCertificateLifetime{24 * 397};
// The longest label and the longest name DNS allows (RFC 1035 2.3.4).
inline constexpr std::size_t kMaxDnsLabel = 63;
inline constexpr std::size_t kMaxDnsName = 253;

// The name a certificate of the authority may carry for `host` (a DNS name, or an IP literal,
// bracketed or not): lowercased, brackets and one trailing dot dropped. nullopt for anything
// else: a wildcard, an empty label, a label over 63 bytes, a name over 253, a byte other than
// letters, digits, '-', '_' and '.'.
std::optional<std::string> CertificateName(std::string_view host);

class LocalCa {
 public:
  // Loads the authority from `folder`, or makes it there (a P-256 key) when the folder holds
  // none, when its certificate has expired, or when `renew` says. A new authority may sign only
  // `names` (a DNS name stands for its sub-domains too, an address for itself alone; names
  // CertificateName refuses are left out). A missing folder is made the owner's alone; an
  // existing one is never changed. Throws HostError when it can do neither; when the folder,
  // the key or the certificate belongs to another user or others may write it (the key: read
  // it); when the certificate is not an authority.
  static std::unique_ptr<LocalCa> OpenOrCreate(const std::filesystem::path& folder,
                                               const std::vector<std::string>& names,
                                               bool renew = false);
  ~LocalCa();
  LocalCa(const LocalCa&) = delete;
  LocalCa& operator=(const LocalCa&) = delete;

  std::filesystem::path certificatePath() const;
  bool created() const { return created_; }
  // Why this start made the authority: empty when it was found, else a few words.
  const std::string& madeBecause() const { return madeBecause_; }
  // The authority carries name constraints (one made before them signs any name).
  bool constrained() const;
  // A certificate for `host` would be made and pass the authority's name constraints.
  bool Permits(std::string_view host) const;
  // Of the `names` given at start that a certificate may carry, those it may not sign (the proxy
  // tunnels them; a renewal covers them).
  const std::vector<std::string>& outside() const { return outside_; }
  // Host certificates signed since the start.
  std::uint64_t made() const { return made_.load(std::memory_order_relaxed); }

  // A server context presenting a certificate for `host` (a DNS name or an IP literal), signed
  // by this authority; made on first use and kept. Safe from any thread. Throws HostError for a
  // host CertificateName refuses.
  std::shared_ptr<boost::asio::ssl::context> ServerContext(std::string_view host);

 private:
  struct Keys;
  LocalCa() = default;
  std::shared_ptr<boost::asio::ssl::context> Make(const std::string& host) const;

  std::filesystem::path folder_;
  bool created_ = false;
  std::string madeBecause_;
  std::vector<std::string> outside_;
  std::unique_ptr<Keys> keys_;
  std::atomic<std::uint64_t> made_{0};
  mutable std::mutex mutex_;
  // Names found permitted, so that each CONNECT need not build a certificate to ask again;
  // forgotten all at once past kHostCertificateCache.
  mutable std::unordered_set<std::string> permitted_;
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
