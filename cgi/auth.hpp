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

// The user whose Basic credentials `authorization` (the Authorization header,
// HTTP_AUTHORIZATION) holds, when the htpasswd file at `htpasswd_path` has
// that user with that password; nothing otherwise.
std::optional<std::string> authenticated_user(std::optional<std::string_view> authorization,
                                              const char* htpasswd_path);

}  // namespace armctl::cgi
