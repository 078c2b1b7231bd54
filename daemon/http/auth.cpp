// The Basic credentials check: libaprutil decodes the header and checks the
// password against the file's hash (bcrypt, MD5-crypt, SHA1 or crypt), the
// same code that Apache's own mod_authn_file uses.
#include "daemon/http/auth.hpp"

#include <apr_base64.h>
#include <apr_md5.h>
#include <apr_sha1.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "daemon/http/passwords.hpp"

namespace armctl::front {
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

// Hashes that no password is expected to match, made once with htpasswd,
// one of each kind a password file holds. A bcrypt one takes the cost of the
// file's own: its salt and digest follow the "$2y$NN".
struct dummy_hash {
  std::string_view kind;  // the prefix that names the kind
  std::string_view hash;
};
constexpr dummy_hash dummies[] = {
    {"$apr1$", "$apr1$2awHjt7a$fEm3lJtFlaNSt2rKrNQ8l/"},
    {"{SHA}", "{SHA}FxmyKGPFDMz/xbCEjNbqYn8J1A8="},
};
constexpr std::string_view bcrypt_dummy =
    "$2y$05$KtcHot2HfXyHKI2KWFJ7KusaHY410o/BYQH.gQwhZttSTBq7izfOK";
constexpr std::size_t bcrypt_cost_end = 7;  // "$2y$05$"

bool is_bcrypt(std::string_view hash) {
  return hash.size() == bcrypt_dummy.size() && hash.starts_with("$2") && hash[3] == '$' &&
         std::isdigit(static_cast<unsigned char>(hash[4])) != 0 &&
         std::isdigit(static_cast<unsigned char>(hash[5])) != 0 && hash[6] == '$';
}

// A hash of the kind, and for bcrypt the cost, of the file's first one (bcrypt
// at the cost htpasswd gives when the file has none).
std::string dummy_like(const password_file& file) {
  const auto first = std::find_if(file.entries.begin(), file.entries.end(),
                                  [](const password_entry& e) { return !e.hash.empty(); });
  const std::string_view model = first != file.entries.end() ? first->hash : std::string_view{};
  for (const dummy_hash& d : dummies)
    if (model.starts_with(d.kind)) return std::string(d.hash);
  if (!is_bcrypt(model)) return std::string(bcrypt_dummy);
  return std::string(model.substr(0, bcrypt_cost_end)) +
         std::string(bcrypt_dummy.substr(bcrypt_cost_end));
}

// The check of a decoded "user:password": a user the file does not have (or
// has without a hash) costs one check against a dummy, like a known one.
login checked(const password_file& file, const std::string& pair) {
  const auto colon = pair.find(':');
  if (colon == std::string::npos || colon == 0 || pair.find('\0') != std::string::npos)
    return refused();
  const std::string user = pair.substr(0, colon);
  const std::string* hash = stored_hash(file, user);
  const bool known = hash != nullptr && !hash->empty();
  const std::string dummy = known ? std::string() : dummy_like(file);
  const bool valid = apr_password_validate(pair.c_str() + colon + 1,
                                           known ? hash->c_str() : dummy.c_str()) == APR_SUCCESS;
  if (!known || !valid) return refused();
  return {login::outcome::accepted, user};
}

// The user name of a decoded "user:password"; empty without one.
std::string user_of(const std::string& pair) {
  const auto colon = pair.find(':');
  return colon == std::string::npos ? std::string() : pair.substr(0, colon);
}

// What the failures are counted by.
std::vector<std::string> failure_keys(std::string_view address, const std::string& user) {
  std::vector<std::string> keys;
  if (!address.empty()) keys.push_back("address " + std::string(address));
  if (!user.empty()) keys.push_back("user " + user);
  return keys;
}

// A user name as the error log can hold it: quoted, its control characters
// and invalid bytes escaped.
std::string logged(const std::string& user) {
  return nlohmann::json(user).dump(-1, ' ', true, nlohmann::json::error_handler_t::replace);
}

constexpr failure_rule login_rule{max_failed_logins, failed_login_window.count()};

}  // namespace

login authenticated_user(std::optional<std::string_view> authorization, const char* htpasswd_path) {
  const password_file file = read_password_file(htpasswd_path);
  if (file.error != 0) return {login::outcome::file_unreadable, {}, file.error};
  if (!authorization) return refused();
  return checked(file, decoded_basic(*authorization));
}

namespace {

// At most this many logins are remembered at once; the soonest to expire
// gives its place up to a new one.
constexpr std::size_t max_remembered = 1024;

// The password file as its identity, size and times tell it: any change of
// it, an edit by htpasswd (a rename) or in place, changes these.
std::string file_identity(const char* path) {
  struct stat st {};
  if (::stat(path, &st) != 0) return {};
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + ":" +
         std::to_string(st.st_size) + ":" + std::to_string(st.st_mtim.tv_sec) + "." +
         std::to_string(st.st_mtim.tv_nsec) + ":" + std::to_string(st.st_ctim.tv_sec) + "." +
         std::to_string(st.st_ctim.tv_nsec);
}

// The memory holds digests, not the passwords the header carries.
std::string digest_of(std::string_view value) {
  unsigned char d[APR_SHA1_DIGESTSIZE];
  apr_sha1_ctx_t ctx;
  apr_sha1_init(&ctx);
  apr_sha1_update_binary(&ctx, reinterpret_cast<const unsigned char*>(value.data()),
                         static_cast<unsigned int>(value.size()));
  apr_sha1_final(d, &ctx);
  return std::string(reinterpret_cast<const char*>(d), sizeof d);
}

}  // namespace

