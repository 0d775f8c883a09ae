#include "uuid.h"

#include <gtest/gtest.h>

#include <unordered_set>

namespace ambrevoli {
namespace {

TEST(UuidTest, ParsesEitherCaseAndWritesUpperCase)
{
    const auto upper = Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
    const auto lower = Uuid::parse("3f2c8a4e-1b7d-4c9a-9e21-0a5b6c7d8e9f");
    ASSERT_TRUE(upper && lower);
    EXPECT_EQ(*upper, *lower);
    EXPECT_EQ(lower->text(), "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
}

TEST(UuidTest, RejectsAnythingButTheHyphenatedForm)
{
    const char* rejected[] = {
        "",
        "3F2C8A4E1B7D4C9A9E210A5B6C7D8E9F",       // no hyphens
        "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9",    // one digit short
        "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F0",  // one digit more
        "{3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F}", // braces
        "3F2C8A4E-1B7D-4C9A-9E21_0A5B6C7D8E9F",   // wrong separator
        "3F2C8A4E-1B7D-4C9A-9E2-10A5B6C7D8E9F",   // hyphen misplaced
        "3G2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F",   // not hexadecimal
        " 3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9",   // leading blank
    };
    for (const char* text : rejected)
        EXPECT_FALSE(Uuid::parse(text)) << text;
}

TEST(UuidTest, RandomValuesAreVersion4AndDistinct)
{
    std::unordered_set<Uuid> seen;
    for (int i = 0; i < 1000; ++i) {
        const Uuid id = Uuid::random();
        EXPECT_EQ(id.text()[14], '4');
        EXPECT_TRUE(seen.insert(id).second);
        EXPECT_EQ(Uuid::parse(id.text()), id);
    }
}

} // namespace
} // namespace ambrevoli
