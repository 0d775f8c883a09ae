#include "terminal_text.h"

#include "json_text.h"

#include <cstdint>
#include <cstdio>

namespace ambrevoli {

namespace {

// The length of the UTF-8 sequence `lead` begins; 0 for a byte that begins none.
std::size_t sequenceLength(std::uint8_t lead)
{
    if (lead < 0x80)
        return 1;
    if ((lead & 0xE0) == 0xC0)
        return 2;
    if ((lead & 0xF0) == 0xE0)
        return 3;
    return (lead & 0xF8) == 0xF0 ? 4 : 0;
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
        const auto lead = static_cast<std::uint8_t>(text[0]);
        const std::size_t length = sequenceLength(lead);
        if (length == 0 || length > text.size() || !isValidUtf8(text.substr(0, length))) {
            appendHex(out, "\\x%02X", lead);
            text.remove_prefix(1);
            continue;
        }
        const auto second = length > 1 ? static_cast<std::uint8_t>(text[1]) : 0;
        if (length == 2 && lead == 0xC2 && second <= 0x9F) {
            // U+0080–U+009F: the C1 controls, CSI among them.
            appendHex(out, "\\u%04X", second);
        } else if (length > 1) {
            out.append(text.substr(0, length));
        } else if (lead == '\\') {
            out += "\\\\";
        } else if (lead == '\t') {
            out += "\\t";
        } else if (lead == '\n') {
            out += "\\n";
        } else if (lead == '\r') {
            out += "\\r";
        } else if (lead < 0x20 || lead == 0x7F) {
            appendHex(out, "\\x%02X", lead);
        } else {
            out += char(lead);
        }
        text.remove_prefix(length);
    }
    return out;
}

} // namespace ambrevoli
