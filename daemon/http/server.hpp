// The daemon's HTTP server: libmicrohttpd on one listening socket, a thread
// per connection (a request may wait for the arm's turn, and a stream
// waits for changes), each request handed to the front end; the event
// stream of the arm's state.
#pragma once

#include <atomic>
#include <string>

#include "daemon/http/front.hpp"

struct MHD_Daemon;

namespace armctl::front {

// Who the client is and which origin is this server's. Behind the web
// server's proxy (a UNIX socket that only it reaches), the request's
// Armctl-Remote-Addr and Armctl-Server headers, which the proxy sets; on a
// TCP listener the peer's address and the listening address.
struct listener {
  int fd = -1;
  bool behind_proxy = false;
  std::string own_name, own_port;  // TCP: the listening address, for the origin
};

class http_server {
 public:
  http_server(front_end& front, listener l) : front_(front), listener_(std::move(l)) {}
  ~http_server();
  http_server(const http_server&) = delete;
  http_server& operator=(const http_server&) = delete;

  [[nodiscard]] bool start();
  // Stops accepting, lets the answers under way go out, then closes every
  // connection and waits for its thread.
  void stop();

  // Counts the requests whose answer is being made.
  void answering(int change) { answering_ += change; }

  front_end& front() { return front_; }
  const listener& where() const { return listener_; }

 private:
  front_end& front_;
  listener listener_;
  MHD_Daemon* daemon_ = nullptr;
  std::atomic<int> answering_{0};
};

}  // namespace armctl::front
