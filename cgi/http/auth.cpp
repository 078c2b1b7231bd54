// The Basic credentials check: libaprutil decodes the header and checks the
// password against the file's hash (bcrypt, MD5-crypt, SHA1 or crypt), the
// same code that Apache's own mod_authn_file uses.
#include "cgi/http/auth.hpp"

#include <apr_base64.h>
#include <apr_md5.h>

#include <cctype>
#include <string>

#include "cgi/http/passwords.hpp"

namespace armctl::cgi {
namespace {

// Longer headers are refused unread: no login needs more.
constexpr std::size_t max_token_bytes = 1024;

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(s[i])) != prefix[i]) return false;
  return true;
}

// "user:password" from a "Basic <base64>" header value; empty when it is none.
std::string decoded_basic(std::string_view header) {
  constexpr std::string_view scheme = "basic ";
  if (!starts_with_nocase(header, scheme)) return {};
  std::string token(header.substr(scheme.size()));
  while (!token.empty() && token.front() == ' ') token.erase(0, 1);
  while (!token.empty() && token.back() == ' ') token.pop_back();
  if (token.empty() || token.size() > max_token_bytes) return {};
  std::string plain(static_cast<std::size_t>(apr_base64_decode_len(token.c_str())), '\0');
  const int n = apr_base64_decode(plain.data(), token.c_str());
  plain.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
  return plain;
}

// The hash stored for `user`, or nullptr when the file has no such user.
const std::string* stored_hash(const password_file& file, std::string_view user) {
  for (const password_entry& e : file.entries)
    if (e.user == user) return &e.hash;
  return nullptr;
}

login refused() { return {login::outcome::refused, {}, 0}; }

}  // namespace

login authenticated_user(std::optional<std::string_view> authorization, const char* htpasswd_path) {
  const password_file file = read_password_file(htpasswd_path);
  if (file.error != 0) return {login::outcome::file_unreadable, {}, file.error};
  if (!authorization) return refused();
  const std::string pair = decoded_basic(*authorization);
  const auto colon = pair.find(':');
  if (colon == std::string::npos || colon == 0 || pair.find('\0') != std::string::npos)
    return refused();
  const std::string user = pair.substr(0, colon);
  const std::string* hash = stored_hash(file, user);
  if (hash == nullptr || hash->empty()) return refused();
  if (apr_password_validate(pair.c_str() + colon + 1, hash->c_str()) != APR_SUCCESS)
    return refused();
  return {login::outcome::accepted, user};
}

}  // namespace armctl::cgi
