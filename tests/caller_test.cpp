// The request's caller in the kernel's TCP tables: one table of lines as an
// x86 kernel prints them, and a real loopback connection that is closed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "daemon/runs/caller.hpp"

namespace armctl::front {
namespace {

struct line_case {
  const char* line;
  const char* address;  // REMOTE_ADDR
  const char* port;     // REMOTE_PORT
  connection expected;
};

// 127.0.0.1:50000 is 0100007F:C350; ::1 and ::ffff:127.0.0.1 are four words each.
const line_case line_cases[] = {
    {"   3: 0100007F:20FB 0100007F:C350 01 00000000:00000000 00:00000000 00000000    33",
     "127.0.0.1", "50000", connection::open},
    {"   3: 0100007F:20FB 0100007F:C350 08 00000000:00000000 00:00000000 00000000    33",
     "127.0.0.1", "50000", connection::closing},
    {"   3: 0100007F:20FB 0100007F:C351 01 00000000:00000000", "127.0.0.1", "50000",
     connection::other},
    {"   3: 0100007F:20FB 0200007F:C350 01 00000000:00000000", "127.0.0.1", "50000",
     connection::other},
    {"   0: 00000000000000000000000000000000:20FB 0000000000000000FFFF00000100007F:C350 01",
     "127.0.0.1", "50000", connection::open},
    {"   0: 00000000000000000000000001000000:20FB 00000000000000000000000001000000:C350 06", "::1",
     "50000", connection::closing},
    {"   0: 00000000000000000000000001000000:20FB 00000000000000000000000001000000:C350 01",
     "127.0.0.1", "50000", connection::other},
    {"  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt", "127.0.0.1",
     "50000", connection::other},
    {"   0: 0100007F:20FB 00000000:0000 0A 00000000:00000000", "0.0.0.0", "50000",
     connection::other},
};

TEST(Caller, EachTableLineIsTheCallersOnlyByItsRemoteEnd) {
  for (const line_case& t : line_cases) {
    const auto c = caller_of(t.address, t.port);
    ASSERT_TRUE(c) << t.address;
    EXPECT_EQ(socket_line(t.line, *c), t.expected) << t.line << " for " << t.address;
  }
}

TEST(Caller, NoCallerWithoutAnAddressAndAPort) {
  for (const auto& [address, port] : {std::pair{"127.0.0.1", ""},
                                      {"127.0.0.1", "0"},
                                      {"127.0.0.1", "65536"},
                                      {"127.0.0.1", "80x"},
                                      {"arm.local", "80"},
                                      {"", "80"}})
    EXPECT_FALSE(caller_of(address, port)) << address << " port " << port;
}

// A client connected on the loopback, then closed: the server's end stays
// open (as the web server's does while the CGI runs) and turns CLOSE_WAIT.
TEST(Caller, GoneOnceTheClientClosesItsConnection) {
  const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof at;
  ASSERT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(::listen(server, 1), 0);
  ASSERT_EQ(::getsockname(server, reinterpret_cast<sockaddr*>(&at), &size), 0);
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  const int accepted = ::accept(server, nullptr, nullptr);
  sockaddr_in mine{};
  size = sizeof mine;
  ASSERT_EQ(::getsockname(client, reinterpret_cast<sockaddr*>(&mine), &size), 0);

  const caller_watch watch(caller_of("127.0.0.1", std::to_string(ntohs(mine.sin_port))));
  EXPECT_FALSE(watch.gone());
  ::close(client);
  pollfd p{accepted, POLLRDHUP, 0};
  ASSERT_EQ(::poll(&p, 1, 5000), 1);  // the client's FIN has arrived
  EXPECT_TRUE(watch.gone());
  EXPECT_FALSE(caller_watch(std::nullopt).gone());
  ::close(accepted);
  ::close(server);
}

}  // namespace
}  // namespace armctl::front
