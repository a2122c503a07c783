// One browser connection: its heads read one after another, each request handed to the request
// unit (request.h), each answer logged, and the connection kept or closed.
#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "access_log.h"
#include "connection.h"
#include "metrics.h"
#include "proxy_options.h"
#include "request.h"

namespace quillon::host {

// Every open browser connection, so that shutdown can close those waiting for their next
// request at once. Registered once per connection; whether it waits is its own flag, so a
// request costs no lock here.
class OpenSessions {
 public:
  struct Open {
    beast::tcp_stream* stream;
    std::atomic<bool> idle{false};
  };
  void Register(Open* open);
  void Unregister(Open* open);
  std::size_t Waiting();  // connections waiting for their next request now
  // Closes those waiting now, each on its own strand: none can be between a read and its flag.
  void CancelWaiting();

 private:
  std::mutex mutex_;
  std::set<Open*> open_;
};

// What a connection uses besides its requests' own services.
struct SessionServices {
  const FilterLibrary& library;
  const ProxyOptions& options;
  Workers& workers;
  Metrics& metrics;
  AccessLog& log;
  OpenSessions& open;
  const std::atomic<bool>& stopping;
  RequestServices& requests;
};

// A browser connection; `peer` is its remote address, as accepted.
awaitable<void> Session(SessionServices& s, tcp::socket socket, boost::asio::ip::address peer);

// Answers a plain client after a refusal and closes: what the client still sends is read away
// for a moment, or closing with unread data would reset the connection and lose the answer.
awaitable<void> CloseAfterAnswer(beast::tcp_stream& client, std::string answer,
                                 std::chrono::milliseconds writeTimeout, Workers* workers);

}  // namespace quillon::host
