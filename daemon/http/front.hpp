// One request to the arm, as the HTTP server hands it over, to its answer:
// the request rules, the login, the handler of its kind, the history line,
// and the one HTTP status of each verdict.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "daemon/http/auth.hpp"
#include "daemon/http/control.hpp"
#include "daemon/http/devices.hpp"
#include "daemon/http/handler.hpp"
#include "daemon/http/request.hpp"
#include "daemon/runs/arm.hpp"

namespace armctl::front {

// Where the daemon finds the arm, fixed at build time (main.cpp).
struct front_config {
  const char* state_dir;
  const char* controller;
  std::int64_t controller_delay_ns;  // for the motion estimate
  const char* settings;
  const char* htpasswd;
  std::chrono::milliseconds default_wait;
};

// What the server knows of a request before its body.
struct http_request {
  std::string_view method;
  std::optional<std::string_view> content_type, content_length, origin, authorization;
  std::optional<std::string_view> device_cookie;  // the value of the armctl_device cookie
  std::string_view query_string;
  std::string_view remote_addr;  // the client's, as the server or its proxy says
  std::string_view server_name, server_port;
  bool https = false;
};

struct http_answer {
  int status = 500;
  std::string body;             // JSON, one line
  long long retry_after_s = 0;  // with 429
  std::string set_cookie{};     // a Set-Cookie header's value, when a login passed
  // A GET of the event stream that may go on: its reader's operator, if any.
  std::optional<std::string> stream_for{};
};

class front_end {
 public:
  front_end(const front_config& config, arm& a);
  ~front_end();
  front_end(const front_end&) = delete;
  front_end& operator=(const front_end&) = delete;

  // The answer when the request ends before its body (a refusal, a GET),
  // or the length of the body to read.
  std::variant<http_answer, std::size_t> admit(const http_request& r,
                                               const std::function<bool()>& caller_gone);
  // The answer to a POST with its body.
  http_answer answer(const http_request& r, std::string_view body,
                     const std::function<bool()>& caller_gone);
  // One event of the stream: the state as `user` (empty: not logged in) may see it.
  std::string state_json(const std::string& user);

  arm& runs() { return arm_; }
  drive& control() { return drive_; }
  // Whether the failed logins are kept on disk as they should be.
  [[nodiscard]] bool failures_stored() const { return logins_.store_ok(); }

 private:
  http_answer respond(const http_request& r, const query& q, std::string_view body,
                      const std::function<bool()>& caller_gone);
  // The answer of a request whose login has been checked.
  http_answer answer_to(const query& q, std::string_view body, context& c);
  context step_context(const std::string& user);
  void record_step(const goto_query& q, const context& c, const reply& r);

  front_config config_;
  arm& arm_;
  logins logins_;
  device_signer devices_;
  // Last: its thread, which uses the rest, ends first.
  std::unique_ptr<player> player_;
  drive drive_;
};

// The text of a JSON value for the wire: invalid UTF-8 in names is replaced,
// never a reason to fail the answer.
std::string wire_text(const nlohmann::json& j);

}  // namespace armctl::front
