// quillon-proxy's server: browsers connect here; every request passes the filter, then is
// answered by the filter, by the proxy itself, or from the network.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "filter_host.h"
#include "proxy_options.h"

namespace quillon::host {

class Server;

class Proxy {
 public:
  Proxy(const FilterLibrary& filter, ProxyOptions options);
  ~Proxy();
  Proxy(const Proxy&) = delete;
  Proxy& operator=(const Proxy&) = delete;

  // Binds the listening socket; returns the port (useful with port 0). Throws HostError.
  std::uint16_t Listen();
  // The local authority's certificate, for browsers to trust; empty without interception.
  std::filesystem::path caCertificate() const;
  // The authority was made by this start (not found in caDir).
  bool caCreated() const;
  // Why it was made (empty when found), whether it carries name constraints, and the disc's
  // https:// hosts outside them, which are tunnelled (intercept.cpp).
  std::string caMadeBecause() const;
  bool caConstrained() const;
  std::vector<std::string> caOutside() const;
  // The disc holds https:// pages, which only the local authority lets a browser see.
  bool discHoldsHttps() const;
  // Serves until SIGINT or SIGTERM, then finishes what is in flight up to the grace period.
  void Run();

 private:
  std::unique_ptr<Server> server_;
};

}  // namespace quillon::host
