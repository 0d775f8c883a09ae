#include "destination.h"

#include "paths.h"
#include "user_dirs.h"

#include <algorithm>
#include <array>

namespace ambrevoli {

namespace {

bool isVolumeTrash(std::string_view component)
{
    constexpr std::string_view prefix = ".Trash-";
    if (!component.starts_with(prefix) || component.size() == prefix.size())
        return false;
    component.remove_prefix(prefix.size());
    return std::ranges::all_of(component, [](char c) { return c >= '0' && c <= '9'; });
}

// White space and line breaks as UTF-8: U+0009 to U+000D, U+0085 and every code point of the
// classes Zs, Zl and Zp. That set has not changed since Unicode 6.3 (when U+180E left Zs), and a
// test holds it against ICU's classes; spelling it out spares every program that links the kit
// loading a Unicode library at start.
// clang-format off
constexpr std::array<std::string_view, 25> whiteSpace{
    "\x09", "\x0A", "\x0B", "\x0C", "\x0D", "\x20",                 // tab to carriage return, space
    "\xC2\x85", "\xC2\xA0", "\xE1\x9A\x80",                         // U+0085, U+00A0, U+1680
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", // U+2000 to U+200A
    "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87",
    "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",
    "\xE2\x80\xA8", "\xE2\x80\xA9",                                 // U+2028, U+2029
    "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80",                 // U+202F, U+205F, U+3000
};
// clang-format on

// The length of the white space that `text` starts (or ends) with, 0 when none. UTF-8 is
// self-synchronising, so a complete encoding at either end is that character whatever comes
// before or after it, and broken sequences never match.
std::size_t leadingSpace(std::string_view text)
{
    for (std::string_view space : whiteSpace)
        if (text.starts_with(space))
            return space.size();
    return 0;
}

std::size_t trailingSpace(std::string_view text)
{
    for (std::string_view space : whiteSpace)
        if (text.ends_with(space))
            return space.size();
    return 0;
}

} // namespace

bool Destination::isInTrash(std::string_view path)
{
    std::string_view rest = path;
    while (!rest.empty()) {
        const auto slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        if (component == ".Trash" || component == ".Trashes" || isVolumeTrash(component))
            return true;
        if (slash == std::string_view::npos)
            break;
        rest.remove_prefix(slash + 1);
    }
    if (const auto data = dataHome()) {
        const std::string homeTrash = joinPath(*data, "Trash");
        return isWithin(path, homeTrash);
    }
    return false;
}

std::string trimmedLabel(std::string_view text)
{
    while (const std::size_t n = leadingSpace(text))
        text.remove_prefix(n);
    while (const std::size_t n = trailingSpace(text))
        text.remove_suffix(n);
    return std::string(text);
}

std::string LabelDraft::label(std::string_view typed) const
{
    if (trimmedLabel(typed).empty())
        return original;
    return std::string(typed);
}

} // namespace ambrevoli
