// The simulated parallel port and its log.
#include "motor/sim_port.hpp"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace armctl {

sim_port::sim_port(std::string log_path, std::size_t held_writes)
    : log_path_(std::move(log_path)), held_writes_(std::max<std::size_t>(held_writes, 1)) {
  writes_.reserve(std::min<std::size_t>(held_writes_, 1 << 16));
}

sim_port::~sim_port() { flush(); }

bool sim_port::drop() {
  flush();
  return true;
}

void sim_port::write(std::uint8_t value) {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  writes_.emplace_back(static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec, value);
  if (writes_.size() >= held_writes_) flush();
}

void sim_port::flush() {
  if (writes_.empty()) return;
  const int fd =
      ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd >= 0) {
    std::string text;
    text.reserve(writes_.size() * 24);
    char line[48];
    for (const auto& [when, value] : writes_) {
      const int len = std::snprintf(line, sizeof line, "%lld 0x%02x\n", when, value);
      text.append(line, static_cast<std::size_t>(len));
    }
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t put = ::write(fd, text.data() + done, text.size() - done);
      if (put <= 0) break;
      done += static_cast<std::size_t>(put);
    }
    ::close(fd);
  }
  writes_.clear();
}

}  // namespace armctl
