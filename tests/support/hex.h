#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::test {

// "FF FF 49 4E" -> bytes; anything but hex digits is ignored.
inline std::vector<std::uint8_t> hex(std::string_view text)
{
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c)))
            digits += c;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(digits.substr(i, 2), nullptr, 16)));
    return out;
}

inline std::string toHex(const std::vector<std::uint8_t> &bytes)
{
    std::string out;
    char buf[4];
    for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, out.empty() ? "%02X" : " %02X", b);
        out += buf;
    }
    return out;
}

// F0, size - 2 data bytes counting 0..7F over and over, F7 (at least F0 F7).
inline std::vector<std::uint8_t> sysexOf(std::size_t size)
{
    std::vector<std::uint8_t> sysex(std::max<std::size_t>(size, 2));
    for (std::size_t i = 0; i < sysex.size(); ++i)
        sysex[i] = static_cast<std::uint8_t>(i % 0x80);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    return sysex;
}

} // namespace korvane::test
