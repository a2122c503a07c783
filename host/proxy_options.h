// What quillon-proxy is told on its command line, as its parts read it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "client_access.h"
#include "disc_updater.h"

namespace quillon::host {

struct ProxyOptions {
  std::string address = "127.0.0.1";
  std::uint16_t port = 8080;
  std::string catalogueDomain;
  bool offline = false;    // never connect: every network fetch gets 504 at once
  bool noConnect = false;  // refuse CONNECT tunnels
  bool noLaunch = false;   // the disc never opens files or notifies the viewer's window
  std::vector<std::uint16_t> connectPorts{443};  // the ports a CONNECT may reach
  bool quiet = false;                            // no access log
  std::filesystem::path accessLog;    // --access-log: the log's file (empty: standard output)
  unsigned threads = 0;               // 0: a few per core
  std::size_t maxConnections = 1024;  // lowered to what the descriptor limit allows
  // Clients other than loopback that may use the proxy (--allow); loopback always may.
  std::vector<Network> allow;
  // Connections one client address other than loopback may hold at once (0: no limit).
  std::size_t maxConnectionsPerClient = kDefaultConnectionsPerClient;
  // --resolve: connections to these HOST:PORT go to the given address, without DNS.
  std::vector<FixedAddress> resolve;
  std::size_t keptOrigins = 128;  // idle connections to origins kept for reuse, in all
  std::size_t headLimit = 64 * 1024;
  std::chrono::milliseconds headTimeout{10000};     // a request head must arrive within this
  std::chrono::milliseconds idleTimeout{30000};     // between requests on a kept connection
  std::chrono::milliseconds connectTimeout{10000};  // resolving and connecting upstream
  std::chrono::milliseconds readTimeout{30000};     // upstream silence, and a stalled browser
  // --disc-patience: for an address the disc holds, the network must connect and begin its
  // answer within this, or the disc copy stands in.
  std::chrono::milliseconds discPatience{3000};
  std::chrono::milliseconds shutdownGrace{5000};  // in-flight requests finish within this

  // The disc served, for the proxy's own pages (empty: none).
  std::filesystem::path disc;
  // --update-disc: the network's 200 answers for the disc's addresses replace their copies;
  // with updateNewPages, new pages of the disc's hosts are added too.
  bool updateDisc = false;
  bool updateNewPages = false;
  UpdateLimit updateLimit;  // --update-limit: what one run may add as new pages

  // https:// addresses of the disc: a CONNECT to a host the disc holds is answered by the proxy
  // itself, with a certificate from the local authority in caDir. Empty: every CONNECT is a
  // tunnel.
  std::filesystem::path caDir;
  // --renew-ca: a new authority for the disc's hosts replaces the one in caDir.
  bool renewCa = false;
  // Trusted for origins besides the system's store (a PEM file), for an origin with a private
  // authority.
  std::filesystem::path originCa;
};

}  // namespace quillon::host
