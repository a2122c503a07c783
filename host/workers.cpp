#include "workers.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

namespace quillon::host {

namespace {
// A spare with nothing to do for this long leaves, once it is not needed.
constexpr auto kSpareIdle = std::chrono::seconds(1);
}  // namespace

Workers::Workers(boost::asio::io_context& io, unsigned base, unsigned limit)
    : io_(io), base_(base == 0 ? 1 : base), limit_(limit < base_ ? base_ : limit) {}

Workers::~Workers() {
  std::unique_lock lock(mutex_);
  spareExited_.wait(lock, [this] { return liveSpares_ == 0; });
  JoinFinished();
}

void Workers::Run() {
  {
    std::lock_guard lock(mutex_);
    running_ += base_;
  }
  std::vector<std::thread> core;
  for (unsigned i = 1; i < base_; ++i) core.emplace_back([this] { io_.run(); });
  io_.run();
  for (std::thread& t : core) t.join();
  std::unique_lock lock(mutex_);
  running_ -= base_;
  spareExited_.wait(lock, [this] { return liveSpares_ == 0; });
  JoinFinished();
}

void Workers::StartSpare() {
  JoinFinished();
  ++running_;
  ++liveSpares_;
  auto self = spares_.emplace(spares_.end());
  *self = std::thread(&Workers::SpareLoop, this, self);
}

void Workers::SpareLoop(std::list<std::thread>::iterator self) {
  for (;;) {
    const std::size_t ran = io_.stopped() ? 0 : io_.run_one_for(kSpareIdle);
    std::lock_guard lock(mutex_);
    const bool surplus = running_ >= blocked_ + base_ + 1;
    if (io_.stopped() || (ran == 0 && surplus)) {
      --running_;
      --liveSpares_;
      finished_.push_back(self);
      spareExited_.notify_all();
      return;
    }
  }
}

void Workers::JoinFinished() {
  for (auto it : finished_) {
    it->join();
    spares_.erase(it);
  }
  finished_.clear();
}

bool Workers::Stopped() const { return io_.stopped(); }

Workers::Blocking::Blocking(Workers* workers) : workers_(workers) {
  if (workers_ == nullptr) return;
  std::lock_guard lock(workers_->mutex_);
  ++workers_->blocked_;
  if (workers_->running_ < workers_->blocked_ + workers_->base_ &&
      workers_->running_ < workers_->limit_ && !workers_->io_.stopped()) {
    workers_->StartSpare();
  }
}

Workers::Blocking::~Blocking() {
  if (workers_ == nullptr) return;
  std::lock_guard lock(workers_->mutex_);
  --workers_->blocked_;
}

bool WriteAll(int fd, std::string_view data, std::chrono::milliseconds timeout, Workers* workers) {
  return WriteAll(fd, data, {}, timeout, workers);
}

bool WriteAll(int fd, std::string_view first, std::string_view second,
              std::chrono::milliseconds timeout, Workers* workers) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::optional<Workers::Blocking> held;
  while (!first.empty() || !second.empty()) {
    iovec parts[2] = {{const_cast<char*>(first.data()), first.size()},
                      {const_cast<char*>(second.data()), second.size()}};
    msghdr message{};
    message.msg_iov = first.empty() ? parts + 1 : parts;
    message.msg_iovlen = first.empty() || second.empty() ? 1 : 2;
    const ssize_t sent = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (sent > 0) {
      auto done = static_cast<std::size_t>(sent);
      const std::size_t fromFirst = std::min(done, first.size());
      first.remove_prefix(fromFirst);
      second.remove_prefix(done - fromFirst);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    if (!held) held.emplace(workers);  // from here on this thread waits for the browser
    // In slices, so that a server shutting down is not held up to the deadline.
    if (workers != nullptr && workers->Stopped()) return false;
    pollfd p{fd, POLLOUT, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 100)));
    if (ready < 0 && errno != EINTR) return false;
  }
  return true;
}

}  // namespace quillon::host
