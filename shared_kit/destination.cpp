#include "destination.h"

#include "paths.h"
#include "user_dirs.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>

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

bool isSpaceOrLineBreak(UChar32 c)
{
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85)
        return true;
    switch (u_charType(c)) {
    case U_SPACE_SEPARATOR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR: return true;
    default: return false;
    }
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
    // ICU's iteration macros count in 32 bits, so each end is scanned within a window of at most
    // INT32_MAX bytes: only a run of white space longer than that would be left partly in place.
    constexpr std::size_t window = INT32_MAX;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());

    std::size_t start = 0;
    const auto headLength = static_cast<std::int32_t>(std::min(text.size(), window));
    for (std::int32_t i = 0; i < headLength;) {
        UChar32 c;
        U8_NEXT(bytes, i, headLength, c);
        if (c < 0 || !isSpaceOrLineBreak(c))
            break;
        start = static_cast<std::size_t>(i);
    }

    std::size_t end = text.size();
    const std::size_t tailOffset = std::max(start, text.size() - std::min(text.size(), window));
    const auto* tail = bytes + tailOffset;
    for (auto i = static_cast<std::int32_t>(text.size() - tailOffset); i > 0;) {
        UChar32 c;
        U8_PREV(tail, 0, i, c);
        if (c < 0 || !isSpaceOrLineBreak(c))
            break;
        end = tailOffset + static_cast<std::size_t>(i);
    }
    return std::string(text.substr(start, end - start));
}

std::string LabelDraft::label(std::string_view typed) const
{
    if (trimmedLabel(typed).empty())
        return original;
    return std::string(typed);
}

} // namespace ambrevoli
