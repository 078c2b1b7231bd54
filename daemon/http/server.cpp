// libmicrohttpd's callbacks: a request's raw target and headers, its body
// within bounds, the answer with its headers, and the event stream as a
// response of unknown length fed by one connection's thread.
#include "daemon/http/server.hpp"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "daemon/http/auth.hpp"
#include "daemon/http/request.hpp"

namespace armctl::front {
namespace {

using namespace std::chrono_literals;

// A stream sends the state at least this often while a run moves, and a
// comment this often when nothing changes, so that a proxy or a client
// sees a live connection.
constexpr auto moving_event_every = 250ms;
constexpr auto keep_alive_every = 15s;
// How often a stream that waits looks whether its client went away.
constexpr auto hang_up_check = 1s;
// A connection that sends nothing for this long is closed (a stream never
// is: it sends).
constexpr unsigned connection_timeout_s = 120;
// On a stop, how long the answers under way are waited for, and then sent.
constexpr auto answers_on_stop = 15s;
constexpr auto sent_on_stop = 200ms;

// One request, from its first callback to its answer.
struct exchange {
  std::string target;  // the raw request target, query string included
  std::string method, content_type, content_length, origin, authorization, device_cookie;
  bool has_type = false, has_length = false, has_origin = false, has_authorization = false,
       has_device_cookie = false;
  std::string remote_addr, server_name, server_port;
  bool https = false;
  bool admitted = false;
  std::size_t expected = 0;
  std::string body;
  int fd = -1;
  // A GET's answer, made at the first callback and queued at the second,
  // once the request is whole: libmicrohttpd closes a connection whose
  // answer was queued before, and keep-alive is lost.
  std::optional<http_answer> answer;
};

// The request's parts as the front end reads them, viewing the exchange's.
http_request request_of(const exchange& e) {
  http_request r;
  r.method = e.method;
  if (e.has_type) r.content_type = e.content_type;
  if (e.has_length) r.content_length = e.content_length;
  if (e.has_origin) r.origin = e.origin;
  if (e.has_authorization) r.authorization = e.authorization;
  if (e.has_device_cookie) r.device_cookie = e.device_cookie;
  const std::size_t q = e.target.find('?');
  if (q != std::string::npos) r.query_string = std::string_view(e.target).substr(q + 1);
  r.remote_addr = e.remote_addr;
  r.server_name = e.server_name;
  r.server_port = e.server_port;
  r.https = e.https;
  return r;
}

// Whether the client closed its end of the connection.
bool hung_up(int fd) {
  if (fd < 0) return false;
  pollfd p{fd, POLLRDHUP, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

bool header(MHD_Connection* c, const char* name, std::string& out,
            MHD_ValueKind kind = MHD_HEADER_KIND) {
  const char* v = MHD_lookup_connection_value(c, kind, name);
  if (v == nullptr) return false;
  out = v;
  return true;
}

std::string peer_address(MHD_Connection* c) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return {};
  char text[INET6_ADDRSTRLEN] = "";
  const sockaddr* a = info->client_addr;
  if (a->sa_family == AF_INET)
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, text, sizeof text);
  else if (a->sa_family == AF_INET6)
    ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, text, sizeof text);
  return text;
}

// "https arm.local 8443", as the proxy sets it.
void take_server(const std::string& value, exchange& e) {
  const std::size_t a = value.find(' '), b = value.find(' ', a + 1);
  if (a == std::string::npos || b == std::string::npos) return;
  e.https = value.substr(0, a) == "https";
  e.server_name = value.substr(a + 1, b - a - 1);
  e.server_port = value.substr(b + 1);
}

void read_request(MHD_Connection* c, const char* method, const listener& l, exchange& e) {
  e.method = method;
  e.has_type = header(c, MHD_HTTP_HEADER_CONTENT_TYPE, e.content_type);
  e.has_length = header(c, MHD_HTTP_HEADER_CONTENT_LENGTH, e.content_length);
  e.has_origin = header(c, "Origin", e.origin);
  e.has_authorization = header(c, MHD_HTTP_HEADER_AUTHORIZATION, e.authorization);
  e.has_device_cookie = header(c, device_cookie_name, e.device_cookie, MHD_COOKIE_KIND);
  if (l.behind_proxy) {
    (void)header(c, "Armctl-Remote-Addr", e.remote_addr);
    std::string server;
    if (header(c, "Armctl-Server", server)) take_server(server, e);
  } else {
    e.remote_addr = peer_address(c);
    e.server_name = l.own_name;
    e.server_port = l.own_port;
  }
  const MHD_ConnectionInfo* info = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
  e.fd = info != nullptr ? info->connect_fd : -1;
}

void add(MHD_Response* r, const char* name, const std::string& value) {
  MHD_add_response_header(r, name, value.c_str());
}

MHD_Result send_answer(MHD_Connection* c, const http_answer& a) {
  const std::string body = a.body + "\n";
  MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                    MHD_RESPMEM_MUST_COPY);
  if (r == nullptr) return MHD_NO;
  add(r, MHD_HTTP_HEADER_CONTENT_TYPE, "application/json");
  add(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  if (a.status == 405) add(r, MHD_HTTP_HEADER_ALLOW, "GET, HEAD, POST");
  if (a.status == 401)
    add(r, MHD_HTTP_HEADER_WWW_AUTHENTICATE, std::string("Basic realm=\"") + auth_realm + "\"");
  if (a.retry_after_s > 0) add(r, MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(a.retry_after_s));
  if (!a.set_cookie.empty()) add(r, MHD_HTTP_HEADER_SET_COOKIE, a.set_cookie);
  const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(a.status), r);
  MHD_destroy_response(r);
  return ok;
}

