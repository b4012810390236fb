#include "cli/Numbers.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace qemcli {

bool parseCount(const std::string& text, long low, long high, long& value) {
    if (text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    const std::optional<int64_t> number = integerIn(text, low, high);
    if (!number) return false;
    value = static_cast<long>(*number);
    return true;
}

std::optional<int64_t> integerIn(const std::string& text, int64_t low, int64_t high) {
    // from_chars takes a minus sign but no plus sign.
    const char* begin = text.data() + (text.starts_with('+') && !text.starts_with("+-") ? 1 : 0);
    const char* const end = text.data() + text.size();
    int64_t value = 0;
    const auto [stop, error] = std::from_chars(begin, end, value);
    if (error != std::errc() || stop != end || value < low || value > high) return std::nullopt;
    return value;
}

std::optional<double> numberIn(const std::string& text, double low, double high) {
    if (text.empty() || text.find_first_not_of("+-.0123456789eE") != std::string::npos) return std::nullopt;
    char* end = nullptr;
    const double value = strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(value) || value < low || value > high) return std::nullopt;
    return value;
}

}  // namespace qemcli
