#pragma once

#include <string>
#include <string_view>

// Text from elsewhere — file names, destination labels, the host's report — made safe to print on
// a terminal. A terminal takes control characters as commands: a file named "\033]0;x\a" would
// retitle the window, "\033[2J" clear it, "\r" overwrite the line before it. Each control
// character (U+0000–U+001F, U+007F, U+0080–U+009F) is written as an escape instead: "\t", "\n",
// "\r" for those three, "\x1B" for the other single bytes, "\u009B" for the two-byte ones; a
// byte that is not part of valid UTF-8 becomes "\xFF". A backslash is doubled, so that an escape
// in the output always stands for the character it names. Every other character is kept as it is.
// Pure; any thread.

namespace ambrevoli {

std::string terminalSafe(std::string_view text);

} // namespace ambrevoli
