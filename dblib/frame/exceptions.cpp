#include "frame/exceptions.h"

#include <cstdio>
#include <cstring>

namespace kdm {

std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int n = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof small)
        return std::string(small, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n), '\0');
    std::vsnprintf(out.data(), out.size() + 1, format, args);
    return out;
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string out = VFormat(format, args);
    va_end(args);
    return out;
}

EException::EException(const char* message, int32_t number1, int32_t number2)
    : m_number1(number1), m_number2(number2) {
    if (message == nullptr)
        message = "";
    size_t n = std::strlen(message);
    if (n >= kMessageCapacity)
        n = kMessageCapacity - 1;
    std::memcpy(m_message, message, n);
    m_message[n] = '\0';
}

} // namespace kdm