// One reader of the event stream: the state when it opens, again whenever
// it changes, at least every quarter second while a run moves.
class stream {
 public:
  // An operator's open stream keeps their drive: their page is there.
  stream(front_end& f, std::string user, int fd) : front_(f), user_(std::move(user)), fd_(fd) {
    if (!user_.empty()) front_.control().stream_opened(user_);
  }
  ~stream() {
    if (!user_.empty()) front_.control().stream_closed(user_, steady::now());
  }
  stream(const stream&) = delete;
  stream& operator=(const stream&) = delete;

  ssize_t read(char* buf, std::size_t max) noexcept {
    try {
      return fill(buf, max);
    } catch (...) {
      return MHD_CONTENT_READER_END_WITH_ERROR;  // the page reads the state again
    }
  }

 private:
  ssize_t fill(char* buf, std::size_t max) {
    while (pending_.size() == sent_) {
      pending_.clear();
      sent_ = 0;
      if (front_.runs().shutting_down()) return MHD_CONTENT_READER_END_OF_STREAM;
      if (hung_up(fd_)) return MHD_CONTENT_READER_END_WITH_ERROR;
      next();
    }
    const std::size_t n = std::min(max, pending_.size() - sent_);
    std::memcpy(buf, pending_.data() + sent_, n);
    sent_ += n;
    return static_cast<ssize_t>(n);
  }

  void next() {
    const auto now = steady::now();
    // A gone driver or an unanswered ask is let go within a check's time.
    if (front_.control().expire(now)) front_.runs().changed();
    if (first_) {
      first_ = false;
      seen_ = front_.runs().version();
      send_state(now);
      return;
    }
    const bool moving = front_.runs().running();
    const auto idle_every =
        !user_.empty() && front_.control().drives(user_) ? driver_stream_probe : keep_alive_every;
    const auto due = moving ? last_sent_ + moving_event_every : last_sent_ + idle_every;
    const auto until = std::min(due, now + hang_up_check);
    const std::uint64_t v = front_.runs().wait_change(seen_, until);
    const auto woke = steady::now();
    if (v != seen_) {
      seen_ = v;
      send_state(woke, false);
    } else if (woke >= due) {
      if (moving)
        send_state(woke);
      else
        keep_alive(woke);
    }
  }

  // An unchanged state is sent again only when it is due.
  void send_state(steady::time_point now, bool always = true) {
    std::string json = front_.state_json(user_);
    if (!always && json == last_) return;
    pending_ = "event: state\ndata: " + json + "\n\n";
    last_ = std::move(json);
    last_sent_ = now;
  }
  void keep_alive(steady::time_point now) {
    pending_ = ": keep-alive\n\n";
    last_sent_ = now;
  }

  front_end& front_;
  std::string user_;
  int fd_;
  std::string pending_, last_;
  std::size_t sent_ = 0;
  bool first_ = true;
  std::uint64_t seen_ = 0;
  steady::time_point last_sent_{};
};

ssize_t stream_read(void* cls, std::uint64_t /*pos*/, char* buf, std::size_t max) {
  return static_cast<stream*>(cls)->read(buf, max);
}
void stream_free(void* cls) { delete static_cast<stream*>(cls); }

MHD_Result open_stream(MHD_Connection* c, front_end& f, const http_answer& a, int fd) {
  auto* s = new stream(f, *a.stream_for, fd);
  MHD_Response* r =
      MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, stream_read, s, stream_free);
  if (r == nullptr) {
    delete s;
    return MHD_NO;
  }
  add(r, MHD_HTTP_HEADER_CONTENT_TYPE, "text/event-stream");
  add(r, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
  // A proxy that buffers would hold the events back.
  add(r, "X-Accel-Buffering", "no");
  if (!a.set_cookie.empty()) add(r, MHD_HTTP_HEADER_SET_COOKIE, a.set_cookie);
  const MHD_Result ok = MHD_queue_response(c, MHD_HTTP_OK, r);
  MHD_destroy_response(r);
  return ok;
}

