// quillon-proxy: a browser's HTTP proxy that loads an ISAPI filter library and serves a disc.
#include <CLI/CLI.hpp>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "access_log.h"
#include "common/constants.h"
#include "disc.h"
#include "filter_host.h"
#include "install_paths.h"
#include "platform/viewer_window.h"
#include "proxy.h"

namespace {

void ViewerWindowProc(void*, std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::fprintf(stderr,
               "quillon-proxy: viewer window received message 0x%04x wParam %zu lParam %zd\n",
               message, static_cast<std::size_t>(wParam), static_cast<std::ptrdiff_t>(lParam));
}

// The viewer modes by name; the filter acts on 3 and 4 only, 1 stands for every other.
const std::map<std::string, int> kModeNames = {{"disc", 1}, {"refresh", 3}, {"cached", 4}};

// A host name in --listen stands for its first address ("localhost:8080").
std::string ListenAddress(std::string name) {
  if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
    name = name.substr(1, name.size() - 2);
  }
  boost::system::error_code ec;
  boost::asio::ip::make_address(name, ec);
  if (!ec) return name;
  boost::asio::io_context io;
  boost::asio::ip::tcp::resolver resolver(io);
  const auto found = resolver.resolve(name, "", ec);
  if (ec || found.empty()) return name;  // Listen reports the bad address
  return found.begin()->endpoint().address().to_string();
}

