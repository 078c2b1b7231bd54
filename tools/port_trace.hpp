// Reading a port log of the simulated controller back into what the motors
// were told: the oracle of the end-to-end tests and the core of armctl-trace.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace armctl::trace {

// One line of port.log: when the byte reached the port, and the byte.
struct write_record {
  long long ns;
  std::uint8_t byte;
};

// Parses "<ns> 0x<hh>\n" lines (the last newline may be missing) and appends
// them to `out`. Returns false at the first malformed line, whose 1-based
// number goes to *bad_line if given; the lines before it are kept.
bool parse_log(std::string_view text, std::vector<write_record>& out,
               std::size_t* bad_line = nullptr);

struct motor_summary {
  long forward = 0;       // steps to the next phase
  long backward = 0;      // steps to the previous phase
  long releases = 0;      // cycles with all four phase lines
  long holds = 0;         // cycles that latched the phase already held
  int last_pattern = -1;  // last latched pattern, strobe bit clear; -1 if none
};

struct decoded {
  std::array<motor_summary, 8> motors{};  // by motor number 0..7
  std::size_t writes = 0, cycles = 0;
  std::vector<std::string> faults;  // one line each, naming the write
};

// Replays the writes on a model of the driver board: a cycle is a write with
// the strobe bit clear followed by the same byte with it set, and latches
// its phase lines for the addressed motor. Each motor's phase index starts
// at 0 and returns to 0 at every release, as every move starts from phase 0.
decoded decode(const std::vector<write_record>& writes);

// The motor number that a pattern addresses (bits 1, 4 and 5).
constexpr int motor_of(std::uint8_t byte) {
  return ((byte >> 1) & 1) | ((byte >> 3) & 2) | ((byte >> 3) & 4);
}

}  // namespace armctl::trace
