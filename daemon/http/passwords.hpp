// The password file of the operators (htpasswd's "user:hash" lines), read by
// the login check and by the administrator's configuration check.
#pragma once

#include <string>
#include <vector>

namespace armctl::front {

// Longer password files are read no further: no set of operators needs more.
inline constexpr std::size_t max_password_lines = 10000;

struct password_entry {
  std::string user, hash;
};

// The file's lines that hold a ':', in order; `error` is the errno of the
// open or read that failed (0: the whole file was read).
struct password_file {
  std::vector<password_entry> entries;
  int error = 0;
};

password_file read_password_file(const char* path);

// The entries that can log in: a user and a hash.
std::size_t operator_count(const password_file& f);

}  // namespace armctl::front
