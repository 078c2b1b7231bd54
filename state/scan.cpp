// Integer scanning for the lock file and the position file.
#include "state/scan.hpp"

namespace armctl {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

scan_result scan_int(std::string_view& text) {
  while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || !is_digit(text.front())) return {scanned::no_number, 0};

  // Accumulate the magnitude in 64 bits, saturating far above the 32-bit range.
  constexpr std::int64_t cap = std::int64_t{1} << 40;
  std::int64_t magnitude = 0;
  while (!text.empty() && is_digit(text.front())) {
    if (magnitude < cap) magnitude = magnitude * 10 + (text.front() - '0');
    text.remove_prefix(1);
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return {scanned::out_of_range, 0};
  return {scanned::number, static_cast<std::int32_t>(value)};
}

}  // namespace armctl
