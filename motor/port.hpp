// The one seam between the controller and the hardware: grant and drop
// access to the parallel port's data register, and write a byte to it.
#pragma once

#include <cstdint>
#include <memory>

namespace armctl {

// The first parallel port: data register at 888 (0x378), granted and dropped
// together with its status and control registers.
inline constexpr unsigned port_base = 0x378;
inline constexpr unsigned port_count = 3;

class port {
 public:
  virtual ~port() = default;
  // Each returns false (errno set) when access cannot be granted or dropped.
  virtual bool grant() = 0;
  virtual bool drop() = 0;
  virtual void write(std::uint8_t value) = 0;
};

// The backend this executable was built with; `state_dir` is where the
// simulated port keeps its log.
std::unique_ptr<port> make_port(const char* state_dir);

}  // namespace armctl
