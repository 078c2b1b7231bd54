// HTTP Basic credentials, checked by the daemon itself against the password
// file: the daemon's socket is the web server's to reach, and any process of
// the web server's account can reach it, so the server's own login is no
// boundary.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "daemon/http/devices.hpp"
#include "daemon/stores/failure_counts.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {

// The realm of the WWW-Authenticate challenge.
inline constexpr const char* auth_realm = "armctl";

// What a login came to. A password file that cannot be read says nothing of
// the credentials: the server must say so, not ask for another password.
struct login {
  enum class outcome { accepted, refused, file_unreadable, too_many_failures };
  outcome result;
  std::string user;             // accepted: the operator
  int error = 0;                // file_unreadable: the errno of the open or the read
  long long retry_after_s = 0;  // too_many_failures: when to try again
};

// Failed logins that stop further tries from one address or for one user
// name: this many within the window.
inline constexpr std::size_t max_failed_logins = 10;
inline constexpr std::chrono::seconds failed_login_window{60};

// Checks the Basic credentials that `authorization` (the Authorization
// header, HTTP_AUTHORIZATION) holds against the htpasswd file at
// `htpasswd_path`; the file is read first, whatever the header holds. A user
// the file does not have is checked against a hash like the file's, so that
// the time taken does not tell whether the user exists.
login authenticated_user(std::optional<std::string_view> authorization, const char* htpasswd_path);

// What a check of credentials is for. A sign-in is a request that needs
// the login (and whoami, which the page asks to learn who is logged in):
// its failures count towards the limits. A peek is a request open to all
// (the state, its stream, STOP) that shows more to an operator: credentials
// a browser sends there unasked count nothing, so that stale ones on a
// polling page stop nobody, but the password is checked for them only
// within limits of their own, so that such requests are no unlimited way
// to try passwords either.
enum class login_use { sign_in, peek };

// The client that offers the credentials.
struct login_client {
  std::string_view address;
  const device* known_device = nullptr;  // a verified device cookie, if sent
};

// The daemon's logins: the check of authenticated_user, guarded by the
// failures counted by address and by user name, or by device for a browser
// whose device cookie names the user; and a memory of the Authorization
// values that passed, so that polls and streams do not run the password
// hash again. The memory is forgotten as soon as the password file changes
// (its identity, size or times), and each value in it after `memory` has
// passed.
class logins {
 public:
  logins(const char* htpasswd_path, const char* state_dir_path);

  // A stopped key answers too_many_failures without checking the password,
  // and so does a new key that finds no free slot. A check is counted as a
  // failure before the password is checked, under the lock that reads the
  // counts, and taken back when it passes: parallel guesses can never get
  // more checks than the limit. Each refused sign-in is written to stderr,
  // the server's log. A request without credentials, or with an empty
  // password (never accepted), is no failure, and an accepted login clears
  // nothing.
  login check(std::optional<std::string_view> authorization, const login_client& client,
              login_use use, std::chrono::seconds memory);

  // Whether the failed logins could be read at the start and written since.
  [[nodiscard]] bool store_ok() const;

 private:
  struct remembered {
    std::string user;
    std::chrono::steady_clock::time_point until;
  };
  std::optional<std::string> recalled(const std::string& key, const std::string& file);
  void remember(const std::string& key, const std::string& file, const std::string& user,
                std::chrono::seconds memory);
  void save_failures();

  const char* htpasswd_;
  const char* state_dir_;
  mutable std::mutex m_;  // the counts and the memory
  std::mutex save_m_;     // the counts' file
  failure_table failures_;
  failure_table peeks_;  // in memory only: they stop no login
  std::atomic<bool> failures_unread_ = false;
  std::atomic<bool> failures_unsaved_ = false;  // the fault is logged once
  std::map<std::string, remembered> memory_;    // by a digest of the Authorization value
  std::string memory_file_;                     // the password file the memory holds for
};

}  // namespace armctl::front
