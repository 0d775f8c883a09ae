#pragma once

#include <optional>
#include <string>
#include <string_view>

// Bytes written as "%XX" (upper-case hex), for the copy engine's own files: a trash info file's
// path and the undo record's lines. Internal to the copy engine.

namespace ambrevoli {

// `text` with every byte `kept` does not keep written as %XX; '%' itself is never kept.
std::string percentEncoded(std::string_view text, bool (*kept)(unsigned char));

// `text` with its %XX undone, as percentEncoded writes them; no value when a '%' is not followed by two hex
// digits.
std::optional<std::string> percentDecoded(std::string_view text);

} // namespace ambrevoli
