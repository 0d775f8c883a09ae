#pragma once

#include <string>
#include <string_view>

// Pieces shared by the kit's JSON writers, which write their own text so that the byte form of
// the files is fixed. Reading is nlohmann-json's job.

namespace ambrevoli {

// Whether `text` is well-formed UTF-8 (no overlongs, no surrogates, nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// Appends `text` as a JSON string literal with its quotes. Escapes '"', '\\', '/' (as "\/") and
// control characters; everything else, non-ASCII included, is copied as it is. `text` must be
// valid UTF-8.
void appendJsonString(std::string& out, std::string_view text);

} // namespace ambrevoli