MHD_Result respond(MHD_Connection* c, front_end& f, const http_answer& a, int fd) {
  if (a.stream_for) return open_stream(c, f, a, fd);
  return send_answer(c, a);
}

// The raw request target, before libmicrohttpd decodes its arguments: the
// query string's rules judge it as sent. Its return value is the
// exchange the other callbacks get.
void* begin_exchange(void* /*cls*/, const char* uri, MHD_Connection* /*c*/) {
  auto* e = new exchange;
  e->target = uri != nullptr ? uri : "";
  return e;
}

void end_exchange(void* /*cls*/, MHD_Connection* /*c*/, void** con_cls,
                  MHD_RequestTerminationCode /*why*/) {
  delete static_cast<exchange*>(*con_cls);
  *con_cls = nullptr;
}

// Counted from the start of a request's handling to its answer's queueing.
class answering {
 public:
  explicit answering(http_server& s) : s_(s) { s_.answering(+1); }
  ~answering() { s_.answering(-1); }
  answering(const answering&) = delete;
  answering& operator=(const answering&) = delete;

 private:
  http_server& s_;
};

MHD_Result handle(http_server& server, MHD_Connection* c, const char* method, const char* upload,
                  std::size_t* upload_size, exchange* e);

// Anything thrown (memory exhausted, a name nlohmann cannot print) is a 500
// for that request, never the end of the daemon and every page's stream.
MHD_Result on_request(void* cls, MHD_Connection* c, const char* /*url*/, const char* method,
                      const char* /*version*/, const char* upload, std::size_t* upload_size,
                      void** con_cls) {
  auto* e = static_cast<exchange*>(*con_cls);
  if (e == nullptr) return MHD_NO;
  try {
    return handle(*static_cast<http_server*>(cls), c, method, upload, upload_size, e);
  } catch (...) {
    std::fputs("armctld: a request failed with an exception; answered 500\n", stderr);
    *upload_size = 0;
    try {
      return send_answer(c, {500, R"({"error":"internal error"})"});
    } catch (...) {
      return MHD_NO;
    }
  }
}

MHD_Result handle(http_server& server, MHD_Connection* c, const char* method, const char* upload,
                  std::size_t* upload_size, exchange* e) {
  front_end& f = server.front();
  const answering counted(server);
  const int fd = e->fd;
  const auto caller_gone = [fd] { return hung_up(fd); };
  if (!e->admitted) {
    e->admitted = true;
    read_request(c, method, server.where(), *e);
    auto admitted = f.admit(request_of(*e), [fd = e->fd] { return hung_up(fd); });
    if (auto* a = std::get_if<http_answer>(&admitted)) {
      if (e->method != "GET" && e->method != "HEAD") return respond(c, f, *a, e->fd);
      e->answer = std::move(*a);
      return MHD_YES;
    }
    e->expected = std::get<std::size_t>(admitted);
    e->body.reserve(e->expected);
    return MHD_YES;
  }
  if (e->answer) return respond(c, f, *e->answer, e->fd);
  if (*upload_size > 0) {
    if (e->body.size() + *upload_size > e->expected) {
      *upload_size = 0;
      return send_answer(c,
                         {400, wire_text({{"error", "the body is longer than Content-Length"}})});
    }
    e->body.append(upload, *upload_size);
    *upload_size = 0;
    return MHD_YES;
  }
  if (e->body.size() != e->expected)
    return send_answer(c, {400, wire_text({{"error", "the body is shorter than Content-Length"}})});
  return respond(c, f, f.answer(request_of(*e), e->body, caller_gone), e->fd);
}

}  // namespace

http_server::~http_server() { stop(); }

bool http_server::start() {
  daemon_ = MHD_start_daemon(
      MHD_USE_THREAD_PER_CONNECTION | MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC,
      0, nullptr, nullptr, &on_request, this, MHD_OPTION_LISTEN_SOCKET, listener_.fd,
      MHD_OPTION_URI_LOG_CALLBACK, &begin_exchange, nullptr, MHD_OPTION_NOTIFY_COMPLETED,
      &end_exchange, nullptr, MHD_OPTION_CONNECTION_TIMEOUT, connection_timeout_s, MHD_OPTION_END);
  return daemon_ != nullptr;
}

void http_server::stop() {
  if (daemon_ == nullptr) return;
  // The answers being made go out before the connections close: a caller
  // whose run the daemon's stop ended is told how it ended.
  (void)MHD_quiesce_daemon(daemon_);
  const auto until = steady::now() + answers_on_stop;
  while (answering_ > 0 && steady::now() < until) std::this_thread::sleep_for(10ms);
  std::this_thread::sleep_for(sent_on_stop);
  MHD_stop_daemon(daemon_);
  daemon_ = nullptr;
}

}  // namespace armctl::front
