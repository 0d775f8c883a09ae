#include "outcome_record.h"

#include <gtest/gtest.h>

#include <limits>

namespace ambrevoli {
namespace {

TEST(OutcomeRecordTest, DecodesWhatIsEncodedAndRefusesTheRest)
{
    constexpr std::int64_t most = std::numeric_limits<std::int64_t>::max();
    for (const OutcomeRecord& record :
         {OutcomeRecord::line("Destination: Drop at /home/me/Drop"), OutcomeRecord::line(""),
          OutcomeRecord::end(true), OutcomeRecord::end(false),
          OutcomeRecord::progress({3, 10, 4'700'000, 12'000'000}),
          OutcomeRecord::progress({0, 0, 0, std::nullopt}),
          OutcomeRecord::progress({1, 2, 123, std::nullopt}),
          OutcomeRecord::progress({most, most, most, most})}) {
        const std::string bytes = record.encode() + "l";
        const auto decoded = decodeOutcome(bytes);
        ASSERT_TRUE(decoded) << bytes;
        EXPECT_EQ(decoded->record, record);
        EXPECT_EQ(decoded->consumed, bytes.size() - 1);
    }
    EXPECT_EQ(OutcomeRecord::progress({3, 10, 4'700'000, 12'000'000}).encode(),
              std::string("p3 10 4700000 12000000\0", 23));
    EXPECT_EQ(OutcomeRecord::progress({1, 2, 123, std::nullopt}).encode(),
              std::string("p1 2 123 -\0", 11));
    // A NUL in a line would cut it in two records; it is left out.
    EXPECT_EQ(decodeOutcome(OutcomeRecord::line(std::string("a\0b", 3)).encode())->record,
              OutcomeRecord::line("ab"));

    const auto nul = [](std::string_view text) { return std::string(text) + '\0'; };
    const std::pair<std::string, std::optional<std::size_t>> cases[] = {
        {"", 0},                  // nothing yet
        {"lCopied 1 of", 0},      // a line still coming
        {"p1 10 4096 8", 0},      // figures still coming
        {nul("x1"), 3},           // a whole end
        {nul("z"), std::nullopt}, // an unknown record
        {nul("x2"), std::nullopt},
        {nul("x"), std::nullopt},
        {nul("l\xff"), std::nullopt},      // not UTF-8
        {nul("p1 2 3"), std::nullopt},     // a figure short
        {nul("p1 2 3 4 5"), std::nullopt}, // one too many
        {nul("p"), std::nullopt},
        {nul("p1  2 3 4"), std::nullopt}, // two spaces
        {nul("p1 2 3 4 "), std::nullopt}, // a trailing space
        {nul("p01 2 3 4"), std::nullopt}, // a leading zero
        {nul("p-1 2 3 4"), std::nullopt}, // a sign
        {nul("p+1 2 3 4"), std::nullopt},
        {nul("p1 2 0x3 4"), std::nullopt},
        {nul("p1 2 3 ?"), std::nullopt}, // neither a total nor "-"
        {nul("p1 2 3 -1"), std::nullopt},
        {nul("p3 2 0 -"), std::nullopt},                   // more items done than in all
        {nul("p0 1 5 4"), std::nullopt},                   // more bytes done than in all
        {nul("p0 1 0 9223372036854775808"), std::nullopt}, // beyond 64 bits
        {"p" + std::string(100, '1'), std::nullopt},       // too long to be figures
    };
    for (const auto& [bytes, consumed] : cases) {
        const auto decoded = decodeOutcome(bytes);
        ASSERT_EQ(decoded.has_value(), consumed.has_value()) << bytes;
        if (decoded) {
            EXPECT_EQ(decoded->consumed, *consumed) << bytes;
        }
    }
}

} // namespace
} // namespace ambrevoli
