// The configuration check: each finding names the file with its owner and
// mode, and says what follows for the web page, so that a newcomer does not
// meet it as a silent 401 or 403.
#include "daemon/http/check.hpp"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>

#include "daemon/http/passwords.hpp"
#include "daemon/http/request.hpp"
#include "daemon/http/settings.hpp"
#include "daemon/stores/front_files.hpp"

namespace armctl::front {
namespace {

std::string user_name(uid_t uid) {
  const passwd* p = ::getpwuid(uid);
  return p != nullptr ? p->pw_name : std::to_string(uid);
}

std::string group_name(gid_t gid) {
  const group* g = ::getgrgid(gid);
  return g != nullptr ? g->gr_name : std::to_string(gid);
}

std::string account() { return user_name(::geteuid()); }

// "PATH (owner:group 0640)", or the path alone when it cannot be seen.
std::string described(const char* what, const char* path, const struct stat* st) {
  std::string text = std::string(what) + " " + path;
  if (st == nullptr) return text;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st->st_mode & 07777));
  return text + " (" + user_name(st->st_uid) + ":" + group_name(st->st_gid) + " " + mode + ")";
}

// The status of the link itself (a state file must be no link), or of
// what it leads to (a file that is only read); nullptr with errno set.
const struct stat* link_status(const char* path, struct stat& st) {
  return ::lstat(path, &st) == 0 ? &st : nullptr;
}
const struct stat* status_of(const char* path, struct stat& st) {
  return ::stat(path, &st) == 0 ? &st : nullptr;
}

std::string joined(const std::vector<std::string>& list, const char* separator) {
  std::string text;
  for (const std::string& s : list) text += (text.empty() ? "" : separator) + s;
  return text;
}

std::string lower(std::string s) {
  std::transform(s.begin(), s.end(), s.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return s;
}

finding ok(std::string text) { return {true, std::move(text)}; }
finding problem(std::string text) { return {false, std::move(text)}; }

// The errno of opening and reading the whole file; 0 when it reads.
int read_error(const char* path) {
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path, "re"), std::fclose);
  if (!f) return errno;
  errno = 0;
  while (std::fgetc(f.get()) != EOF) {
  }
  return std::ferror(f.get()) != 0 ? (errno != 0 ? errno : EIO) : 0;
}

void check_settings(const char* path, std::vector<finding>& out) {
  struct stat st {};
  const std::string what = described("settings file", path, status_of(path, st));
  if (const int e = read_error(path)) {
    out.push_back(problem(what + " cannot be read by " + account() + ": " + std::strerror(e) +
                          "; the daemon runs on its defaults"));
    return;
  }
  const std::vector<ignored_setting> ignored = ignored_settings(path);
  for (const ignored_setting& i : ignored)
    out.push_back(problem(what + " line " + std::to_string(i.line) + " is ignored: \"" + i.text +
                          "\": " + i.why));
  if (ignored.empty()) out.push_back(ok(what + ": every setting applies"));
}

void check_passwords(const char* path, std::vector<finding>& out) {
  struct stat st {};
  const std::string what = described("password file", path, status_of(path, st));
  const password_file file = read_password_file(path);
  const std::size_t operators = operator_count(file);
  if (file.error != 0)
    out.push_back(problem(what + " cannot be read by " + account() + ": " +
                          std::strerror(file.error) + "; every login answers 500"));
  else if (operators == 0)
    out.push_back(problem(what + " has no operator (no \"user:hash\" line); add one with: " +
                          "sudo htpasswd -B " + path + " NAME"));
  else
    out.push_back(ok(what + ": " + std::to_string(operators) + " operator(s)"));
}

// The state directory and the controller's two files: the account's own,
// written by no other account (its own group aside).
void check_state_entry(const char* what, const std::string& path, bool directory,
                       std::vector<finding>& out) {
  struct stat st {};
  const struct stat* seen = link_status(path.c_str(), st);
  const int missing = seen == nullptr ? errno : 0;
  const std::string text = described(what, path.c_str(), seen);
  if (seen == nullptr) {
    out.push_back(problem(text + " is missing: " + std::strerror(missing)));
    return;
  }
  std::vector<std::string> faults;
  if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
    faults.push_back(directory ? "is not a directory" : "is not a regular file");
  if (!directory && st.st_nlink > 1)
    faults.push_back("has another link (a name planted to reach this file), which runs refuse");
  if (st.st_uid != ::geteuid()) faults.push_back("is not owned by " + account());
  if ((st.st_mode & S_IWOTH) != 0) faults.push_back("can be written by every account");
  if ((st.st_mode & S_IWGRP) != 0 && st.st_gid != ::getegid())
    faults.push_back("can be written by the group " + group_name(st.st_gid));
  if (faults.empty()) {
    out.push_back(ok(text));
    return;
  }
  out.push_back(problem(text + " " + joined(faults, "; ")));
}

void check_controller(const char* path, std::vector<finding>& out) {
  struct stat st {};
  const struct stat* seen = status_of(path, st);
  const int missing = seen == nullptr ? errno : 0;
  const int refused = seen != nullptr && ::access(path, X_OK) != 0 ? errno : 0;
  const std::string what = described("controller", path, seen);
  if (seen == nullptr)
    out.push_back(problem(what + " is missing: " + std::strerror(missing)));
  else if (refused != 0)
    out.push_back(problem(what + " cannot be run by " + account() + ": " + std::strerror(refused)));
  else
    out.push_back(ok(what + " can be run by " + account()));
}

