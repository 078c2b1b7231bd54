// HTTP Basic credentials, checked by the CGI itself against the password
// file: any process of the web server's account can start the CGI through
// suEXEC with any environment, so the server's own login is no boundary.
#pragma once

#include <optional>
#include <string_view>

namespace armctl::cgi {

// The realm of the WWW-Authenticate challenge.
inline constexpr const char* auth_realm = "armctl";

// Whether `authorization` (the Authorization header, HTTP_AUTHORIZATION) holds
// Basic credentials of a user of the htpasswd file at `htpasswd_path`.
bool credentials_valid(std::optional<std::string_view> authorization, const char* htpasswd_path);

}  // namespace armctl::cgi
