// The proxy's own pages about the disc it serves: the start page (also what the proxy's own
// address shows, with how to set a browser up), the full-text search, the PAC file, the "not on
// this disc" page, and the disc's further pages under docs/lumother/.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "disc.h"
#include "page_text.h"
#include "sqlite.h"

namespace quillon::host {

class Workers;

// The sub-domain of the catalogue domain that the start page and the search answer on.
inline constexpr std::string_view kStartHostLabel = "start.";
// Search results shown on one page.
inline constexpr std::int64_t kResultsPerPage = 20;
// A results page past this one is not offered: deeper pages cost the index more than they help.
inline constexpr std::int64_t kLastResultsPage = 50;

// A page in the style of the start page: `content` is HTML already.
std::string HtmlDocument(std::string_view title, std::string_view content);

struct SiteSummary {
  std::string host;
  std::string entry;  // the address to start browsing the site from
  std::int64_t documents = 0;
  bool secure = false;  // its addresses are https:// ones
};

// A file of a disc: the disc's folder and the path inside it, opened so nothing outside the
// folder is reached (links included). An empty `disc` names no file.
struct DiscFile {
  std::filesystem::path disc;
  std::string relative;
};

class DiscPages {
 public:
  // An empty or unreadable disc gives pages that say so.
  DiscPages(const std::filesystem::path& disc, std::string catalogueDomain);

  // A complete answer for an address on the start host, or for an origin-form request made to
  // the proxy (`listen` set, "address:port"); nullopt for an address these pages do not hold.
  // A search runs as a blocking region of `workers` (which may be null): it may take a while.
  std::optional<std::string> Answer(std::string_view host, std::string_view path,
                                    std::string_view listen, Workers* workers = nullptr);
  // 504 "Not on this disc", for an address the disc lacks while the network is not used: a page
  // for a browser (`html`), else a line.
  std::string NotOnDisc(std::string_view url, bool html) const;
  // The file of a docs/lumother/ address on this disc (an empty one for an address that names
  // none); nullopt for any other address.
  std::optional<DiscFile> OtherPageFile(std::string_view url) const;

  bool IsStartHost(std::string_view host) const;
  // The disc holds an address that starts with `prefix` ("https://host/").
  bool HoldsAddressesUnder(std::string_view prefix);
  // The disc's sites, read again when the catalogue changed.
  std::vector<SiteSummary> Sites();
  // The disc holds https:// addresses of `authority` ("host[:port]", lower case), as of the
  // last time the sites were read: no lock and no query, for every CONNECT.
  bool HoldsHttpsHost(std::string_view authority) const;
  // Reads the sites again if the catalogue changed since.
  void Refresh() { Sites(); }
  // The catalogue changed since the sites were read (a quick query; false when unreadable).
  bool Changed();

 private:
  std::string StartPage(std::string_view listen);
  std::string SearchPage(std::string_view query);
  std::string ProxyPac(std::string_view listen);
  std::string StartAddress() const;

  std::filesystem::path disc_;
  std::string domain_;
  viewer::DiscInfo info_;
  std::mutex mutex_;  // one reader at a time on the one connection, and for what follows
  std::vector<SiteSummary> sites_;
  std::int64_t dataVersion_ = -1;  // of the catalogue when sites_ was read
  std::unique_ptr<viewer::Database> db_;
  // The secure sites' hosts of sites_, swapped whole when they are read again.
  using HostSet = std::set<std::string, std::less<>>;
  std::atomic<std::shared_ptr<const HostSet>> httpsHosts_{std::make_shared<const HostSet>()};
  // Searches have a connection of their own, so that a long one holds up no other page.
  std::mutex searchMutex_;
  std::unique_ptr<viewer::Database> searchDb_;
};

struct Connection;
struct Exchange;
// A file of the disc, streamed as the proxy's own answer (404 when it cannot be opened, lies
// outside the disc, or is empty).
Exchange SendDiscFile(Connection& c, bool keepAlive, const DiscFile& file);

}  // namespace quillon::host