// Where the local authority lives unless --ca-dir says: the user's data folder.
std::string DefaultCaDir() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && data[0] == '/') {
    return std::string(data) + "/quillon";
  }
  if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') {
    return std::string(home) + "/.local/share/quillon";
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  using namespace quillon;
  CLI::App app{"quillon-proxy: serves a Quillon disc to a browser through an ISAPI filter"};
  app.set_version_flag("--version", "quillon-proxy 0.1.0");
  host::ProxyOptions options;
  options.catalogueDomain = kCatalogueDomain;
  std::string filterPath = host::DefaultFilterPath();
  std::string discPath = host::DefaultDiscPath();
  int mode = 3;
  std::string listen = "127.0.0.1:8080";
  double connectTimeout = 10, readTimeout = 30, idleTimeout = 30, headTimeout = 10,
         shutdownGrace = 5, discPatience = 3;
  app.add_option("--listen", listen, "Address and port to listen on (port 0: any free port)")
      ->capture_default_str();
  app.add_option("--filter", filterPath, "The ISAPI filter library to load")->capture_default_str();
  app.add_option("--disc", discPath, "The disc to serve (empty: none)")->capture_default_str();
  app.add_option("--mode", mode,
                 "How the filter treats the disc: disc (1) serves every catalogued page from the "
                 "disc; refresh (3) asks the network first for pages past their stale time, the "
                 "disc copy being the fallback; cached (4) also answers a browser's conditional "
                 "request for an address not on the disc with 304")
      ->transform(CLI::CheckedTransformer(kModeNames, CLI::ignore_case))
      ->capture_default_str();
  std::string updateDisc;
  app.add_flag("--update-disc{pages}", updateDisc,
               "Put the network's new copies of the disc's pages on the disc (--update-disc=all: "
               "new pages of the disc's hosts too)")
      ->check(CLI::IsMember({"pages", "all"}));
  std::string updateLimit;
  app.add_option("--update-limit", updateLimit,
                 "PAGES[,SIZE]: at most so many new pages, of at most so many bytes together "
                 "(K, M, G: KiB, MiB, GiB), added by one run of --update-disc=all (default: " +
                     std::to_string(host::kDefaultNewPages) + "," +
                     std::to_string(host::kDefaultNewPageBytes >> 30) + "GiB)");
  app.add_flag("--offline", options.offline, "Never use the network: every fetch gets 504");
  app.add_flag("--no-connect", options.noConnect,
               "Refuse CONNECT tunnels (to hosts the disc does not hold)");
  std::string caDir = DefaultCaDir();
  bool noIntercept = false;
  auto* caOption =
      app.add_option("--ca-dir", caDir,
                     "Folder of the local certificate authority that signs the certificates for "
                     "the disc's https:// hosts; made on first start (default: "
                     "$XDG_DATA_HOME/quillon, else ~/.local/share/quillon)");
  app.add_flag("--renew-ca", options.renewCa,
               "Make a new local certificate authority for the disc's https:// hosts in place of "
               "the one in --ca-dir (browsers must then trust the new ca.pem)");
  app.add_flag("--no-intercept", noIntercept,
               "Tunnel every CONNECT, even to hosts the disc holds (their https:// pages then "
               "come from the network only)");
  std::string originCa;
  app.add_option("--origin-ca", originCa,
                 "A PEM file of authorities trusted for https:// origins, besides the system's");
  app.add_flag("--no-launch", options.noLaunch,
               "Never open disc files on this desktop nor notify the viewer's window (without it, "
               "only requests from this machine may, a few at a time)");
  app.add_option("--connect-ports", options.connectPorts, "Ports a CONNECT tunnel may reach")
      ->delimiter(',')
      ->capture_default_str();
  app.add_flag("--quiet", options.quiet, "No access log");
  app.add_option("--access-log", options.accessLog,
                 "Write the access log to this file (appended to; reopened on SIGHUP) rather "
                 "than standard output");
  app.add_option("--threads", options.threads, "Worker threads (0: two per core)");
  app.add_option("--max-connections", options.maxConnections, "Connections served at once")
      ->capture_default_str();
  std::vector<std::string> allow;
  app.add_option("--allow", allow,
                 "Address ranges (CIDR, e.g. 192.168.1.0/24) of other machines that may use the "
                 "proxy; this machine always may, and without --allow only it")
      ->delimiter(',');
  app.add_option("--max-connections-per-client", options.maxConnectionsPerClient,
                 "Connections one client address other than loopback may hold at once (0: no "
                 "limit)")
      ->capture_default_str();
  std::vector<std::string> resolve;
  app.add_option("--resolve", resolve,
                 "HOST:PORT:ADDRESS: connections to HOST:PORT go to ADDRESS, without a DNS "
                 "lookup (repeatable)");
  app.add_option("--connect-timeout", connectTimeout, "Seconds to reach the network")
      ->capture_default_str();
  app.add_option("--read-timeout", readTimeout, "Seconds a read or write may stall")
      ->capture_default_str();
  app.add_option("--disc-patience", discPatience,
                 "Seconds the network has to begin its answer for an address the disc holds, "
                 "before the disc copy stands in")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  app.add_option("--idle-timeout", idleTimeout, "Seconds a kept connection may wait")
      ->capture_default_str();
  app.add_option("--head-timeout", headTimeout, "Seconds for a request head to arrive")
      ->capture_default_str();
  app.add_option("--shutdown-grace", shutdownGrace,
                 "Seconds requests in flight may take to finish after SIGINT or SIGTERM")
      ->capture_default_str();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  auto seconds = [](double s) {
    return std::chrono::milliseconds(static_cast<long long>(s * 1000));
  };
  options.connectTimeout = seconds(connectTimeout);
  options.readTimeout = seconds(readTimeout);
  options.discPatience = seconds(discPatience);
  options.idleTimeout = seconds(idleTimeout);
  options.headTimeout = seconds(headTimeout);
  options.shutdownGrace = seconds(shutdownGrace);
  const std::size_t colon = listen.rfind(':');
  if (colon == std::string::npos) {
    std::fprintf(stderr, "quillon-proxy: --listen needs ADDRESS:PORT\n");
    return 2;
  }
  options.address = ListenAddress(listen.substr(0, colon));
  for (const std::string& range : allow) {
    const auto network = host::ParseNetwork(range);
    if (!network) {
      std::fprintf(stderr, "quillon-proxy: --allow needs an address or ADDRESS/PREFIX, not %s\n",
                   range.c_str());
      return 2;
    }
    options.allow.push_back(*network);
  }
  for (const std::string& entry : resolve) {
    const auto fixed = host::ParseFixedAddress(entry);
    if (!fixed) {
      std::fprintf(stderr, "quillon-proxy: --resolve needs HOST:PORT:ADDRESS, not %s\n",
                   entry.c_str());
      return 2;
    }
    options.resolve.push_back(*fixed);
  }
  options.disc = discPath;
  options.updateDisc = !updateDisc.empty();
  options.updateNewPages = updateDisc == "all";
  if (!updateLimit.empty()) {
    const auto limit = host::ParseUpdateLimit(updateLimit);
    if (!limit) {
      std::fprintf(stderr, "quillon-proxy: --update-limit needs PAGES[,SIZE], as 10000,1GiB\n");
      return 2;
    }
    options.updateLimit = *limit;
  }
  if (!noIntercept) options.caDir = caDir;
  options.originCa = originCa;
  try {
    const int port = std::stoi(listen.substr(colon + 1));
    if (port < 0 || port > 65535) throw std::out_of_range("port");
    options.port = static_cast<std::uint16_t>(port);
  } catch (const std::exception&) {
    std::fprintf(stderr, "quillon-proxy: bad port in --listen %s\n", listen.c_str());
    return 2;
  }

  try {
    auto filter = host::FilterLibrary::Load(filterPath);
    std::unique_ptr<viewer::DiscViewer> disc;
    if (!discPath.empty()) {
      disc = std::make_unique<viewer::DiscViewer>(discPath, mode);
      // A disc it is: copies a stopped proxy left unfinished go at every start, updating or not.
      host::DiscUpdater::RemoveUnfinished(discPath);
      if (filter->supportProc() == nullptr) {
        throw host::HostError("filter library " + filterPath +
                              " does not export QuillonSupportProc");
      }
      if (filter->supportProc()(1, static_cast<ViewerServices*>(disc.get())) == nullptr) {
        throw host::HostError("the filter refused the disc");
      }
    }
    QuillonRegisterWindow(kViewerWindowClass, &ViewerWindowProc, nullptr);
    // A log that cannot be opened stops the start here, before the authority's fallback below
    // could take its error for the authority's.
    if (!options.accessLog.empty()) host::AccessLog(options.quiet, options.accessLog);
    std::unique_ptr<host::Proxy> made;
    try {
      made = std::make_unique<host::Proxy>(*filter, options);
    } catch (const host::HostError& e) {
      // Without an authority of its own the proxy still serves all else; one asked for by name
      // must work.
      if (caOption->count() > 0 || options.caDir.empty()) throw;
      std::fprintf(stderr, "quillon-proxy: %s; the disc's https:// pages are not served\n",
                   e.what());
      options.caDir.clear();
      made = std::make_unique<host::Proxy>(*filter, options);
    }
    host::Proxy& proxy = *made;
    const std::uint16_t port = proxy.Listen();
    std::fprintf(stderr, "quillon-proxy: %s on %s; listening on %s:%u\n",
                 filter->description().c_str(),
                 disc ? (disc->info().title.empty() ? discPath.c_str() : disc->info().title.c_str())
                      : "no disc",
                 options.address.c_str(), port);
    // Who may connect, since a listener on another machine's reach serves no one else unasked.
    const host::ClientAllowList allowed(options.allow);
    std::fprintf(stderr, "quillon-proxy: clients allowed: %s", allowed.Describe().c_str());
    if (options.maxConnectionsPerClient != 0 && !options.allow.empty()) {
      std::fprintf(stderr, "; at most %zu connections from each other machine",
                   options.maxConnectionsPerClient);
    }
    std::fprintf(stderr, "\n");
    boost::system::error_code notAddress;
    const auto listening = boost::asio::ip::make_address(options.address, notAddress);
    if (!notAddress && !listening.is_loopback() && options.allow.empty()) {
      std::fprintf(stderr,
                   "quillon-proxy: other machines reach %s but are refused; --allow "
                   "ADDRESS/PREFIX lets them in\n",
                   options.address.c_str());
    }
    // The authority matters to the user only for the disc's https:// pages, or when asked for by
    // name: a disc of http:// pages alone is browsed without trusting anything.
    if (!proxy.caCertificate().empty() && (proxy.discHoldsHttps() || caOption->count() > 0)) {
      const std::string ca = proxy.caCertificate().string();
      const std::string made = proxy.caMadeBecause();
      std::fprintf(stderr,
                   "quillon-proxy: the disc's https:// pages are signed by the local authority "
                   "%s%s%s%s\n",
                   ca.c_str(), made.empty() ? "" : " (made now: ", made.c_str(),
                   made.empty() ? "" : ")");
      if (proxy.caCreated()) {
        std::fprintf(stderr,
                     "quillon-proxy: a browser shows them once it trusts that file as an "
                     "authority: import it in the browser's certificate settings (Authorities), "
                     "or for Chromium on Linux run\n"
                     "  certutil -d sql:$HOME/.pki/nssdb -A -t C,, -n quillon -i %s\n",
                     ca.c_str());
      }
      std::string outside;
      for (const std::string& host : proxy.caOutside()) outside += " " + host;
      if (!outside.empty()) {
        std::fprintf(stderr,
                     "quillon-proxy: the local authority may not sign for these https:// hosts of "
                     "the disc, which are tunnelled, not served from it:%s\n"
                     "quillon-proxy: quillon-proxy --renew-ca makes a new authority that covers "
                     "them (browsers must then trust the new ca.pem)\n",
                     outside.c_str());
      }
      if (!proxy.caConstrained()) {
        std::fprintf(stderr,
                     "quillon-proxy: the local authority may sign for any site (made before "
                     "authorities were kept to the disc's hosts): quillon-proxy --renew-ca makes "
                     "one that may not\n");
      }
    }
    std::fflush(stderr);
    proxy.Run();
    QuillonUnregisterWindow(kViewerWindowClass);
    std::fprintf(stderr, "quillon-proxy: stopped\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "quillon-proxy: %s\n", e.what());
    return 1;
  }
  return 0;
}
