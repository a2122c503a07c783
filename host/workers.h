// The threads that run the proxy, and the one place where a thread may block.
//
// The work is split in shards: io_contexts each run by a thread of its own, the main one (which
// also accepts and keeps time) among them. A connection lives on one shard, so its reads,
// writes and filter calls follow one another on one thread, without handing each completion to
// another thread.
//
// The filter writes its replies synchronously (WriteClient reports what it wrote), so a browser
// that reads slowly holds the thread that serves it inside the filter's call. Every such wait
// goes through a Blocking guard: while the thread of a shard is held, a spare thread runs that
// shard in its place, so the other connections of the shard go on. Spares are bounded (one per
// connection that can block, at most `limit` threads in all) and retire after a short idle time.
#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

namespace quillon::host {

class Workers {
 public:
  Workers(boost::asio::io_context& main, unsigned shards, unsigned limit);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // The shard for the next connection, in turn.
  boost::asio::io_context& NextShard();

  // Runs every shard (the main one on the caller's thread) until the main one stops, then stops
  // the others and joins every thread.
  void Run();

  // Held around a wait that the shard's io_context does not drive.
  class Blocking {
   public:
    explicit Blocking(Workers* workers);
    ~Blocking();
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

   private:
    Workers* workers_;
    std::size_t shard_;
  };

  // The main io_context has stopped: waits give up.
  bool Stopped() const;

  // Threads in all (spares included), and those held in a Blocking region now.
  std::size_t threads() const;
  std::size_t held() const;

 private:
  struct Shard {
    boost::asio::io_context* io;
    std::size_t running = 0;  // threads inside it, spares included
    std::size_t blocked = 0;
  };
  void StartSpare(std::size_t shard);  // with mutex_ held
  void SpareLoop(std::size_t shard, std::list<std::thread>::iterator self);
  void JoinFinished();  // with mutex_ held

  boost::asio::io_context& main_;
  std::vector<std::unique_ptr<boost::asio::io_context>> own_;  // every shard but the main one
  std::vector<boost::asio::executor_work_guard<boost::asio::io_context::executor_type>> guards_;
  const unsigned limit_;
  std::atomic<std::size_t> next_{0};
  mutable std::mutex mutex_;
  std::vector<Shard> shards_;  // [0] is the main one
  std::condition_variable spareExited_;
  std::list<std::thread> spares_;
  std::list<std::list<std::thread>::iterator> finished_;
  std::size_t threads_ = 0;  // in all, spares included
  std::size_t liveSpares_ = 0;
};

// Writes every byte to a socket within the deadline, whatever its blocking mode: the filter's
// own replies go out this way, from inside its notification. A wait for the socket is a Blocking
// region of `workers` (which may be null).
bool WriteAll(int fd, std::string_view data, std::chrono::milliseconds timeout, Workers* workers);
// Two pieces, in order, gathered into as few system calls as the socket takes.
bool WriteAll(int fd, std::string_view first, std::string_view second,
              std::chrono::milliseconds timeout, Workers* workers);

}  // namespace quillon::host
