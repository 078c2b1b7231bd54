// The simulated parallel port and its log.
#include "motor/sim_port.hpp"

#include "motor/pacer.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace armctl {

sim_port::sim_port(const std::string& log_path, std::size_t held_writes)
    : log_path_(log_path), held_writes_(std::max<std::size_t>(held_writes, 1)) {
  writes_.reserve(std::min<std::size_t>(held_writes_, 1 << 16));
}

sim_port::~sim_port() {
  flush();
  if (log_fd_ >= 0) ::close(log_fd_);
}

// NOTE: the log is opened with whatever privilege the grant raised; the
// simulated build is a test double, never installed with privilege.
bool sim_port::grant() {
  if (log_fd_ < 0)
    log_fd_ =
        ::open(log_path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
  return log_fd_ >= 0;
}

bool sim_port::drop() {
  flush();
  return true;
}

void sim_port::write(std::uint8_t value) {
  writes_.emplace_back(monotonic_ns(), value);
  if (writes_.size() >= held_writes_) flush();
}

void sim_port::flush() {
  if (writes_.empty()) return;
  const int fd = log_fd_;
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
  }
  writes_.clear();
}

}  // namespace armctl
