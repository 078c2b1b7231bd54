// The administrator's check of the daemon's configuration (armctld --check),
// run as the daemon's account: each file the daemon needs, whether this account
// can use it, and the address the page must be opened at.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace armctl::front {

// Where the daemon finds its files (compiled in; other paths for the tests).
struct check_paths {
  const char* settings;
  const char* htpasswd;
  const char* state_dir;
  const char* controller;
};

// The server's name, port and scheme as a request would carry them; an
// empty name when the check runs without them.
struct server_identity {
  std::string_view name, port;
  bool https = false;
};

struct finding {
  bool ok;
  std::string text;
};

std::vector<finding> check_configuration(const check_paths& paths, const server_identity& server);

// One line per finding, "ok: " or "problem: "; the exit status: 0 when all
// are ok, 1 otherwise.
int print_findings(const std::vector<finding>& findings, std::FILE* out);

}  // namespace armctl::front
