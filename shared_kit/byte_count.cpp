#include "byte_count.h"

#include "translation.h"

#include <array>
#include <clocale>
#include <cmath>
#include <cstdio>

namespace ambrevoli {

std::string formattedByteCount(std::int64_t bytes)
{
    const char* point = std::localeconv()->decimal_point;
    return formattedByteCount(bytes, point != nullptr && *point != '\0' ? point : ".");
}

std::string formattedByteCount(std::int64_t bytes, std::string_view decimalPoint)
{
    if (bytes < 1000) {
        const std::int64_t count = bytes < 0 ? 0 : bytes;
        // TRANSLATORS: a size under a kilobyte.
        return formatted(translatePlural("%1$s byte", "%1$s bytes", count),
                         {std::to_string(count)});
    }
    static constexpr std::array units{"kB", "MB", "GB", "TB", "PB", "EB"};
    // In tenths of the unit, rounded once: 999,999 bytes is "1.0 MB", never "1000.0 kB".
    double scaled = static_cast<double>(bytes) / 1000.0;
    std::size_t unit = 0;
    while (std::round(scaled * 10.0) >= 10000.0 && unit + 1 < units.size()) {
        scaled /= 1000.0;
        ++unit;
    }
    const auto tenths = static_cast<std::int64_t>(std::round(scaled * 10.0));
    return std::to_string(tenths / 10) + std::string(decimalPoint) + std::to_string(tenths % 10) +
           " " + units[unit];
}

} // namespace ambrevoli
