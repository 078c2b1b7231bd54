// Device cookies: a login that passes gives the browser a cookie that names
// the operator and a random device, signed with the daemon's own key. A
// later login for that name from that browser is then counted against the
// device alone, so that guesses sent from elsewhere for the operator's name
// never lock the operator's own tablet out.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace armctl::front {

inline constexpr const char* device_cookie_name = "armctl_device";
// How long a browser keeps it.
inline constexpr long long device_cookie_max_age_s = 365LL * 24 * 3600;

// What a cookie that carries the daemon's signature says.
struct device {
  std::string user_hex;  // the operator's name, in hex
  std::string id;        // the device, in hex
};

class device_signer {
 public:
  // The key is read from the state directory, or made and stored there; one
  // that cannot be stored lives as long as the daemon, and its cookies with
  // it (said once in the log).
  explicit device_signer(const char* state_dir_path);

  // A new cookie's value for `user`, on a device of its own.
  [[nodiscard]] std::string cookie_for(const std::string& user) const;
  // The device a cookie's value names, when its signature is the daemon's.
  [[nodiscard]] std::optional<device> verified(std::string_view value) const;

 private:
  [[nodiscard]] std::string signature(std::string_view text) const;
  std::string key_;
};

// The Set-Cookie header's value: the browser's alone to send back, and only
// to this site (HttpOnly, SameSite=Strict; Secure when the request came over
// HTTPS).
std::string set_cookie_value(const std::string& value, bool https);

}  // namespace armctl::front
