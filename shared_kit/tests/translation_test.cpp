#include "translation.h"

#include "byte_count.h"
#include "scoped_language.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

TEST(TranslationTest, FormattedPutsTheArgumentsWhereThePatternNumbersThem)
{
    struct Case {
        std::string_view pattern;
        std::string_view expected;
    };
    const Case cases[] = {
        {"Copied %1$s items to %2$s", "Copied 3 items to In%1$sbox"},
        // A translation may turn the order round.
        {"Nach %2$s: %1$s", "Nach In%1$sbox: 3"},
        {"%1$s%1$s", "33"},
        {"100%% of %1$s", "100% of 3"},
        // Marks without an argument, and what only looks like one, stay as they are.
        {"%3$s and %0$s", "%3$s and %0$s"},
        {"%s %1 %1$d 50%", "%s %1 %1$d 50%"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(formatted(c.pattern, {"3", "In%1$sbox"}), c.expected) << c.pattern;
}

// The catalogs of the build (AMBREVOLI_LOCALE_DIR, set for every test) with the sizes' words:
// German has two plural forms, Polish three, and a language without a catalog reads English.
TEST(TranslationTest, EachLanguagePicksItsOwnPluralForm)
{
    struct Case {
        const char* language;
        std::int64_t count;
        std::string_view expected;
    };
    const Case cases[] = {
        {"en", 1, "1 byte"},
        {"en", 2, "2 bytes"},
        {"en", 0, "0 bytes"},
        {"de", 1, "1 Byte"},
        {"de", 5, "5 Byte"},
        {"pl", 1, "1 bajt"},
        {"pl", 2, "2 bajty"},
        {"pl", 5, "5 bajtów"},
        {"pl", 22, "22 bajty"},
        {"pl", 12, "12 bajtów"},
        {"pl", 0, "0 bajtów"},
        {"xx", 2, "2 bytes"},
        // LANGUAGE lists fallbacks, as a user's may.
        {"xx:pl", 3, "3 bajty"},
    };
    for (const Case& c : cases) {
        testing::ScopedLanguage language(c.language);
        EXPECT_EQ(formattedByteCount(c.count), c.expected) << c.language << " " << c.count;
    }
}

TEST(TranslationTest, WithoutALanguageTheTextsAreEnglish)
{
    // The "C" locale the test starts in ignores LANGUAGE, as the C library's own programs do.
    EXPECT_EQ(translatePlural("%1$s byte", "%1$s bytes", 1), "%1$s byte");
    EXPECT_EQ(translate("a text no catalog has"), "a text no catalog has");
    EXPECT_EQ(translateInContext("somewhere", "a text no catalog has"), "a text no catalog has");
}

} // namespace
} // namespace ambrevoli
