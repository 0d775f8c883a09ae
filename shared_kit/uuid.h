#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ambrevoli {

// A 128-bit identifier. As text always the 36-character hyphenated form (8-4-4-4-12) with
// upper-case hexadecimal digits; read in either case.
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    // The nil identifier (all zero).
    constexpr Uuid() = default;
    constexpr explicit Uuid(const Bytes& bytes) : m_bytes(bytes) {}

    // A fresh random (version 4) identifier.
    static Uuid random();

    // Parses exactly 36 characters: hexadecimal digits of either case, hyphens at positions
    // 8, 13, 18 and 23. Anything else yields no value.
    static std::optional<Uuid> parse(std::string_view text);

    // The canonical text: 36 characters, upper case.
    std::string text() const;

    const Bytes& bytes() const { return m_bytes; }

    friend bool operator==(const Uuid& a, const Uuid& b) { return a.m_bytes == b.m_bytes; }
    friend bool operator<(const Uuid& a, const Uuid& b) { return a.m_bytes < b.m_bytes; }

private:
    Bytes m_bytes{};
};

} // namespace ambrevoli

template <> struct std::hash<ambrevoli::Uuid> {
    std::size_t operator()(const ambrevoli::Uuid& id) const noexcept;
};
