// The request's caller as the CGI can see it: the client's TCP connection to
// the server, found in the kernel's socket tables by the client's address and
// port. The server does not tell a waiting CGI that its client left.
#pragma once

#include <array>
#include <optional>
#include <string_view>

namespace armctl::front {

struct caller {
  std::array<unsigned char, 16> address{};  // IPv6; IPv4 as ::ffff:a.b.c.d
  unsigned port = 0;
};

// From REMOTE_ADDR and REMOTE_PORT; nothing when either is not an address.
std::optional<caller> caller_of(std::string_view address, std::string_view port);

enum class connection { other, open, closing };
// One line of /proc/net/tcp or /proc/net/tcp6: another socket's, or the
// caller's connection still established (open) or in any other state.
connection socket_line(std::string_view line, const caller& c);

// Whether the caller went away: its connection, found in the tables when
// the watch began, is no longer established there. Where it was not found
// (a proxy's address, another network namespace) nothing is known, and the
// caller is never taken for gone.
class caller_watch {
 public:
  explicit caller_watch(const std::optional<caller>& c);
  bool gone() const;

 private:
  std::optional<caller> caller_;
  bool found_ = false;
};

}  // namespace armctl::front
