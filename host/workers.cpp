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

namespace {
// The shard the calling thread runs; none for a thread of no shard.
constexpr std::size_t kNoShard = static_cast<std::size_t>(-1);
thread_local std::size_t currentShard = kNoShard;
}  // namespace

Workers::Workers(boost::asio::io_context& main, unsigned shards, unsigned limit)
    : main_(main), limit_(std::max(limit, std::max(shards, 1u))) {
  shards_.push_back({&main_});
  for (unsigned i = 1; i < shards; ++i) {
    own_.push_back(std::make_unique<boost::asio::io_context>());
    guards_.push_back(boost::asio::make_work_guard(*own_.back()));
    shards_.push_back({own_.back().get()});
  }
}

Workers::~Workers() {
  for (auto& guard : guards_) guard.reset();
  for (auto& io : own_) io->stop();
  std::unique_lock lock(mutex_);
  spareExited_.wait(lock, [this] { return liveSpares_ == 0; });
  JoinFinished();
}

boost::asio::io_context& Workers::NextShard() {
  return *shards_[next_.fetch_add(1, std::memory_order_relaxed) % shards_.size()].io;
}

void Workers::Run() {
  {
    std::lock_guard lock(mutex_);
    for (Shard& shard : shards_) ++shard.running;
    threads_ += shards_.size();
  }
  std::vector<std::thread> core;
  for (std::size_t i = 1; i < shards_.size(); ++i) {
    core.emplace_back([this, i] {
      currentShard = i;
      shards_[i].io->run();
    });
  }
  currentShard = 0;
  main_.run();
  currentShard = kNoShard;
  for (auto& guard : guards_) guard.reset();
  for (auto& io : own_) io->stop();
  for (std::thread& t : core) t.join();
  std::unique_lock lock(mutex_);
  for (Shard& shard : shards_) --shard.running;
  threads_ -= shards_.size();
  spareExited_.wait(lock, [this] { return liveSpares_ == 0; });
  JoinFinished();
}

void Workers::StartSpare(std::size_t shard) {
  JoinFinished();
  ++shards_[shard].running;
  ++threads_;
  ++liveSpares_;
  auto self = spares_.emplace(spares_.end());
  *self = std::thread(&Workers::SpareLoop, this, shard, self);
}

void Workers::SpareLoop(std::size_t shard, std::list<std::thread>::iterator self) {
  currentShard = shard;
  boost::asio::io_context& io = *shards_[shard].io;
  for (;;) {
    const std::size_t ran = io.stopped() ? 0 : io.run_one_for(kSpareIdle);
    std::lock_guard lock(mutex_);
    Shard& mine = shards_[shard];
    const bool surplus = mine.running >= mine.blocked + 2;
    if (io.stopped() || (ran == 0 && surplus)) {
      --mine.running;
      --threads_;
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

bool Workers::Stopped() const { return main_.stopped(); }

Workers::Blocking::Blocking(Workers* workers) : workers_(workers), shard_(currentShard) {
  if (workers_ == nullptr || shard_ == kNoShard || shard_ >= workers_->shards_.size()) {
    workers_ = nullptr;
    return;
  }
  std::lock_guard lock(workers_->mutex_);
  Shard& shard = workers_->shards_[shard_];
  ++shard.blocked;
  if (shard.running < shard.blocked + 1 && workers_->threads_ < workers_->limit_ &&
      !shard.io->stopped()) {
    workers_->StartSpare(shard_);
  }
}

Workers::Blocking::~Blocking() {
  if (workers_ == nullptr) return;
  std::lock_guard lock(workers_->mutex_);
  --workers_->shards_[shard_].blocked;
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

std::size_t Workers::threads() const {
  std::lock_guard lock(mutex_);
  return threads_;
}

std::size_t Workers::held() const {
  std::lock_guard lock(mutex_);
  std::size_t held = 0;
  for (const Shard& shard : shards_) held += shard.blocked;
  return held;
}

}  // namespace quillon::host
