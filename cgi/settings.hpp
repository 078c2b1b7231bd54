// The CGI's own settings file: suEXEC hands a CGI only its safe list of
// variables, so what the server's configuration used to set lives here.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

namespace armctl::cgi {

struct front_settings {
  std::chrono::milliseconds lock_wait{10000};  // key wait_ms
  std::vector<std::string>
      origins;  // key origins: space-separated list, e.g. "http://arm.local https://arm.local"
  std::size_t max_waiting = 8;          // key max_waiting
  std::chrono::seconds max_motion{60};  // key max_motion_s
};

// Reads `path`: lines "key = value", '#' comments and blank lines ignored; an unknown key,
// a bad value or an unreadable file keeps the defaults for what it could not read.
front_settings load_settings(const char* path);

}  // namespace armctl::cgi
