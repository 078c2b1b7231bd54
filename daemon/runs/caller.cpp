// Reading the kernel's TCP tables for the caller's connection.
#include "daemon/runs/caller.hpp"

#include <arpa/inet.h>

#include <charconv>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace armctl::front {
namespace {

constexpr std::string_view established = "01";
constexpr const char* tables[] = {"/proc/net/tcp", "/proc/net/tcp6"};

// The IPv4-mapped IPv6 form, as a dual-stack listener sees an IPv4 client.
std::array<unsigned char, 16> mapped(const unsigned char* v4) {
  std::array<unsigned char, 16> a{};
  a[10] = a[11] = 0xff;
  std::memcpy(a.data() + 12, v4, 4);
  return a;
}

bool hex(std::string_view s, std::uint32_t& out) {
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out, 16);
  return ec == std::errc{} && end == s.data() + s.size();
}

// "ADDR:PORT" as the kernel prints it: the address as 32-bit words in the
// host's byte order (one for IPv4, four for IPv6), the port in hex.
std::optional<caller> endpoint(std::string_view field) {
  const auto colon = field.find(':');
  std::uint32_t port = 0;
  if (colon == std::string_view::npos || !hex(field.substr(colon + 1), port)) return std::nullopt;
  const std::string_view address = field.substr(0, colon);
  if (address.size() != 8 && address.size() != 32) return std::nullopt;
  unsigned char bytes[16];
  for (std::size_t w = 0; w < address.size() / 8; ++w) {
    std::uint32_t word = 0;
    if (!hex(address.substr(8 * w, 8), word)) return std::nullopt;
    std::memcpy(bytes + 4 * w, &word, 4);
  }
  caller c;
  c.port = port;
  if (address.size() == 8)
    c.address = mapped(bytes);
  else
    std::memcpy(c.address.data(), bytes, 16);
  return c;
}

// The line's fields: "sl", the local and the remote end, the state.
std::array<std::string_view, 4> first_fields(std::string_view line) {
  std::array<std::string_view, 4> f{};
  for (std::string_view& field : f) {
    const auto start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const auto end = line.find(' ');
    field = line.substr(0, end);
    line.remove_prefix(end == std::string_view::npos ? line.size() : end);
  }
  return f;
}

// Open when any line is the caller's established connection, closing when
// its lines are all in other states, other when it has none; nothing when
// neither table can be read.
std::optional<connection> look_up(const caller& c) {
  bool readable = false;
  connection found = connection::other;
  for (const char* table : tables) {
    std::ifstream in(table);
    readable = readable || in.is_open();
    for (std::string line; found != connection::open && std::getline(in, line);)
      if (const connection l = socket_line(line, c); l != connection::other) found = l;
  }
  if (!readable) return std::nullopt;
  return found;
}

}  // namespace

std::optional<caller> caller_of(std::string_view address, std::string_view port) {
  unsigned number = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (ec != std::errc{} || end != port.data() + port.size() || number == 0 || number > 65535)
    return std::nullopt;
  const std::string text(address);
  caller c;
  c.port = number;
  unsigned char v4[4];
  if (::inet_pton(AF_INET, text.c_str(), v4) == 1)
    c.address = mapped(v4);
  else if (::inet_pton(AF_INET6, text.c_str(), c.address.data()) != 1)
    return std::nullopt;
  return c;
}

connection socket_line(std::string_view line, const caller& c) {
  const auto fields = first_fields(line);
  const auto peer = endpoint(fields[2]);
  if (!peer || peer->port != c.port || peer->address != c.address) return connection::other;
  return fields[3] == established ? connection::open : connection::closing;
}

caller_watch::caller_watch(const std::optional<caller>& c) : caller_(c) {
  if (caller_) found_ = look_up(*caller_).value_or(connection::other) != connection::other;
}

// A connection found once and now closing or no longer in the tables.
bool caller_watch::gone() const {
  return found_ && look_up(*caller_).value_or(connection::open) != connection::open;
}

}  // namespace armctl::front
