#include "progress_line.h"

#include "byte_count.h"
#include "translation.h"

#include <algorithm>

namespace ambrevoli {

namespace {

// A bar narrower than this says nothing the percent does not; one wider is no clearer.
constexpr int shortestBar = 10;
constexpr int longestBar = 40;

double fraction(const ProgressFigures& figures)
{
    // A copy of empty files is done when its items are.
    if (figures.bytesTotal && *figures.bytesTotal > 0)
        return static_cast<double>(figures.bytesDone) / static_cast<double>(*figures.bytesTotal);
    if (figures.itemsTotal > 0)
        return static_cast<double>(figures.itemsDone) / static_cast<double>(figures.itemsTotal);
    return 1.0;
}

int columns(std::string_view text)
{
    return static_cast<int>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// The first `count` code points of `text`.
std::string firstColumns(std::string_view text, int count)
{
    std::size_t end = 0;
    for (int taken = 0; end < text.size(); ++end) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && taken++ == count)
            break;
    }
    return std::string(text.substr(0, end));
}

} // namespace

std::string progressLine(const ProgressFigures& figures, int width)
{
    if (width < 1)
        return {};
    const double done = std::clamp(fraction(figures), 0.0, 1.0);
    const int percent = static_cast<int>(done * 100.0);
    std::string amount;
    if (figures.bytesTotal)
        // TRANSLATORS: a copy's progress: the size copied so far and the whole size
        // ("1.2 MB of 4.7 MB").
        amount = formatted(translate("%1$s of %2$s"), {formattedByteCount(figures.bytesDone),
                                                       formattedByteCount(*figures.bytesTotal)});
    else
        // TRANSLATORS: a copy's progress in items; the plural form follows the total, %2$s.
        amount = formatted(
            translatePlural("%1$s of %2$s item", "%1$s of %2$s items", figures.itemsTotal),
            {std::to_string(figures.itemsDone), std::to_string(figures.itemsTotal)});
    std::string percentText = std::to_string(percent) + "%";
    percentText.insert(0, 4 - percentText.size(), ' ');
    const std::string text = percentText + "  " + amount;

    const int bar = std::min(longestBar, width - columns(text) - 3); // "[", "]" and a space
    if (bar < shortestBar)
        return firstColumns(text.substr(text.find_first_not_of(' ')), width);
    const int filled = static_cast<int>(done * bar);
    return "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(bar - filled), '-') + "] " + text;
}

} // namespace ambrevoli
