// The device cookie's signature: HMAC-SHA-256 (GnuTLS, which libmicrohttpd
// already links) over the name and the device, with a key of 32 random
// bytes kept in the state directory.
#include "daemon/http/devices.hpp"

#include <gnutls/crypto.h>
#include <gnutls/gnutls.h>

#include <cstdio>

#include "daemon/stores/failure_counts.hpp"
#include "daemon/stores/front_files.hpp"
#include "daemon/stores/locked_file.hpp"
#include "state/durable.hpp"
#include "state/state_dir.hpp"

namespace armctl::front {
namespace {

constexpr std::size_t key_bytes = 32;
constexpr std::size_t device_id_bytes = 16;
constexpr std::size_t signature_bytes = 32;

std::string random_bytes(std::size_t n, gnutls_rnd_level_t level) {
  std::string out(n, '\0');
  if (gnutls_rnd(level, out.data(), n) != 0) return {};
  return out;
}

std::string stored_key(const char* state_dir_path) {
  const state_dir dir(state_dir_path);
  const file_text f = read_state_file(dir, device_key_name, key_bytes);
  if (!f.failed && f.text.size() == key_bytes) return f.text;
  // Missing or damaged: a new key, whose cookies the old ones give way to.
  std::string key = random_bytes(key_bytes, GNUTLS_RND_KEY);
  const std::string temp = std::string(".") + device_key_name + ".tmp";
  if (key.empty() || replace_file(dir, device_key_name, temp.c_str(), key, front_file_mode) ==
                         replace_result::failed)
    std::fputs("armctld: the key of device cookies cannot be stored; they last until a restart\n",
               stderr);
  return key;
}

// Equal in time that does not depend on where the two differ.
bool same_bytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i)
    diff |= static_cast<unsigned char>(static_cast<unsigned char>(a[i]) ^
                                       static_cast<unsigned char>(b[i]));
  return diff == 0;
}

bool is_hex(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

device_signer::device_signer(const char* state_dir_path) : key_(stored_key(state_dir_path)) {}

std::string device_signer::signature(std::string_view text) const {
  unsigned char mac[signature_bytes];
  if (key_.size() != key_bytes || gnutls_hmac_fast(GNUTLS_MAC_SHA256, key_.data(), key_.size(),
                                                   text.data(), text.size(), mac) != 0)
    return {};
  return hex_text(std::string_view(reinterpret_cast<const char*>(mac), sizeof mac));
}

// "<name in hex>.<device in hex>.<signature in hex>"
std::string device_signer::cookie_for(const std::string& user) const {
  const std::string id = random_bytes(device_id_bytes, GNUTLS_RND_NONCE);
  if (id.empty()) return {};
  const std::string signed_part = hex_text(user) + "." + hex_text(id);
  const std::string mac = signature(signed_part);
  return mac.empty() ? std::string() : signed_part + "." + mac;
}

std::optional<device> device_signer::verified(std::string_view value) const {
  const std::size_t first = value.find('.'), last = value.rfind('.');
  if (first == std::string_view::npos || first == last) return std::nullopt;
  const std::string_view user = value.substr(0, first);
  const std::string_view id = value.substr(first + 1, last - first - 1);
  const std::string_view mac = value.substr(last + 1);
  if (!is_hex(user) || id.size() != 2 * device_id_bytes || !is_hex(id)) return std::nullopt;
  const std::string expected = signature(value.substr(0, last));
  if (expected.empty() || !same_bytes(expected, mac)) return std::nullopt;
  return device{std::string(user), std::string(id)};
}

std::string set_cookie_value(const std::string& value, bool https) {
  return std::string(device_cookie_name) + "=" + value +
         "; Max-Age=" + std::to_string(device_cookie_max_age_s) + "; HttpOnly; SameSite=Strict" +
         (https ? "; Secure" : "");
}

}  // namespace armctl::front
