// The motor bus on the parallel port's data register: byte layout, the
// write cycle, and the shoulder's hold and release.
//
//   bit:    7     6     5     4     3     2     1     0
//        phase1 phase3 addr2 addr1 phase2 phase0 addr0 strobe
//
// The driver board latches the four phase lines for the addressed motor
// when the strobe bit goes from 0 to 1, and keeps them until the next cycle
// addressed to that motor.
#pragma once

#include <array>
#include <csignal>
#include <cstdint>

#include "motor/pacer.hpp"
#include "motor/port.hpp"

namespace armctl {

// Motor number (0 to 7) to its address bits; motors 1 to 6 are wired.
inline constexpr std::array<std::uint8_t, 8> motor{0x00, 0x02, 0x10, 0x12, 0x20, 0x22, 0x30, 0x32};
// Phase (0 to 3) to its phase line.
inline constexpr std::array<std::uint8_t, 4> step{0x04, 0x80, 0x08, 0x40};

inline constexpr std::uint8_t strobe = 0x01;
inline constexpr std::uint8_t all_phases = 0xCC;
inline constexpr int shoulder_motor = 6;

constexpr std::uint8_t step_pattern(int motor_number, int phase) {
  return static_cast<std::uint8_t>(step[static_cast<std::size_t>(phase)] |
                                   motor[static_cast<std::size_t>(motor_number)]);
}
constexpr std::uint8_t release_pattern(int motor_number) {
  return static_cast<std::uint8_t>(motor[static_cast<std::size_t>(motor_number)] | all_phases);
}
inline constexpr std::uint8_t shoulder_hold = step_pattern(shoulder_motor, 0);

class bus {
 public:
  // `stop`, when given, is a flag that a termination signal raises; the
  // stepping routines look at it between steps.
  bus(port& p, std::int64_t delay_ns, const volatile std::sig_atomic_t* stop = nullptr);

  // One write cycle: the pattern, a delay, the pattern with the strobe, a delay.
  void cycle(std::uint8_t pattern);
  bool stop_requested() const { return stop_ != nullptr && *stop_ != 0; }

 private:
  port& port_;
  pacer pacer_;
  const volatile std::sig_atomic_t* stop_;
};

// Latches the shoulder's hold pattern (0x34, 0x35).
void lock_shoulder(bus& b);
// Latches the shoulder's release pattern (0xFC, 0xFD).
void unlock_shoulder(bus& b);

}  // namespace armctl
