#include "launch_gate.h"

#include "common/ascii.h"
#include "common/constants.h"
#include "target.h"

namespace quillon::host {

namespace {

// The catalogue domain's host whose pages are the network's (the live route).
constexpr std::string_view kLiveLabel = "live.";

bool NamesDiscPage(std::string_view address, std::string_view catalogueDomain,
                   const std::function<bool(std::string_view)>& discHolds) {
  const auto page = ParseHttpTarget(address);
  if (!page) return false;  // "null", another scheme, no host
  if (OnDomain(page->host, catalogueDomain)) {
    std::string_view host = page->host;
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    return !(host.size() == kLiveLabel.size() + catalogueDomain.size() &&
             StartsWithIgnoreCase(host, kLiveLabel));
  }
  return discHolds(std::string(page->Scheme()) + AsciiLowered(page->AuthorityForHost()) + "/");
}

}  // namespace

bool LaunchGate::IsLaunchAddress(std::string_view target) {
  return StartsWithIgnoreCase(target, kDirectPrefix) ||
         StartsWithIgnoreCase(target, kOptionsPrefix);
}

bool LaunchGate::FromDiscPage(const Requester& requester, std::string_view catalogueDomain,
                              const std::function<bool(std::string_view)>& discHolds) {
  if (!requester.origin.empty()) {
    // An origin has no path; the parser wants one.
    return NamesDiscPage(std::string(requester.origin) + "/", catalogueDomain, discHolds);
  }
  if (!requester.referer.empty()) {
    return NamesDiscPage(requester.referer, catalogueDomain, discHolds);
  }
  return AsciiEqualsIgnoreCase(requester.secFetchSite, "same-origin");
}

bool LaunchGate::Admit(std::string_view target, bool loopbackClient, Clock::time_point now) {
  if (!enabled_ || !loopbackClient) return false;
  std::lock_guard lock(mutex_);
  while (!recent_.empty() && now - recent_.front().at >= kWindow) recent_.pop_front();
  if (recent_.size() >= kInFlight) return false;
  for (const Launch& launch : recent_) {
    if (AsciiEqualsIgnoreCase(launch.target, target)) return false;
  }
  recent_.push_back({now, std::string(target)});
  return true;
}

}  // namespace quillon::host
