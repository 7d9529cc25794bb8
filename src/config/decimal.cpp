#include "config/decimal.h"

#include <climits>

int decimalValue(const char* text) {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;  // white space of the C locale
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    // Accumulate as a negative number so INT_MIN is reachable without overflow.
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 - (*p - '0');
        if (value < INT_MIN) value = INT_MIN;
    }
    if (negative) return static_cast<int>(value);
    return value == INT_MIN ? INT_MAX : static_cast<int>(-value);
}
