#include "launch_gate.h"

#include "common/ascii.h"
#include "common/constants.h"

namespace quillon::host {

bool LaunchGate::IsLaunchAddress(std::string_view target) {
  return StartsWithIgnoreCase(target, kDirectPrefix) ||
         StartsWithIgnoreCase(target, kOptionsPrefix);
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
