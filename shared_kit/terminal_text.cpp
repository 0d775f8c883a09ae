#include "terminal_text.h"

#include <cstdint>
#include <cstdio>

namespace ambrevoli {

namespace {

// The length of the valid UTF-8 sequence at the start of `text` and its code point; length 0
// when there is none (a stray continuation byte, an overlong form, a surrogate, beyond U+10FFFF,
// a sequence cut short).
std::pair<std::size_t, char32_t> decodeOne(std::string_view text)
{
    const auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(text[i]); };
    const std::uint8_t lead = byte(0);
    std::size_t length;
    char32_t point;
    char32_t least;
    if (lead < 0x80)
        return {1, lead};
    if ((lead & 0xE0) == 0xC0) {
        length = 2, point = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3, point = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4, point = lead & 0x07, least = 0x10000;
    } else {
        return {0, 0};
    }
    if (text.size() < length)
        return {0, 0};
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80)
            return {0, 0};
        point = (point << 6) | (byte(i) & 0x3F);
    }
    if (point < least || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
        return {0, 0};
    return {length, point};
}

void appendHex(std::string& out, const char* format, unsigned value)
{
    char escape[8];
    std::snprintf(escape, sizeof escape, format, value);
    out += escape;
}

} // namespace

std::string terminalSafe(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const auto [length, point] = decodeOne(text);
        if (length == 0) {
            appendHex(out, "\\x%02X", static_cast<std::uint8_t>(text[0]));
            text.remove_prefix(1);
            continue;
        }
        switch (point) {
        case U'\\': out += "\\\\"; break;
        case U'\t': out += "\\t"; break;
        case U'\n': out += "\\n"; break;
        case U'\r': out += "\\r"; break;
        default:
            if (point < 0x20 || point == 0x7F)
                appendHex(out, "\\x%02X", unsigned(point));
            else if (point >= 0x80 && point <= 0x9F)
                appendHex(out, "\\u%04X", unsigned(point));
            else
                out.append(text.substr(0, length));
        }
        text.remove_prefix(length);
    }
    return out;
}

} // namespace ambrevoli
