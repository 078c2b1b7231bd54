// Parsing port.log and replaying its writes on a model of the driver board.
#include "tools/port_trace.hpp"

#include <charconv>
#include <cstdio>
#include <optional>

namespace armctl::trace {
namespace {

constexpr std::uint8_t strobe_bit = 0x01;
constexpr std::uint8_t phase_lines = 0xCC;
// Phase line to phase index; the lines are bits 2, 7, 3 and 6.
constexpr std::array<std::uint8_t, 4> phase_line{0x04, 0x80, 0x08, 0x40};
// How far the phase index moved (mod 4) to what the cycle counts as; two
// phases at once is a jump that no move makes.
constexpr std::array<long motor_summary::*, 4> phase_change{
    &motor_summary::holds, &motor_summary::forward, nullptr, &motor_summary::backward};

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "<decimal ns> 0x<two hex digits>", nothing more.
std::optional<write_record> parse_line(std::string_view line) {
  const std::size_t space = line.find(' ');
  if (space == 0 || space == std::string_view::npos) return std::nullopt;
  long long ns = 0;
  const char* first = line.data();
  const char* last = line.data() + space;
  if (*first < '0' || *first > '9') return std::nullopt;
  const auto [end, ec] = std::from_chars(first, last, ns);
  if (ec != std::errc{} || end != last) return std::nullopt;
  const std::string_view byte = line.substr(space + 1);
  if (byte.size() != 4 || byte[0] != '0' || (byte[1] != 'x' && byte[1] != 'X')) return std::nullopt;
  const int hi = hex_digit(byte[2]), lo = hex_digit(byte[3]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return write_record{ns, static_cast<std::uint8_t>(hi * 16 + lo)};
}

std::string hex(std::uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", b);
  return text;
}

int phase_of(std::uint8_t lines) {
  for (int p = 0; p < 4; ++p)
    if (lines == phase_line[static_cast<std::size_t>(p)]) return p;
  return -1;
}

int count_lines(std::uint8_t lines) {
  int n = 0;
  for (const std::uint8_t line : phase_line) n += (lines & line) != 0;
  return n;
}

// The board: per motor the phase index it was last moved to.
class board {
 public:
  explicit board(decoded& out) : out_(out) {}

  void latch(std::uint8_t pattern, std::size_t write_no) {
    const int m = motor_of(pattern);
    if (m == 0 || m == 7) fault(write_no, pattern, "motor " + std::to_string(m) + " addressed");
    motor_summary& s = out_.motors[static_cast<std::size_t>(m)];
    int& current = phase_[static_cast<std::size_t>(m)];
    s.last_pattern = pattern;
    const auto lines = static_cast<std::uint8_t>(pattern & phase_lines);
    if (lines == phase_lines) {
      ++s.releases;
      current = 0;
      return;
    }
    const int next = phase_of(lines);
    if (next < 0) {
      fault(write_no, pattern,
            std::to_string(count_lines(lines)) + " phase lines on motor " + std::to_string(m));
      return;
    }
    long motor_summary::*const counter =
        phase_change[static_cast<std::size_t>((next - current + 4) % 4)];
    if (counter)
      ++(s.*counter);
    else
      fault(write_no, pattern,
            "illegal phase jump on motor " + std::to_string(m) + " from phase " +
                std::to_string(current) + " to " + std::to_string(next));
    current = next;
  }

  void fault(std::size_t write_no, std::uint8_t byte, const std::string& what) {
    out_.faults.push_back("write " + std::to_string(write_no) + " (" + hex(byte) + "): " + what);
  }

 private:
  decoded& out_;
  std::array<int, 8> phase_{};
};

}  // namespace

bool parse_log(std::string_view text, std::vector<write_record>& out, std::size_t* bad_line) {
  std::size_t line_no = 0;
  while (!text.empty()) {
    ++line_no;
    const std::size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    const auto record = parse_line(line);
    if (!record) {
      if (bad_line) *bad_line = line_no;
      return false;
    }
    out.push_back(*record);
  }
  return true;
}

// A write with the strobe set while a cycle's first write is expected is
// skipped; a missing strobe write leaves the pending write unlatched and
// starts a new cycle. A strobe write that differs from its first write in
// other bits latches what it carries, as the board would.
decoded decode(const std::vector<write_record>& writes) {
  decoded out;
  out.writes = writes.size();
  board b(out);
  std::optional<std::uint8_t> pending;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    const std::uint8_t byte = writes[i].byte;
    const std::size_t write_no = i + 1;
    const bool strobed = (byte & strobe_bit) != 0;
    if (!pending) {
      if (strobed)
        b.fault(write_no, byte, "strobe set on the first write of a cycle");
      else
        pending = byte;
      continue;
    }
    if (!strobed) {
      b.fault(write_no, byte, "strobe not set on the second write of a cycle");
      pending = byte;
      continue;
    }
    if ((byte ^ *pending) != strobe_bit)
      b.fault(write_no, byte,
              "differs from the first write of its cycle (" + hex(*pending) +
                  ") in more than the strobe");
    ++out.cycles;
    b.latch(static_cast<std::uint8_t>(byte & ~strobe_bit), write_no);
    pending.reset();
  }
  if (pending) b.fault(writes.size(), *pending, "cycle left without its strobe write");
  return out;
}

}  // namespace armctl::trace
