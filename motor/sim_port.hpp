// A parallel port that only records: every write becomes a line
// "<CLOCK_MONOTONIC ns> 0x<byte>" of the state directory's port.log.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "motor/port.hpp"

namespace armctl {

inline constexpr const char* port_log_name = "port.log";

class sim_port final : public port {
 public:
  // At most `held_writes` lines wait in memory: a long move without delays
  // would otherwise exhaust it. At the default delay that many writes take
  // over an hour of motion, so an early append disturbs the timing rarely.
  explicit sim_port(const std::string& log_path, std::size_t held_writes = std::size_t{1} << 22);
  ~sim_port() override;
  sim_port(const sim_port&) = delete;
  sim_port& operator=(const sim_port&) = delete;

  // Opens the log; fails, as ioperm does, when it cannot: a grant it cannot
  // honour would let the motors "move" with no record of it.
  bool grant() override;
  bool drop() override;
  void write(std::uint8_t value) override;

  // Appends the writes recorded so far to the log and forgets them. Lines are
  // kept in memory until then so that file I/O never delays a write.
  void flush();

 private:
  std::string log_path_;
  std::size_t held_writes_;
  int log_fd_ = -1;
  std::vector<std::pair<long long, std::uint8_t>> writes_;
};

}  // namespace armctl
