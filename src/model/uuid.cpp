#include "model/uuid.h"

#include <random>

namespace korvane {

Uuid Uuid::create()
{
    // One generator per thread, seeded from the system's entropy source.
    thread_local std::mt19937_64 gen{[] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }()};
    Uuid u;
    for (int i = 0; i < 16; i += 8) {
        std::uint64_t v = gen();
        for (int j = 0; j < 8; ++j)
            u.bytes[static_cast<std::size_t>(i + j)] = static_cast<std::uint8_t>(v >> (8 * j));
    }
    u.bytes[6] = static_cast<std::uint8_t>((u.bytes[6] & 0x0F) | 0x40); // version 4
    u.bytes[8] = static_cast<std::uint8_t>((u.bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return u;
}

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isDashPosition(std::size_t i)
{
    return i == 8 || i == 13 || i == 18 || i == 23;
}

} // namespace

std::optional<Uuid> Uuid::fromString(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    Uuid u;
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isDashPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]);
        int lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0 || isDashPosition(i + 1))
            return std::nullopt;
        u.bytes[out++] = static_cast<std::uint8_t>(hi * 16 + lo);
        i += 2;
    }
    return u;
}

std::string Uuid::toString() const
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            s.push_back('-');
        s.push_back(digits[bytes[i] >> 4]);
        s.push_back(digits[bytes[i] & 0x0F]);
    }
    return s;
}

bool Uuid::isNull() const
{
    for (auto b : bytes)
        if (b != 0)
            return false;
    return true;
}

std::size_t UuidHash::operator()(const Uuid &u) const noexcept
{
    std::uint64_t h = 1469598103934665603ull; // FNV-1a
    for (auto b : u.bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
}

} // namespace korvane
