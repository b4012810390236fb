#include "core/FixedFormat.h"

#include <cmath>
#include <cstdio>

namespace fixed_format {

char* money(char* out, double value) {
    if (value == std::trunc(value) && std::fabs(value) < 1e15 && !(value == 0.0 && std::signbit(value))) {
        char* p = rightInt(out, static_cast<int64_t>(value), 7);
        p[0] = '.';
        p[1] = '0';
        p[2] = '0';
        return p + 3;
    }
    char buffer[400];
    const int n = snprintf(buffer, sizeof buffer, "%10.2lf", value);
    memcpy(out, buffer, n);
    return out + n;
}

char* cost(char* out, double value) {
    char buffer[400];
    const int n = snprintf(buffer, sizeof buffer, "%10.3lf", value);
    memcpy(out, buffer, n);
    return out + n;
}

}  // namespace fixed_format
