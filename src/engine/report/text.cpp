#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace velk::text {

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    std::string out(static_cast<size_t>(length > 0 ? length : 0), '\0');
    std::vsnprintf(out.data(), out.size() + 1, fmt, again);
    va_end(again);
    return out;
}

std::string address(uint64_t value) {
    return format("0x%08llX", static_cast<unsigned long long>(value));
}

std::string number(uint64_t value) {
    return format("0x%llX", static_cast<unsigned long long>(value));
}

std::string hex(const uint8_t* bytes, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(2 * size);
    for (size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

}  // namespace velk::text
