#include "date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace ambrevoli {
namespace {

TEST(DateTimeTest, WritesUtcWithWholeSeconds)
{
    struct Case {
        double seconds;
        const char* text;
    } cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {1714555800, "2024-05-01T09:30:00Z"},
        {1714555800.999, "2024-05-01T09:30:00Z"}, // the fraction is dropped, never rounded up
        {951782400, "2000-02-29T00:00:00Z"},
        {-0.5, "1969-12-31T23:59:59Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(internetDateTime(c.seconds), c.text) << c.seconds;
}

TEST(DateTimeTest, RefusesTimesThatHaveNoInternetDateTime)
{
    for (double seconds :
         {std::nan(""), std::numeric_limits<double>::infinity(), 253402300800.0, -62135596801.0})
        EXPECT_FALSE(internetDateTime(seconds)) << seconds;
}

TEST(DateTimeTest, ReadsZuluAndNumericOffsets)
{
    struct Case {
        const char* text;
        double seconds;
    } cases[] = {
        {"2024-05-01T09:30:00Z", 1714555800},
        {"2024-05-01T11:30:00+02:00", 1714555800},
        {"2024-05-01T04:00:00-05:30", 1714555800},
        {"2000-02-29T00:00:00Z", 951782400},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseInternetDateTime(c.text), c.seconds) << c.text;
}

TEST(DateTimeTest, RefusesOtherForms)
{
    const char* rejected[] = {
        "",
        "2024-05-01T09:30:00",      // no zone
        "2024-05-01T09:30:00.5Z",   // fractional seconds
        "2024-05-01 09:30:00Z",     // blank instead of T
        "2024-05-01t09:30:00z",     // lower-case designators
        "2024-05-01T09:30:00+0200", // offset without colon
        "2023-02-29T00:00:00Z",     // not a leap year
        "2024-13-01T00:00:00Z",     // month 13
        "2024-05-01T24:00:00Z",     // hour 24
        "2024-05-01T09:60:00Z",     // minute 60
        "0000-01-01T00:00:00Z",     // year 0
        "+2024-05-01T09:30:00Z",    // sign
        "2024-05-01T09:30:00Z ",    // trailing blank
    };
    for (const char* text : rejected)
        EXPECT_FALSE(parseInternetDateTime(text)) << text;
}

TEST(DateTimeTest, RoundTripsWholeSeconds)
{
    for (double seconds : {0.0, 1.0, 86399.0, 1e9, 4102444800.0, -86400.0})
        EXPECT_EQ(parseInternetDateTime(*internetDateTime(seconds)), seconds) << seconds;
}

} // namespace
} // namespace ambrevoli
