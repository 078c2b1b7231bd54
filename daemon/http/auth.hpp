// HTTP Basic credentials, checked by the CGI itself against the password
// file: any process of the web server's account can start the CGI through
// suEXEC with any environment, so the server's own login is no boundary.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

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

// authenticated_user with the failures counted in the state directory by
// address (`address`, REMOTE_ADDR) and by user name: one stopped answers
// too_many_failures without checking the password; each refused login is
// counted (waiting at most `wait` for the file) and written to stderr, the
// server's error log. A request without credentials, or with an empty
// password (never accepted), is no failure, and an accepted login clears nothing.
login guarded_login(std::optional<std::string_view> authorization, const char* htpasswd_path,
                    const state_dir& dir, std::string_view address, std::chrono::milliseconds wait);

}  // namespace armctl::front
