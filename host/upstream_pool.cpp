#include "upstream_pool.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace quillon::host {

namespace {

// An idle connection must have nothing to read: end of stream means the origin closed it, and
// bytes nobody asked for mean it is out of step.
bool LooksOpen(int fd) {
  char byte;
  const ssize_t got = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  return got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

}  // namespace

UpstreamPool::~UpstreamPool() {
  for (auto& [origin, list] : idle_) {
    for (const Idle& entry : list) ::close(entry.fd);
  }
}

void UpstreamPool::DropExpired(Clock::time_point now) {
  for (auto it = idle_.begin(); it != idle_.end();) {
    auto& list = it->second;
    while (!list.empty() && now - list.front().since >= limits_.idle) {
      ::close(list.front().fd);
      list.pop_front();
      --count_;
    }
    it = list.empty() ? idle_.erase(it) : std::next(it);
  }
}

std::optional<UpstreamPool::tcp::socket> UpstreamPool::Take(
    const std::string& origin, const tcp::socket::executor_type& executor) {
  for (;;) {
    Idle entry{};
    {
      std::lock_guard lock(mutex_);
      DropExpired(Clock::now());
      auto it = idle_.find(origin);
      if (it == idle_.end()) return std::nullopt;
      entry = it->second.back();  // the most recently used is the least likely to be closed
      it->second.pop_back();
      --count_;
      if (it->second.empty()) idle_.erase(it);
    }
    if (!LooksOpen(entry.fd)) {
      ::close(entry.fd);
      continue;
    }
    tcp::socket socket(executor);
    boost::system::error_code ec;
    socket.assign(entry.v6 ? tcp::v6() : tcp::v4(), entry.fd, ec);
    if (ec) {
      ::close(entry.fd);
      continue;
    }
    return socket;
  }
}

void UpstreamPool::Give(const std::string& origin, tcp::socket socket) {
  boost::system::error_code ec;
  const bool v6 = socket.local_endpoint(ec).address().is_v6();
  if (ec) return;
  const int fd = socket.release(ec);
  if (ec) return;
  std::lock_guard lock(mutex_);
  const auto now = Clock::now();
  DropExpired(now);
  auto& list = idle_[origin];
  if (list.size() >= limits_.perOrigin || count_ >= limits_.total) {
    ::close(fd);
    if (list.empty()) idle_.erase(origin);
    return;
  }
  list.push_back({fd, v6, now});
  ++count_;
}

void UpstreamPool::Sweep() {
  std::lock_guard lock(mutex_);
  DropExpired(Clock::now());
}

}  // namespace quillon::host
