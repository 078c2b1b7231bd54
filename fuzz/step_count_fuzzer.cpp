// Fuzzes the conversion of an option's argument into a step count: any text
// a caller can put on the command line must give the saturated strtol value,
// here checked against a digit-by-digit reading of its own.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "model/commands.hpp"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// strtol with base 0, saturated to the 32-bit range, in the C locale.
std::int64_t expected_count(const char* p) {
  while (is_space(*p)) ++p;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = *p++ == '-';
  int base = 10;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(p[2]) < 16) {
    base = 16;
    p += 2;
  } else if (p[0] == '0') {
    base = 8;
  }
  constexpr std::int64_t cap = std::int64_t{1} << 40;  // far past the range
  std::int64_t magnitude = 0;
  for (; digit_value(*p) < base; ++p) magnitude = std::min(cap, magnitude * base + digit_value(*p));
  const std::int64_t value = negative ? -magnitude : magnitude;
  return std::clamp<std::int64_t>(value, INT32_MIN, INT32_MAX);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // An argument is a C string: it ends at the first NUL.
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  const std::int32_t got = armctl::step_count(text.c_str());
  const std::int64_t want = expected_count(text.c_str());
  if (got != want) {
    std::fprintf(stderr, "step_count(\"%s\") = %d, expected %lld\n", text.c_str(), got,
                 static_cast<long long>(want));
    std::abort();
  }
  return 0;
}
