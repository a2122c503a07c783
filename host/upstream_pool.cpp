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

const void* LoopOf(const UpstreamPool::tcp::socket::executor_type& executor) {
  return &boost::asio::query(executor, boost::asio::execution::context);
}

}  // namespace

UpstreamPool::~UpstreamPool() = default;

void UpstreamPool::DropExpired(Clock::time_point now) {
  for (auto it = idle_.begin(); it != idle_.end();) {
    auto& list = it->second;
    while (!list.empty() && now - list.front().since >= limits_.idle) {
      list.pop_front();
      --count_;
    }
    it = list.empty() ? idle_.erase(it) : std::next(it);
  }
}

std::optional<UpstreamPool::tcp::socket> UpstreamPool::Take(
    const std::string& origin, const tcp::socket::executor_type& executor) {
  const void* loop = LoopOf(executor);
  for (;;) {
    std::optional<tcp::socket> socket;
    bool home = false;
    {
      std::lock_guard lock(mutex_);
      DropExpired(Clock::now());
      auto it = idle_.find(origin);
      if (it == idle_.end()) return std::nullopt;
      auto& list = it->second;
      // The most recently used is the least likely to be closed; one of this loop's first.
      auto pick = std::prev(list.end());
      for (auto candidate = list.rbegin(); candidate != list.rend(); ++candidate) {
        if (candidate->loop == loop) {
          pick = std::prev(candidate.base());
          home = true;
          break;
        }
      }
      socket = std::move(pick->socket);
      list.erase(pick);
      --count_;
      if (list.empty()) idle_.erase(it);
    }
    if (!socket || !LooksOpen(socket->native_handle())) continue;  // closed as it goes
    if (home) return socket;
    boost::system::error_code ec;
    const auto protocol = socket->local_endpoint(ec).protocol();
    if (ec) continue;
    const int fd = socket->release(ec);
    if (ec) continue;
    tcp::socket moved(executor);
    moved.assign(protocol, fd, ec);
    if (ec) {
      ::close(fd);
      continue;
    }
    return moved;
  }
}

std::unique_ptr<TlsStream> UpstreamPool::TakeTls(const std::string& origin,
                                                 const tcp::socket::executor_type& executor) {
  const void* loop = LoopOf(executor);
  for (;;) {
    std::unique_ptr<TlsStream> stream;
    {
      std::lock_guard lock(mutex_);
      DropExpired(Clock::now());
      auto it = idle_.find(origin);
      if (it == idle_.end()) return nullptr;
      auto& list = it->second;
      auto pick = list.end();
      for (auto candidate = list.rbegin(); candidate != list.rend(); ++candidate) {
        if (candidate->loop == loop) {
          pick = std::prev(candidate.base());
          break;
        }
      }
      if (pick == list.end()) return nullptr;
      stream = std::move(pick->tls);
      list.erase(pick);
      --count_;
      if (list.empty()) idle_.erase(it);
    }
    // Anything to read while idle (the origin's close_notify, or its end) rules it out.
    if (stream && LooksOpen(stream->next_layer().socket().native_handle())) return stream;
  }
}

void UpstreamPool::Give(const std::string& origin, tcp::socket socket) {
  const void* loop = LoopOf(socket.get_executor());
  Keep(origin, Idle{std::move(socket), nullptr, loop, Clock::now()});
}

void UpstreamPool::GiveTls(const std::string& origin, std::unique_ptr<TlsStream> stream) {
  const void* loop = LoopOf(stream->get_executor());
  Keep(origin, Idle{std::nullopt, std::move(stream), loop, Clock::now()});
}

void UpstreamPool::Keep(const std::string& origin, Idle idle) {
  std::lock_guard lock(mutex_);
  DropExpired(idle.since);
  auto& list = idle_[origin];
  if (list.size() >= limits_.perOrigin || count_ >= limits_.total) {
    if (list.empty()) idle_.erase(origin);
    return;  // closed as it goes
  }
  list.push_back(std::move(idle));
  ++count_;
}

void UpstreamPool::Sweep() {
  std::lock_guard lock(mutex_);
  DropExpired(Clock::now());
}

std::size_t UpstreamPool::kept() const {
  std::lock_guard lock(mutex_);
  return count_;
}

}  // namespace quillon::host
