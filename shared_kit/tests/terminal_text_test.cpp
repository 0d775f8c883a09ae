#include "terminal_text.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

TEST(TerminalTextTest, EscapesWhatATerminalWouldObey)
{
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"", ""},
        {"/home/me/Drop/photo 2.jpg", "/home/me/Drop/photo 2.jpg"},
        {"Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x93\x81",
         "Gr\xC3\xBC\xC3\x9F"
         "e \xE2\x82\xAC \xF0\x9F\x93\x81"},
        // Window title, screen clear, a line overwritten, a bell.
        {"a\x1B]0;owned\x07"
         "b",
         "a\\x1B]0;owned\\x07b"},
        {"\x1B[2J", "\\x1B[2J"},
        {"fake\rreal", "fake\\rreal"},
        {"one\ntwo\tthree", "one\\ntwo\\tthree"},
        {std::string_view("nul\0here", 8), "nul\\x00here"},
        {"del\x7F", "del\\x7F"},
        // C1 controls: CSI and NEL, as two-byte UTF-8.
        {"\xC2\x9B"
         "31m",
         "\\u009B31m"},
        {"\xC2\x85", "\\u0085"},
        // The first character past them is kept.
        {"\xC2\xA0", "\xC2\xA0"},
        // An escape in the output stands for the control character only.
        {"C:\\x1B", "C:\\\\x1B"},
        // Not UTF-8: a lone 8-bit CSI, a stray continuation, a cut sequence, an overlong slash,
        // a surrogate, beyond U+10FFFF.
        {"\x9B"
         "2J",
         "\\x9B2J"},
        {"a\x80"
         "b",
         "a\\x80b"},
        {"\xE2\x82", "\\xE2\\x82"},
        {"\xC0\xAF", "\\xC0\\xAF"},
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},
    };
    for (const auto& [text, printed] : cases)
        EXPECT_EQ(terminalSafe(text), printed) << text;
}

} // namespace
} // namespace ambrevoli