bool is_host(std::string_view h) {
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') return true;  // IPv6
  return !h.empty() && std::all_of(h.begin(), h.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-';
  });
}

bool is_port(std::string_view p) {
  if (p.empty() || p.size() > 5 || p.front() == '0') return false;
  if (!std::all_of(p.begin(), p.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  return std::stoul(std::string(p)) <= 65535;
}

// Why an entry of the origins list can never equal a browser's Origin, or
// empty when it can: scheme://host[:port], no path, no default port.
std::string origin_fault(std::string_view o) {
  const std::size_t sep = o.find("://");
  if (sep == std::string_view::npos) return "has no scheme://";
  const std::string_view scheme = o.substr(0, sep), rest = o.substr(sep + 3);
  if (scheme != "http" && scheme != "https") return "is neither http:// nor https://";
  if (rest.find('/') != std::string_view::npos) return "has a path (an Origin has none)";
  const std::size_t colon = rest.rfind(':');
  const bool has_port = colon != std::string_view::npos && rest.back() != ']';
  const std::string_view host = has_port ? rest.substr(0, colon) : rest;
  if (!is_host(host)) return "has no valid host";
  if (!has_port) return {};
  const std::string_view port = rest.substr(colon + 1);
  if (!is_port(port)) return "has no valid port";
  if (port == (scheme == "https" ? "443" : "80"))
    return "names the default port, which browsers leave out";
  return {};
}

// Where moves are accepted from, and whether this server's own origin is one
// of them. A list that leaves it out is the administrator's choice (a
// proxy's name, say): told, not counted as a problem.
std::string origins_text(const request_meta& meta) {
  const std::vector<std::string> accepted = accepted_origins(meta);
  const bool listed = meta.origins != nullptr && !meta.origins->empty();
  if (accepted.empty())
    return "no origins list: moves are accepted only from the server's own name and port "
           "(ServerName, with UseCanonicalName On); open the page at exactly that address, not "
           "at another name of the host such as localhost (give --origin https://HOST:PORT to "
           "check one)";
  if (!listed)
    return "no origins list: moves are accepted only from this server's origin " +
           accepted.front() + ": open the page there, not at another name of the host such as " +
           "localhost";
  std::string from = "moves are accepted only from " + joined(accepted, " or ");
  if (meta.server_name.empty()) return from;
  const std::string own = canonical_origin(meta);
  const bool own_listed = std::any_of(accepted.begin(), accepted.end(),
                                      [&](const std::string& o) { return lower(o) == own; });
  return from + "; this server's origin " + own +
         (own_listed ? " is one of them"
                     : " is not: a page opened there shows the arm, but every move answers 403");
}

finding bad_origin(const std::string& entry, const std::string& fault) {
  return problem("origins entry \"" + entry + "\" " + fault + ": no browser request matches it");
}

void check_origins(const char* settings_path, const server_identity& server,
                   std::vector<finding>& out) {
  const front_settings s = load_settings(settings_path);
  for (const std::string& o : s.origins)
    if (const std::string fault = origin_fault(lower(o)); !fault.empty())
      out.push_back(bad_origin(o, fault));
  const request_meta meta{"POST",      std::nullopt, std::nullopt, std::nullopt,
                          server.name, server.port,  server.https, &s.origins};
  out.push_back(ok(origins_text(meta)));
}

// The front end's own files, where they are: each must be a plain file of
// its own, and the failed logins must be readable and replaceable, or their
// limit holds only until the daemon's next start.
void check_front_files(const std::string& dir, std::vector<finding>& out) {
  static constexpr const char* names[] = {latch_file_name, history_file_name,  history_older_name,
                                          poses_file_name, unlock_record_name, login_failures_name,
                                          device_key_name};
  for (const char* name : names) {
    const std::string path = dir + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_nlink > 1)
      out.push_back(problem(described("front end's file", path.c_str(), &st) +
                            " is not a plain file of its own (another link, a symbolic link or "
                            "another kind of file): requests that use it fail"));
  }
  const std::string failures = dir + "/" + login_failures_name;
  struct stat st {};
  if (::lstat(failures.c_str(), &st) == 0)
    if (const int e = read_error(failures.c_str()))
      out.push_back(problem(described("failed logins", failures.c_str(), &st) +
                            " cannot be read by " + account() + ": " + std::strerror(e) +
                            "; their count starts afresh at each start of the daemon"));
  if (::access(dir.c_str(), W_OK) != 0)
    out.push_back(problem("state directory " + dir + " cannot be written by " + account() +
                          ": failed logins are counted in memory only"));
}

}  // namespace

std::vector<finding> check_configuration(const check_paths& paths, const server_identity& server) {
  std::vector<finding> out;
  check_settings(paths.settings, out);
  check_passwords(paths.htpasswd, out);
  const std::string dir = paths.state_dir;
  check_state_entry("state directory", dir, true, out);
  check_state_entry("lock file", dir + "/lock.dat", false, out);
  check_state_entry("position file", dir + "/robot_position.dat", false, out);
  check_front_files(dir, out);
  check_controller(paths.controller, out);
  check_origins(paths.settings, server, out);
  return out;
}

int print_findings(const std::vector<finding>& findings, std::FILE* out) {
  bool all_ok = true;
  for (const finding& f : findings) {
    std::fprintf(out, "%s: %s\n", f.ok ? "ok" : "problem", f.text.c_str());
    all_ok = all_ok && f.ok;
  }
  return all_ok ? 0 : 1;
}

}  // namespace armctl::front
