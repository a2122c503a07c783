#include "pages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <ctime>
#include <unordered_map>

#include "address.h"
#include "common/ascii.h"
#include "connection.h"
#include "own_answers.h"
#include "platform/disc_open.h"
#include "search.h"
#include "workers.h"

namespace quillon::host {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kHtmlType = "text/html; charset=utf-8";
constexpr std::string_view kPacType = "application/x-ns-proxy-autoconfig";

constexpr std::string_view kStyle =
    "<style>body{font-family:sans-serif;max-width:46em;margin:2em auto;padding:0 1em}"
    "mark{background:#fe8}li{margin:.6em 0}.where{color:#060;font-size:.9em}"
    "code{background:#eee;padding:0 .2em}</style>";

std::string PageAnswer(unsigned status, std::string_view reason, std::string_view type,
                       std::string_view body) {
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n";
  out += "Content-Type: " + std::string(type) + "\r\n";
  out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  out += "Cache-Control: no-store\r\n\r\n";
  out += body;
  return out;
}

}  // namespace

std::string HtmlDocument(std::string_view title, std::string_view content) {
  return "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + EscapeHtml(title) +
         "</title>" + std::string(kStyle) + "</head><body>\n" + std::string(content) +
         "</body></html>\n";
}

namespace {

std::string DateText(std::int64_t t) {
  if (t <= 0) return "-";
  const std::time_t time = static_cast<std::time_t>(t);
  std::tm parts{};
  gmtime_r(&time, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

std::string SearchForm(std::string_view action, std::string_view words) {
  return "<form action=\"" + EscapeHtml(action) +
         "\" method=\"get\"><input type=\"search\" name=\"q\" size=\"40\" value=\"" +
         EscapeHtml(words) + "\" aria-label=\"Search the disc\"> <button>Search</button></form>\n";
}

// The site of an http:// or https:// address (either spelled in any case), as "scheme://host":
// the text before the first '/' after "://"; empty for any other address.
std::string_view SiteOf(std::string_view url) {
  if (!StartsWithIgnoreCase(url, "http://") && !StartsWithIgnoreCase(url, "https://")) return {};
  const std::size_t hostStart = url.find("://") + 3;
  const std::size_t slash = url.find('/', hostStart);
  return slash == std::string_view::npos ? std::string_view() : url.substr(0, slash);
}

// One pass over the documents in table order, each site's figures kept in a map: a grouped,
// sorted query over computed sites took 1.4 s on a disc of a million documents, and the proxy
// reads the sites before it answers its first request.
std::vector<SiteSummary> ReadSites(const viewer::Database& db) {
  struct Figures {
    std::int64_t documents = 0;
    std::string first;  // the lowest address
    bool hasRoot = false;
  };
  std::unordered_map<std::string, Figures> figures;
  viewer::Statement query(db, "SELECT url, redirect_url = '' FROM documents");
  // Documents of one site mostly follow one another: the last site found is tried first.
  auto last = figures.end();
  while (query.Step()) {
    const std::string_view url = query.TextPointer(0);
    const std::string_view site = SiteOf(url);
    if (site.empty()) continue;
    if (last == figures.end() || last->first != site) {
      last = figures.try_emplace(std::string(site), Figures{0, std::string(url), false}).first;
    }
    Figures& f = last->second;
    f.documents += query.Integer(1);
    if (url < f.first) f.first = url;
    if (url.size() == site.size() + 1) f.hasRoot = true;  // "site/"
  }
  std::vector<std::pair<std::string, Figures>> ordered(std::make_move_iterator(figures.begin()),
                                                       std::make_move_iterator(figures.end()));
  // By host, then by scheme.
  auto host = [](const std::string& site) {
    return std::string_view(site).substr(site.find("://") + 3);
  };
  std::sort(ordered.begin(), ordered.end(), [&](const auto& a, const auto& b) {
    return std::pair(host(a.first), std::string_view(a.first)) <
           std::pair(host(b.first), std::string_view(b.first));
  });
  std::vector<SiteSummary> sites;
  sites.reserve(ordered.size());
  for (auto& [site, f] : ordered) {
    SiteSummary summary{std::string(host(site)), std::move(f.first), f.documents,
                        site.starts_with("https://")};
    if (f.hasRoot) summary.entry = site + "/";
    sites.push_back(std::move(summary));
  }
  return sites;
}

}  // namespace

DiscPages::DiscPages(const fs::path& disc, std::string catalogueDomain)
    : disc_(disc), domain_(std::move(catalogueDomain)) {
  if (disc.empty()) return;
  try {
    db_ = viewer::OpenCatalogue(disc, false);
    info_ = viewer::ReadDiscInfo(*db_);
    searchDb_ = viewer::OpenCatalogue(disc, false, viewer::CatalogueReads::kRead);
  } catch (const std::exception&) {
    db_.reset();  // the viewer reports an unreadable disc; these pages then show none
    searchDb_.reset();
  }
  Refresh();
}

bool DiscPages::HoldsHttpsHost(std::string_view authority) const {
  return httpsHosts_.load()->contains(authority);
}

bool DiscPages::IsStartHost(std::string_view host) const {
  if (host.ends_with('.')) host.remove_suffix(1);
  return host.size() == kStartHostLabel.size() + domain_.size() &&
         StartsWithIgnoreCase(host, kStartHostLabel) && EndsWithIgnoreCase(host, domain_);
}

bool DiscPages::HoldsAddressesUnder(std::string_view prefix) {
  if (prefix.empty()) return false;
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return false;
  try {
    // A range over the address index: every text that starts with the prefix sorts between it
    // and the prefix with its last byte raised.
    std::string end(prefix);
    end.back() = static_cast<char>(end.back() + 1);
    viewer::Statement query(*db_, "SELECT 1 FROM documents WHERE url >= ?1 AND url < ?2 LIMIT 1");
    query.Bind(1, prefix).Bind(2, end);
    return query.Step();
  } catch (const viewer::SqliteError&) {
    return false;  // a catalogue that cannot be read holds nothing
  }
}

std::string DiscPages::StartAddress() const {
  return "http://" + std::string(kStartHostLabel) + domain_ + "/";
}

std::optional<std::string> DiscPages::Answer(std::string_view host, std::string_view path,
                                             std::string_view listen, Workers* workers) {
  if (listen.empty() && !IsStartHost(host)) return std::nullopt;
  const std::size_t mark = path.find('?');
  const std::string_view name = path.substr(0, mark);
  const std::string_view query = mark == std::string_view::npos ? "" : path.substr(mark + 1);
  if (name == "/") return PageAnswer(200, "OK", kHtmlType, StartPage(listen));
  if (name == "/search") {
    const Workers::Blocking searching(workers);
    return PageAnswer(200, "OK", kHtmlType, SearchPage(query));
  }
  if (name == "/proxy.pac" && !listen.empty()) {
    return PageAnswer(200, "OK", kPacType, ProxyPac(listen));
  }
  return std::nullopt;
}

std::vector<SiteSummary> DiscPages::Sites() {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return {};
  // Read again only when a writer (`quillon-disc add`, --update-disc) changed the catalogue.
  try {
    viewer::Statement version(*db_, "PRAGMA data_version");
    version.Step();
    if (version.Integer(0) != dataVersion_) {
      sites_ = ReadSites(*db_);
      dataVersion_ = version.Integer(0);
      auto hosts = std::make_shared<HostSet>();
      for (const SiteSummary& site : sites_) {
        if (site.secure) hosts->insert(site.host);
      }
      httpsHosts_.store(std::move(hosts));
    }
  } catch (const viewer::SqliteError&) {
    // the sites as last read
  }
  return sites_;
}

bool DiscPages::Changed() {
  std::lock_guard lock(mutex_);
  if (db_ == nullptr) return false;
  try {
    viewer::Statement version(*db_, "PRAGMA data_version");
    return version.Step() && version.Integer(0) != dataVersion_;
  } catch (const viewer::SqliteError&) {
    return false;
  }
}

std::string DiscPages::StartPage(std::string_view listen) {
  const std::string title = info_.title.empty() ? "Quillon disc" : info_.title;
  std::string html = "<h1>" + EscapeHtml(title) + "</h1>\n";
  if (db_ == nullptr) {
    html += "<p>No disc is being served.</p>\n";
  } else {
    html += "<p>Made <span id=\"created\">" + DateText(info_.created) + "</span></p>\n";
    html += SearchForm(StartAddress() + "search", "");
    std::vector<viewer::StartPageLink> starts;
    {
      std::lock_guard lock(mutex_);
      try {
        starts = viewer::ReadStartPages(*db_, viewer::kMostStartPages);
      } catch (const viewer::SqliteError&) {
        // no start pages then
      }
    }
    if (!starts.empty()) {
      html += "<h2>Start pages</h2>\n<ul id=\"start-pages\">\n";
      for (const viewer::StartPageLink& page : starts) {
        html += "<li><a href=\"" + EscapeHtml(page.url) + "\">" +
                EscapeHtml(page.title.empty() ? page.url : page.title) + "</a></li>\n";
      }
      html += "</ul>\n";
    }
    html += "<h2>Sites on this disc</h2>\n<ul id=\"sites\">\n";
    for (const SiteSummary& site : Sites()) {
      html += "<li><a href=\"" + EscapeHtml(site.entry) + "\">" + EscapeHtml(site.host) +
              (site.secure ? " (https)" : "") + "</a> \u2014 " + std::to_string(site.documents) +
              " documents</li>\n";
    }
    html += "</ul>\n";
  }
  if (!listen.empty()) {
    const std::string proxy = EscapeHtml(listen);
    html +=
        "<h2>Setting up a browser</h2>\n<p>This is quillon-proxy. Set the browser's HTTP "
        "proxy to <code>" +
        proxy +
        "</code>, or its automatic proxy configuration address to <a href=\"/proxy.pac\"><code>"
        "http://" +
        proxy +
        "/proxy.pac</code></a> (only the disc's sites then go through this proxy). Then open "
        "<a href=\"" +
        EscapeHtml(StartAddress()) + "\">" + EscapeHtml(StartAddress()) + "</a>.</p>\n";
  }
  return HtmlDocument(title, html);
}

std::string DiscPages::SearchPage(std::string_view query) {
  const std::string words = QueryParameter(query, "q");
  std::int64_t page = 1;
  const std::string pageText = QueryParameter(query, "page");
  if (!pageText.empty() && pageText.size() < 4 &&
      pageText.find_first_not_of("0123456789") == std::string::npos) {
    page = std::clamp<std::int64_t>(std::stoll(pageText), 1, kLastResultsPage);
  }
  viewer::SearchResults results;
  if (searchDb_ != nullptr) {
    std::lock_guard lock(searchMutex_);
    try {
      results = viewer::Search(*searchDb_, words, (page - 1) * kResultsPerPage, kResultsPerPage);
    } catch (const viewer::SqliteError&) {
      results = {};  // a catalogue that cannot be read finds nothing
    }
  }
  std::string html = "<h1>Search</h1>\n<p><a href=\"" + EscapeHtml(StartAddress()) +
                     "\">Start page</a></p>\n" + SearchForm(StartAddress() + "search", words);
  html += "<p id=\"count\">" + std::to_string(results.total) +
          (results.total == 1 ? " page matches" : " pages match") + "</p>\n";
  html +=
      "<ol id=\"results\" start=\"" + std::to_string((page - 1) * kResultsPerPage + 1) + "\">\n";
  for (const viewer::SearchHit& hit : results.hits) {
    std::string snippet = EscapeHtml(hit.snippet);
    std::string marked;
    for (char c : snippet) {
      if (c == viewer::kMatchStart) {
        marked += "<mark>";
      } else if (c == viewer::kMatchEnd) {
        marked += "</mark>";
      } else {
        marked.push_back(c);
      }
    }
    html += "<li><a href=\"" + EscapeHtml(hit.url) + "\">" +
            EscapeHtml(hit.title.empty() ? hit.url : hit.title) + "</a><br><span class=\"where\">" +
            EscapeHtml(hit.url) + "</span><br>" + marked + "</li>\n";
  }
  html += "</ol>\n";
  const std::string base = StartAddress() + "search?q=" + EscapeQueryValue(words) + "&page=";
  if (page > 1) {
    html += "<a rel=\"prev\" href=\"" + EscapeHtml(base + std::to_string(page - 1)) +
            "\">Previous</a> ";
  }
  if (page * kResultsPerPage < results.total && page < kLastResultsPage) {
    html += "<a rel=\"next\" href=\"" + EscapeHtml(base + std::to_string(page + 1)) + "\">Next</a>";
  }
  return HtmlDocument(words.empty() ? "Search" : words + " \u2014 Search", html);
}

std::string DiscPages::ProxyPac(std::string_view listen) {
  std::string pac = "function FindProxyForURL(url, host) {\n  if (host == \"" + domain_ +
                    "\" || dnsDomainIs(host, \"." + domain_ + "\")";
  for (const SiteSummary& site : Sites()) {
    // The PAC function sees the host without its port.
    const std::size_t colon = site.host.rfind(':');
    const std::string name =
        colon != std::string::npos && site.host.find(']', colon) == std::string::npos
            ? site.host.substr(0, colon)
            : site.host;
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789.-[]:") != std::string::npos) {
      continue;  // no host a browser would ask for, and no text to put in a script
    }
    pac += " ||\n      host == \"" + name + "\"";
  }
  pac += ")\n    return \"PROXY " + std::string(listen) + "\";\n  return \"DIRECT\";\n}\n";
  return pac;
}

std::string DiscPages::NotOnDisc(std::string_view url, bool html) const {
  // What was asked of a site's own search says more than the words of its path.
  std::string words = viewer::SearchWordsOf(url);
  if (words.empty()) words = AddressWords(url);
  OwnWords said{504,
                Reason::kNotOnDisc,
                std::string(url) + " is not on this disc, and the network is not used.",
                {},
                {},
                "Not on this disc"};
  said.moreHtml = "<ul>\n<li><a id=\"start\" href=\"" + EscapeHtml(StartAddress()) +
                  "\">The disc's start page</a></li>\n";
  said.morePlain = "The disc's start page: " + StartAddress();
  if (!words.empty()) {
    const std::string search = StartAddress() + "search?q=" + EscapeQueryValue(words);
    said.moreHtml += "<li><a id=\"search\" href=\"" + EscapeHtml(search) +
                     "\">Search the disc for \u201C" + EscapeHtml(words) + "\u201D</a></li>\n";
    said.morePlain += "; search it: " + search;
  }
  said.moreHtml += "</ul>\n";
  said.morePlain += ".";
  return OwnAnswer(said, html, false);
}

std::optional<DiscFile> DiscPages::OtherPageFile(std::string_view url) const {
  if (disc_.empty()) return std::nullopt;
  auto path = OtherPagePath(url);
  if (!path) return std::nullopt;
  if (path->empty()) return DiscFile{};
  return DiscFile{disc_, std::move(*path)};
}

Exchange SendDiscFile(Connection& c, bool keepAlive, const DiscFile& file) {
  // Without blocking: a FIFO on the disc must not hold the thread (the check below refuses it).
  const int fd = file.disc.empty() ? -1
                                   : platform::OpenBeneath(file.disc.string(), file.relative,
                                                           O_RDONLY | O_NONBLOCK);
  struct stat info {};
  if (fd < 0 || ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    if (fd >= 0) ::close(fd);
    return SendOwnAnswer(c, keepAlive, 404, Reason::kNotFound, "No such file on the disc.");
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  std::string extension = AsciiLowered(fs::path(file.relative).extension().string());
  if (!extension.empty()) extension.erase(0, 1);
  const auto size = static_cast<std::uint64_t>(info.st_size);
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: " + std::string(viewer::ContentTypeOf(extension)) +
      "\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
  if (!c.filter.PassBlock(head)) return FilterAnswered(c.filter, Answer::kDiscFallback, keepAlive);
  if (c.headOnly || size == 0) {
    return {200, 0, Answer::kProxy, WriteNow(c, head) && keepAlive};
  }
  // The head goes out with the first block.
  std::string_view pendingHead = head;
  Block block(kRelayBlock);
  std::uint64_t sent = 0;
  while (sent < size) {
    // Never past the length announced, should the file grow meanwhile.
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - sent));
    const ssize_t n = ::read(fd, block.data(), want);
    if (n <= 0) break;
    const std::string_view data(block.data(), static_cast<std::size_t>(n));
    if (!c.filter.PassBlock(data)) return {200, sent, Answer::kProxy, false};
    if (!WriteNow(c, pendingHead, data)) return {200, sent, Answer::kProxy, false};
    pendingHead = {};
    sent += static_cast<std::uint64_t>(n);
  }
  // A file that shrank meanwhile leaves the answer short: the connection cannot be reused.
  return {200, sent, Answer::kProxy, keepAlive && sent == size};
}

}  // namespace quillon::host
