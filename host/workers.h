// The threads that run the proxy's io_context, and the one place where a thread may block.
//
// The filter writes its replies synchronously (WriteClient reports what it wrote), so a browser
// that reads slowly holds the thread that serves it inside the filter's call. Every such wait
// goes through a Blocking guard: while a thread is held, a spare thread runs the io_context in
// its place, so the number of threads free for everyone else never drops below the base count.
// Spares are bounded (one per connection that can block, at most `limit` threads in all) and
// retire after a short idle time.
#pragma once

#include <boost/asio/io_context.hpp>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string_view>
#include <thread>

namespace quillon::host {

class Workers {
 public:
  Workers(boost::asio::io_context& io, unsigned base, unsigned limit);
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // Runs the io_context on `base` threads (the caller's among them) until it stops, then joins
  // every thread.
  void Run();

  // Held around a wait that the io_context does not drive.
  class Blocking {
   public:
    explicit Blocking(Workers* workers);
    ~Blocking();
    Blocking(const Blocking&) = delete;
    Blocking& operator=(const Blocking&) = delete;

   private:
    Workers* workers_;
  };

  // The io_context has stopped: waits give up.
  bool Stopped() const;

 private:
  void StartSpare();  // with mutex_ held
  void SpareLoop(std::list<std::thread>::iterator self);
  void JoinFinished();  // with mutex_ held

  boost::asio::io_context& io_;
  const unsigned base_;
  const unsigned limit_;
  mutable std::mutex mutex_;
  std::condition_variable spareExited_;
  std::list<std::thread> spares_;
  std::list<std::list<std::thread>::iterator> finished_;
  std::size_t running_ = 0;  // threads inside the io_context, spares included
  std::size_t blocked_ = 0;
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
