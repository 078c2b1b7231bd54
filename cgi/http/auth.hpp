// HTTP Basic credentials, checked by the CGI itself against the password
// file: any process of the web server's account can start the CGI through
// suEXEC with any environment, so the server's own login is no boundary.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace armctl::cgi {

// The realm of the WWW-Authenticate challenge.
inline constexpr const char* auth_realm = "armctl";

// What a login came to. A password file that cannot be read says nothing of
// the credentials: the server must say so, not ask for another password.
struct login {
  enum class outcome { accepted, refused, file_unreadable };
  outcome result;
  std::string user;  // accepted: the operator
  int error = 0;     // file_unreadable: the errno of the open or the read
};

// Checks the Basic credentials that `authorization` (the Authorization
// header, HTTP_AUTHORIZATION) holds against the htpasswd file at
// `htpasswd_path`; the file is read first, whatever the header holds.
login authenticated_user(std::optional<std::string_view> authorization, const char* htpasswd_path);

}  // namespace armctl::cgi
