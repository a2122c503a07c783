// Who may make the disc open a file on this machine's desktop, or notify the viewer's window.
// Those routes act for the person at this machine reading the disc, never for another host on
// the network nor for any web page: the proxy lets such a request reach the filter only from a
// loopback client, only when a page of the disc asked for it, only a few at a time, and a repeat
// of one already under way is coalesced with it. A request that is not let through still gets its
// 204, from the proxy.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

namespace quillon::host {

class LaunchGate {
 public:
  // How long a launch counts as under way, and how many may be under way at once.
  static constexpr std::chrono::seconds kWindow{5};
  static constexpr std::size_t kInFlight = 4;

  using Clock = std::chrono::steady_clock;

  explicit LaunchGate(bool enabled) : enabled_(enabled) {}

  // The address asks for a launch or a window notification (ASCII case ignored).
  static bool IsLaunchAddress(std::string_view target);

  // What a browser says about the page that made a request.
  struct Requester {
    std::string_view secFetchSite;  // "same-origin", "same-site", "cross-site", "none"
    std::string_view origin;        // "scheme://host[:port]", or "null"
    std::string_view referer;
  };
  // Whether a page of the disc made the request: a page of the catalogue domain (the live
  // route's host aside, whose pages come from the network), or of a site the disc holds.
  // `discHolds` answers for an origin prefix ("http://host[:port]/", lower case) whether the
  // disc holds addresses under it. The Origin field decides when there is one, else the Referer;
  // with neither, only a request from the launch route's own host (same-origin) passes. Any
  // page of the web can load such an address, as an image say: a browser sends these fields
  // itself, and a page cannot make them name another site.
  static bool FromDiscPage(const Requester& requester, std::string_view catalogueDomain,
                           const std::function<bool(std::string_view)>& discHolds);

  // Whether this request may reach the filter at `now`; a true answer counts it as under way.
  bool Admit(std::string_view target, bool loopbackClient, Clock::time_point now);

 private:
  struct Launch {
    Clock::time_point at;
    std::string target;
  };
  const bool enabled_;
  std::mutex mutex_;
  std::deque<Launch> recent_;  // at most kInFlight
};

}  // namespace quillon::host
