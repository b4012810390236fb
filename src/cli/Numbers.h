#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace qemcli {

// The numbers of the command lines, each in full or not at all.

// Decimal digits only (no sign, at most 10 of them) with a value from low to
// high; the value in `value`.
bool parseCount(const std::string& text, long low, long high, long& value);

// A whole decimal number, with an optional sign, from low to high.
std::optional<int64_t> integerIn(const std::string& text, int64_t low, int64_t high);

// A decimal number (digits, a point, an exponent) from low to high.
std::optional<double> numberIn(const std::string& text, double low, double high);

}  // namespace qemcli
