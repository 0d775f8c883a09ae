#include "byte_count.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

using namespace ambrevoli;

TEST(ByteCount, WritesDecimalUnitsWithOneDecimalPlace)
{
    const struct {
        std::int64_t bytes;
        const char* text;
    } cases[] = {
        {-5, "0 bytes"},
        {0, "0 bytes"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1.0 kB"},
        {1049, "1.0 kB"},
        {1050, "1.1 kB"},
        {999'949, "999.9 kB"},
        // Rounded up into the next unit, not "1000.0 kB".
        {999'950, "1.0 MB"},
        {4'700'000, "4.7 MB"},
        {1'234'567'890, "1.2 GB"},
        {2'000'000'000'000, "2.0 TB"},
        {std::numeric_limits<std::int64_t>::max(), "9.2 EB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(formattedByteCount(c.bytes, "."), c.text) << c.bytes;
}

TEST(ByteCount, UsesTheLocalesDecimalPoint)
{
    EXPECT_EQ(formattedByteCount(1'500'000, ","), "1,5 MB");
    // The C locale of a test process writes a point.
    EXPECT_EQ(formattedByteCount(1'500'000), "1.5 MB");
}
