#include "diag/log_level.h"

#include <limits>

namespace {

// isspace in the C locale, which the plug-in never changes from.
bool is_blank(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// As strtol does: the magnitude is gathered until it passes what long can
// hold, then stays at the bound of the number's sign.
long saturated_long(const char* digits, size_t count, bool negative)
{
    using Limits = std::numeric_limits<long>;
    const unsigned long bound = negative ? static_cast<unsigned long>(Limits::max()) + 1u
                                         : static_cast<unsigned long>(Limits::max());
    unsigned long magnitude = 0;
    for (size_t i = 0; i < count; ++i) {
        const unsigned long digit = static_cast<unsigned long>(digits[i] - '0');
        if (magnitude > (bound - digit) / 10u) {
            return negative ? Limits::min() : Limits::max();
        }
        magnitude = magnitude * 10u + digit;
    }
    if (!negative) {
        return static_cast<long>(magnitude);
    }
    // -(LONG_MAX + 1) is LONG_MIN, which no positive long can be negated into.
    return magnitude == 0 ? 0 : -static_cast<long>(magnitude - 1u) - 1;
}

}  // namespace

int32_t level_from_prefix(const char* bytes, size_t count)
{
    size_t at = 0;
    while (at < count && is_blank(bytes[at])) {
        ++at;
    }
    bool negative = false;
    if (at < count && (bytes[at] == '+' || bytes[at] == '-')) {
        negative = bytes[at] == '-';
        ++at;
    }
    const size_t first_digit = at;
    while (at < count && is_digit(bytes[at])) {
        ++at;
    }
    // The token reaches the end of what was read and the read was full: the
    // file goes on, and so may the digits (or the blanks before them).
    if (at == count && count >= LEVEL_READ_BYTES) {
        return LEVEL_WITHOUT_INTEGER;
    }
    if (at == first_digit) {
        return LEVEL_WITHOUT_INTEGER;
    }
    // The library stores the long it converted into an int: the low 32 bits,
    // two's complement.
    const long value = saturated_long(bytes + first_digit, at - first_digit, negative);
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long>(value)));
}
