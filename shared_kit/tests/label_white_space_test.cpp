#include "destination.h"

#include <gtest/gtest.h>

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <string>

namespace ambrevoli {
namespace {

bool isWhiteSpaceForIcu(UChar32 c)
{
    if ((c >= 0x09 && c <= 0x0D) || c == 0x85)
        return true;
    const auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

// The kit spells its white space out instead of asking a Unicode library: every scalar value
// must be trimmed from both ends exactly when ICU puts it among the separators or the controls
// that break lines.
TEST(LabelWhiteSpaceTest, TrimsExactlyWhatIcuCallsWhiteSpace)
{
    for (UChar32 c = 0; c <= 0x10FFFF; ++c) {
        if (U_IS_SURROGATE(c))
            continue;
        char bytes[U8_MAX_LENGTH];
        std::int32_t length = 0;
        U8_APPEND_UNSAFE(bytes, length, c);
        const std::string character(bytes, static_cast<std::size_t>(length));
        const std::string text = character + "x" + character;
        const std::string expected = isWhiteSpaceForIcu(c) ? "x" : text;
        ASSERT_EQ(trimmedLabel(text), expected) << std::hex << "U+" << c;
    }
}

} // namespace
} // namespace ambrevoli
