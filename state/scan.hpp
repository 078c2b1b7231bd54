// Reading decimal integers from the state files the way a "%d" conversion
// does, but with a defined result for numbers outside the 32-bit range.
#pragma once

#include <cstdint>
#include <string_view>

namespace armctl {

enum class scanned { number, no_number, out_of_range };

struct scan_result {
  scanned kind;
  std::int32_t value;  // meaningful only for scanned::number
};

// Skips white space, takes an optional sign and the digits after it, and
// advances `text` past what it consumed. As with "%d", a sign that no digit
// follows is consumed and the conversion fails; any other character that
// cannot start a number is left in place.
scan_result scan_int(std::string_view& text);

}  // namespace armctl
