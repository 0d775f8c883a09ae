#include "progress_line.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace ambrevoli {
namespace {

std::string bar(int filled, int empty)
{
    return "[" + std::string(std::size_t(filled), '#') + std::string(std::size_t(empty), '-') + "]";
}

TEST(ProgressLineTest, ShowsThePercentAndTheAmountInTheWidthGiven)
{
    const ProgressFigures bytes{3, 10, 1'200'000'000, 3'000'000'000};
    const struct {
        ProgressFigures figures;
        int width;
        std::string line;
    } cases[] = {
        {bytes, 80, bar(16, 24) + "  40%  1.2 GB of 3.0 GB"},
        {bytes, 40, bar(6, 9) + "  40%  1.2 GB of 3.0 GB"}, // the bar shrinks to fit
        {bytes, 30, "40%  1.2 GB of 3.0 GB"},               // and goes before it is unreadable
        {bytes, 10, "40%  1.2 G"},                          // then the text is cut
        {bytes, 0, ""},
        {{3, 10, 0, std::nullopt}, 80, bar(12, 28) + "  30%  3 of 10 items"},
        {{0, 1, 4096, std::nullopt}, 80, bar(0, 40) + "   0%  0 of 1 item"},
        {{0, 1, 999, 1000}, 80, bar(39, 1) + "  99%  999 bytes of 1.0 kB"}, // 100% only when done
        {{10, 10, 3'000'000'000, 3'000'000'000}, 80, bar(40, 0) + " 100%  3.0 GB of 3.0 GB"},
        // Empty files: as far as the items are.
        {{1, 2, 0, 0}, 80, bar(20, 20) + "  50%  0 bytes of 0 bytes"},
        {{0, 0, 0, std::nullopt}, 80, bar(40, 0) + " 100%  0 of 0 items"},
    };
    for (const auto& c : cases) {
        const std::string line = progressLine(c.figures, c.width);
        EXPECT_EQ(line, c.line) << "width " << c.width;
        EXPECT_LE(int(line.size()), std::max(c.width, 0)) << line;
    }
}

} // namespace
} // namespace ambrevoli