logins::logins(const char* htpasswd_path, const char* state_dir_path)
    : htpasswd_(htpasswd_path),
      state_dir_(state_dir_path),
      failures_(login_rule),
      peeks_(login_rule) {
  const state_dir dir(state_dir_);
  failures_unread_ = !failures_.load(dir);
  if (failures_unread_)
    std::fputs("armctld: the failed logins kept from before cannot be read; counting afresh\n",
               stderr);
}

bool logins::store_ok() const { return !failures_unread_ && !failures_unsaved_; }

// Under m_.
std::optional<std::string> logins::recalled(const std::string& key, const std::string& file) {
  if (file.empty() || file != memory_file_) {
    memory_.clear();
    memory_file_ = file;
    return std::nullopt;
  }
  const auto found = memory_.find(key);
  if (found == memory_.end()) return std::nullopt;
  if (found->second.until <= std::chrono::steady_clock::now()) {
    memory_.erase(found);
    return std::nullopt;
  }
  return found->second.user;
}

// Under m_.
void logins::remember(const std::string& key, const std::string& file, const std::string& user,
                      std::chrono::seconds memory) {
  if (memory.count() <= 0) return;
  if (file != memory_file_) return;  // changed while the hash was checked
  const auto now = std::chrono::steady_clock::now();
  std::erase_if(memory_, [&](const auto& e) { return e.second.until <= now; });
  if (memory_.size() >= max_remembered)
    memory_.erase(std::min_element(
        memory_.begin(), memory_.end(),
        [](const auto& a, const auto& b) { return a.second.until < b.second.until; }));
  memory_[key] = {user, now + memory};
}

// Written to the file under a lock of its own, so that a burst of guesses
// never holds up an operator's remembered login behind the disk. Counted
// in memory either way; the log says once that a restart would forget them.
void logins::save_failures() {
  const std::lock_guard<std::mutex> one_writer(save_m_);
  failure_table snapshot(login_rule);
  {
    const std::lock_guard<std::mutex> hold(m_);
    snapshot = failures_;
  }
  const state_dir dir(state_dir_);
  const bool saved = snapshot.save(dir);
  if (!saved && !failures_unsaved_)
    std::fputs("armctld: the failed logins cannot be written to the state directory\n", stderr);
  failures_unsaved_ = !saved;
}

namespace {

// A browser whose device cookie names this user is counted as that device
// alone; any other by its address and the name.
std::vector<std::string> keys_of(const login_client& client, const std::string& user) {
  if (client.known_device != nullptr && client.known_device->user_hex == hex_text(user))
    return {std::string(device_key_prefix) + client.known_device->id};
  return failure_keys(client.address, user);
}

login stopped_for(long long seconds) {
  return {login::outcome::too_many_failures, {}, 0, std::max(seconds, 1LL)};
}

}  // namespace

login logins::check(std::optional<std::string_view> authorization, const login_client& client,
                    login_use use, std::chrono::seconds memory) {
  const std::string file = file_identity(htpasswd_);
  if (file.empty() || !authorization) {
    const password_file passwords = read_password_file(htpasswd_);
    if (passwords.error != 0) return {login::outcome::file_unreadable, {}, passwords.error};
    return refused();
  }
  const std::string pair = decoded_basic(*authorization);
  // An empty password is never accepted, and so no guess: the page's log out
  // sends one to replace the browser's login, and its reads carry it until
  // the next log in, which must not find its own address stopped.
  const std::size_t colon = pair.find(':');
  if (colon == std::string::npos || colon + 1 == pair.size()) return refused();
  const std::string user = user_of(pair);
  const std::vector<std::string> keys = keys_of(client, user);
  failure_table& counts = use == login_use::sign_in ? failures_ : peeks_;
  const long long now = std::time(nullptr);
  const std::string who = logged(user) + " from " + std::string(client.address);
  const std::string key = digest_of(*authorization);
  {
    const std::lock_guard<std::mutex> hold(m_);
    // Stopped first: a guess that finds the password while the name is
    // stopped is no login, remembered or not.
    if (const long long stopped = counts.seconds_stopped(keys, now); stopped > 0) {
      if (use == login_use::sign_in)
        std::fprintf(stderr, "armctld: login for user %s refused unchecked: too many failures\n",
                     who.c_str());
      return stopped_for(stopped);
    }
    if (auto known = recalled(key, file)) return {login::outcome::accepted, *known};
    if (!counts.record(keys, now)) {
      if (use == login_use::sign_in)
        std::fprintf(stderr,
                     "armctld: login for user %s refused unchecked: too many names and "
                     "addresses failed of late\n",
                     who.c_str());
      return stopped_for(failed_login_window.count());
    }
  }
  const password_file passwords = read_password_file(htpasswd_);
  const login l = passwords.error != 0 ? login{login::outcome::file_unreadable, {}, passwords.error}
                                       : checked(passwords, pair);
  if (l.result != login::outcome::refused) {
    const std::lock_guard<std::mutex> hold(m_);
    counts.withdraw(keys, now);
    if (l.result == login::outcome::accepted) remember(key, file, l.user, memory);
    return l;
  }
  if (use == login_use::sign_in) {
    std::fprintf(stderr, "armctld: failed login for user %s\n", who.c_str());
    save_failures();
  }
  return l;
}

}  // namespace armctl::front
