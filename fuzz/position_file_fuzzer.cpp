// Fuzzes the readers of the two state files, whose content anyone who can
// write the state directory controls: the six "%d" conversions of the
// position file, and the single one the lock wait makes on the lock file.
// Both are checked against a reading of the rules of their own.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "state/position_file.hpp"
#include "state/scan.hpp"

namespace {

using armctl::scan_result;
using armctl::scanned;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

// One "%d": white space, an optional sign, the digits. `rest` is what a
// conversion leaves unread: a sign without digits is consumed, any other
// character that cannot start a number is not.
struct reading {
  scanned kind;
  std::int64_t value;
  std::size_t rest;
};

reading read_one(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size() || !is_digit(text[i])) return {scanned::no_number, 0, text.size() - i};
  std::int64_t magnitude = 0;
  bool huge = false;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > (std::int64_t{1} << 32)) {
      huge = true;
      magnitude = 0;
    }
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (huge || value < INT32_MIN || value > INT32_MAX)
    return {scanned::out_of_range, 0, text.size() - i};
  return {scanned::number, value, text.size() - i};
}

[[noreturn]] void fail(const char* what, std::string_view text) {
  std::fprintf(stderr, "%s for input \"%.*s\"\n", what, static_cast<int>(text.size()), text.data());
  std::abort();
}

void check_scan(std::string_view text) {
  std::string_view left = text;
  const scan_result got = armctl::scan_int(left);
  const reading want = read_one(text);
  if (got.kind != want.kind) fail("scan_int: wrong kind", text);
  if (got.kind == scanned::number && got.value != want.value) fail("scan_int: wrong value", text);
  if (left.size() != want.rest) fail("scan_int: consumed the wrong length", text);
  if (left.data() != text.data() + (text.size() - left.size()))
    fail("scan_int: rest is not a suffix", text);
}

// Six conversions in a row, each picking up where the last one stopped. One
// that finds no number leaves its counter as it was; what it left unread
// (anything but a sign) then fails every later one too. A number out of
// range stops them all at once.
void check_position_file(std::string_view text) {
  const armctl::counters before{11, -22, 33, -44, 55, -66};
  armctl::counters got = before, want = before;
  std::string_view rest = text;
  for (std::int32_t& counter : want) {
    const reading r = read_one(rest);
    if (r.kind == scanned::out_of_range) break;
    if (r.kind == scanned::number) counter = static_cast<std::int32_t>(r.value);
    rest.remove_prefix(rest.size() - r.rest);
  }
  armctl::parse_counters(text, got);
  if (got != want) fail("parse_counters: wrong counters", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(bytes), size);
  check_position_file(text);
  // The lock wait reads at most the first 64 bytes of the lock file.
  check_scan(text.substr(0, 64));
  check_scan(text);
  return 0;
}
