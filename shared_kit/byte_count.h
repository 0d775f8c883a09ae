#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Sizes as the desktop writes them for people: decimal units, one decimal place.

namespace ambrevoli {

// "1 byte", "532 bytes", "1.0 kB", "4.7 MB", "1.2 GB", … up to EB: powers of 1000, as the desktop's
// file manager shows sizes. The decimal point is the C library's numeric locale's unless given.
// A negative count is written as 0 bytes.
std::string formattedByteCount(std::int64_t bytes);
std::string formattedByteCount(std::int64_t bytes, std::string_view decimalPoint);

} // namespace ambrevoli
