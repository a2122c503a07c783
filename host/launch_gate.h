// Who may make the disc open a file on this machine's desktop, or notify the viewer's window.
// Those routes act for the person at this machine, never for a page or another host on the
// network: the proxy lets such a request reach the filter only from a loopback client, only a
// few at a time, and a repeat of one already under way is coalesced with it. A request that is
// not let through still gets its 204, from the proxy.
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
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

  // Whether this request may reach the filter now; a true answer counts it as under way.
  bool Admit(std::string_view target, bool loopbackClient, Clock::time_point now = Clock::now());

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
