#include "cli/Numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace qemcli {

bool parseCount(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 10) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    const long long number = std::stoll(text);
    if (number < low || number > high) return false;
    value = static_cast<long>(number);
    return true;
}

std::optional<int64_t> integerIn(const std::string& text, int64_t low, int64_t high) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    const size_t first = text[0] == '-' || text[0] == '+' ? 1 : 0;
    if (first == text.size()) return std::nullopt;
    for (size_t k = first; k < text.size(); ++k)
        if (text[k] < '0' || text[k] > '9') return std::nullopt;
    errno = 0;
    const long long value = strtoll(text.c_str(), nullptr, 10);
    if (errno != 0 || value < low || value > high) return std::nullopt;
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
