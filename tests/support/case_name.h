// Readable names for parameterised cases built from numbers: test names may
// hold letters, digits and underscores only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kvx::test {

inline std::string numberName(std::int64_t value) {
    return value < 0 ? "Minus" + std::to_string(-value) : std::to_string(value);
}

inline std::string hexName(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace kvx::test
