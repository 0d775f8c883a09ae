#include "uuid.h"

#include <uuid/uuid.h>

#include <cstring>

namespace ambrevoli {

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

bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

} // namespace

Uuid Uuid::random()
{
    uuid_t raw;
    uuid_generate_random(raw);
    Bytes bytes;
    std::memcpy(bytes.data(), raw, bytes.size());
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    Bytes bytes{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        int value = hexValue(text[i]);
        if (value < 0)
            return std::nullopt;
        bytes[nibble / 2] |= static_cast<std::uint8_t>(nibble % 2 == 0 ? value << 4 : value);
        ++nibble;
    }
    return Uuid(bytes);
}

std::string Uuid::text() const
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < m_bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += digits[m_bytes[i] >> 4];
        out += digits[m_bytes[i] & 0xF];
    }
    return out;
}

} // namespace ambrevoli

std::size_t std::hash<ambrevoli::Uuid>::operator()(const ambrevoli::Uuid& id) const noexcept
{
    // The bytes are random already; folding them is a fine hash.
    std::uint64_t a, b;
    std::memcpy(&a, id.bytes().data(), 8);
    std::memcpy(&b, id.bytes().data() + 8, 8);
    return static_cast<std::size_t>(a ^ (b * 0x9E3779B97F4A7C15ull));
}
