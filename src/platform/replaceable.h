// A platform service that tests can replace: the platform's own unless another is in place.
#pragma once

#include <atomic>

namespace quillon::platform {

template <typename Interface>
class Replaceable {
 public:
  explicit Replaceable(Interface& native) : native_(native) {}

  Interface& Current() const {
    Interface* replaced = current_.load(std::memory_order_acquire);
    return replaced != nullptr ? *replaced : native_;
  }

  // Puts `replacement` in place (null restores the platform's own) and returns the one before.
  Interface* Replace(Interface* replacement) {
    Interface* previous = current_.exchange(replacement, std::memory_order_acq_rel);
    return previous != nullptr ? previous : &native_;
  }

 private:
  Interface& native_;
  std::atomic<Interface*> current_{nullptr};
};

}  // namespace quillon::platform
