#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvane {

// A random (version 4) UUID held as 16 bytes, so records stay plain values
// without a framework type inside them.
struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    static Uuid create();
    // Accepts the 36-character 8-4-4-4-12 form in either case; nothing else.
    static std::optional<Uuid> fromString(std::string_view text);
    // Upper-case hexadecimal digits, the form written to project files.
    std::string toString() const;
    bool isNull() const;

    friend auto operator<=>(const Uuid &, const Uuid &) = default;
    friend bool operator==(const Uuid &, const Uuid &) = default;
};

struct UuidHash {
    std::size_t operator()(const Uuid &u) const noexcept;
};

} // namespace korvane
