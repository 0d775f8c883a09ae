#include "copy_summary.h"

#include "scoped_language.h"

#include <gtest/gtest.h>

#include <unicode/locid.h>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace ambrevoli {
namespace {

// Every test starts from an English locale and leaves ICU's default as it found it.
class CopySummaryTest : public ::testing::Test {
protected:
    void SetUp() override { useLocale("en_US"); }
    void TearDown() override { useLocale(m_saved.getName()); }

    static void useLocale(const char* name)
    {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale(name), status);
        ASSERT_TRUE(U_SUCCESS(status)) << name;
    }

private:
    icu::Locale m_saved = icu::Locale::getDefault();
};

CopyReport reportOf(std::int64_t copied, std::vector<FailedItem> failed)
{
    CopyReport report;
    report.destination = "/home/me/Inbox";
    report.itemCount = copied;
    for (std::int64_t i = 0; i < copied; ++i)
        report.copied.push_back({"/home/me/a" + std::to_string(i), "/home/me/Inbox/a", false});
    report.itemCount += static_cast<std::int64_t>(failed.size());
    report.failed = std::move(failed);
    return report;
}

CopyReport refused(std::int64_t itemCount, DestinationProblem problem)
{
    CopyReport report;
    report.destination = "/media/usb/Backups";
    report.problem = problem;
    report.itemCount = itemCount;
    return report;
}

TEST_F(CopySummaryTest, TitleCountsWhatHappened)
{
    const FailedItem lost{"/home/me/x", CopyFailure::missing()};
    struct Case {
        CopyReport report;
        const char* title;
    } cases[] = {
        {reportOf(3, {}), "Copied 3 items to Inbox"},
        {reportOf(1, {}), "Copied 1 item to Inbox"},
        {reportOf(0, {}), "Copied 0 items to Inbox"},
        {reportOf(3, {lost, lost}), "Copied 3 of 5 items to Inbox"},
        // The noun agrees with the whole, not with the one copied.
        {reportOf(1, {lost}), "Copied 1 of 2 items to Inbox"},
        {reportOf(0, {lost, lost}), "Couldn't copy 2 items to Inbox"},
        {reportOf(0, {lost}), "Couldn't copy 1 item to Inbox"},
        {refused(4, DestinationProblem::missing()), "Couldn't copy 4 items to Inbox"},
        {refused(1, DestinationProblem::readOnly()), "Couldn't copy 1 item to Inbox"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CopySummary(c.report, "Inbox").title, c.title) << c.title;
}

TEST_F(CopySummaryTest, EverythingCopiedHasNoBody)
{
    EXPECT_EQ(CopySummary(reportOf(3, {}), "Desktop").body, "");
}

TEST_F(CopySummaryTest, DestinationProblemBodiesInBothWordings)
{
    struct Case {
        DestinationProblem problem;
        const char* macOS;
        const char* linuxDesktop;
    } cases[] = {
        {DestinationProblem::notPermitted(true),
         "macOS didn't let Ambrevoli add items to Backups. Allow it in System Settings › Privacy "
         "& Security › Files & Folders.",
         "The system didn't let Ambrevoli add items to Backups. Allow it in the sandbox or "
         "security policy that protects the folder."},
        {DestinationProblem::notPermitted(false),
         "macOS didn't let Ambrevoli add items to Backups. If the folder is locked, unlock it in "
         "its Get Info window.",
         "The system didn't let Ambrevoli add items to Backups. If the folder is locked, unlock "
         "it with chattr -i."},
        {DestinationProblem::other(5), "Ambrevoli couldn't use Backups (error 5).", nullptr},
        {DestinationProblem::missing(),
         "Ambrevoli can't find Backups. If it's on a drive, connect the drive and send the items "
         "again.",
         nullptr},
        {DestinationProblem::noPermission(), "You don't have permission to add items to Backups.",
         nullptr},
        {DestinationProblem::readOnly(), "Backups is on a read-only volume.", nullptr},
        {DestinationProblem::unreachable(),
         "Ambrevoli couldn't reach Backups. Check the connection to it and send the items again.",
         nullptr},
    };
    for (const auto& c : cases) {
        const CopyReport report = refused(2, c.problem);
        // Rows without a Linux text name no platform place and read the same everywhere.
        const char* linuxDesktop = c.linuxDesktop ? c.linuxDesktop : c.macOS;
        EXPECT_EQ(CopySummary(report, "Backups", Platform::macOS).body, c.macOS)
            << textualForm(c.problem);
        EXPECT_EQ(CopySummary(report, "Backups", Platform::linuxDesktop).body, linuxDesktop)
            << textualForm(c.problem);
    }
}

TEST_F(CopySummaryTest, FirstFailureIsExplainedInBothWordings)
{
    struct Case {
        CopyFailure reason;
        const char* source;
        const char* macOS;
        const char* linuxDesktop;
    } cases[] = {
        {CopyFailure::notPermitted(true), "/home/me/Desktop/plan.txt",
         "macOS didn't let Ambrevoli read “plan.txt”. Allow it in System Settings › Privacy & "
         "Security › Files & Folders.",
         "The system didn't let Ambrevoli read “plan.txt”. Allow it in the sandbox or security "
         "policy that protects the folder."},
        {CopyFailure::notPermitted(false), "/srv/plan.txt",
         "macOS didn't let Ambrevoli read “plan.txt”.",
         "The system didn't let Ambrevoli read “plan.txt”."},
        {CopyFailure::other(28), "/srv/disk.img", "“disk.img” couldn't be copied (error 28).",
         nullptr},
        {CopyFailure::missing(), "/Users/a/report.pdf",
         "“report.pdf” was moved or deleted before it could be copied.", nullptr},
        {CopyFailure::destinationGone(), "/srv/Photos/",
         "Inbox disappeared before “Photos” could be copied. If it's on a drive, connect it and "
         "send the rest again.",
         nullptr},
        {CopyFailure::intoItself(), "/home/me", "“me” can't be copied into a folder inside itself.",
         nullptr},
        {CopyFailure::notDownloaded(), "notes.md",
         "“notes.md” isn't downloaded. Download it in Finder, then send it again.",
         "“notes.md” isn't downloaded. Download it in the file manager, then send it again."},
        {CopyFailure::noPermission(), "/root/secret", "You don't have permission to read “secret”.",
         nullptr},
        {CopyFailure::outOfSpace(), "/srv/big.iso",
         "Inbox doesn't have enough space for “big.iso”.", nullptr},
        {CopyFailure::nameTooLong(), "/", "“/” has a name that's too long for Inbox.", nullptr},
        {CopyFailure::nameRefused(), "/srv/what?.txt",
         "“what?.txt” has a name this drive can't store.", nullptr},
        {CopyFailure::tooLarge(), "/srv/big.iso", "“big.iso” is too large for this drive.",
         nullptr},
        {CopyFailure::kindRefused(), "/srv/link",
         "“link” is or holds a link or special file this drive can't store.", nullptr},
        {CopyFailure::unreachable(), "/srv/Photos",
         "Inbox couldn't be reached while “Photos” was being copied. Check the connection to it "
         "and send the rest again.",
         nullptr},
    };
    for (const auto& c : cases) {
        const CopyReport report = reportOf(1, {{c.source, c.reason}});
        const char* linuxDesktop = c.linuxDesktop ? c.linuxDesktop : c.macOS;
        EXPECT_EQ(CopySummary(report, "Inbox", Platform::macOS).body, c.macOS)
            << textualForm(c.reason);
        EXPECT_EQ(CopySummary(report, "Inbox", Platform::linuxDesktop).body, linuxDesktop)
            << textualForm(c.reason);
    }
}

TEST_F(CopySummaryTest, OnlyTheFirstFailureIsExplainedAndTheRestAreCounted)
{
    const FailedItem first{"/Users/a/report.pdf", CopyFailure::missing()};
    const FailedItem second{"/Users/a/b", CopyFailure::other(5)};
    const FailedItem third{"/Users/a/c", CopyFailure::noPermission()};

    const CopySummary fiveTwoFailed(reportOf(3, {first, second}), "Inbox");
    EXPECT_EQ(fiveTwoFailed.title, "Copied 3 of 5 items to Inbox");
    EXPECT_EQ(fiveTwoFailed.body, "“report.pdf” was moved or deleted before it could be copied. 1 "
                                  "more item couldn't be copied either.");

    const CopySummary allFailed(reportOf(0, {first, second, third}), "Inbox");
    EXPECT_EQ(allFailed.title, "Couldn't copy 3 items to Inbox");
    EXPECT_EQ(allFailed.body, "“report.pdf” was moved or deleted before it could be copied. 2 "
                              "more items couldn't be copied either.");
}

TEST_F(CopySummaryTest, CountsAreGroupedByTheLocaleButErrorNumbersNever)
{
    CopyReport report = reportOf(0, {});
    report.itemCount = 1500;
    report.failed.assign(1500, FailedItem{"/srv/a", CopyFailure::other(12345)});

    EXPECT_EQ(CopySummary(report, "Inbox").title, "Couldn't copy 1,500 items to Inbox");
    EXPECT_EQ(CopySummary(report, "Inbox").body,
              "“a” couldn't be copied (error 12345). 1,499 more items couldn't be copied either.");

    useLocale("de_DE");
    EXPECT_EQ(CopySummary(report, "Inbox").title, "Couldn't copy 1.500 items to Inbox");
    EXPECT_EQ(CopySummary(report, "Inbox").body,
              "“a” couldn't be copied (error 12345). 1.499 more items couldn't be copied either.");
    EXPECT_EQ(CopySummary(refused(2000, DestinationProblem::other(10000)), "X").body,
              "Ambrevoli couldn't use X (error 10000).");
}

CopyReport cancelledReport(std::int64_t copied, std::vector<FailedItem> failed)
{
    CopyReport report = reportOf(copied, std::move(failed));
    report.cancelled = true;
    return report;
}

TEST_F(CopySummaryTest, CancelledCopiesSayWhatWasStillCopied)
{
    const FailedItem stopped{"/home/me/b", CopyFailure::cancelled()};
    const FailedItem lost{"/home/me/report.pdf", CopyFailure::missing()};
    const FailedItem full{"/home/me/big.iso", CopyFailure::outOfSpace()};
    struct Case {
        CopyReport report;
        const char* title;
        const char* body;
    } cases[] = {
        // The cancel came too late to stop anything.
        {cancelledReport(3, {}), "Copied 3 items to Inbox",
         "Everything was already copied when you cancelled."},
        {cancelledReport(1, {}), "Copied 1 item to Inbox",
         "Everything was already copied when you cancelled."},
        // Some were copied first.
        {cancelledReport(2, {stopped, stopped, stopped}),
         "Cancelled after copying 2 of 5 items to Inbox", "3 items weren't copied."},
        {cancelledReport(1, {stopped}), "Cancelled after copying 1 of 2 items to Inbox",
         "1 item wasn't copied."},
        // None were.
        {cancelledReport(0, {stopped, stopped}), "Cancelled copying 2 items to Inbox",
         "Nothing was copied."},
        {cancelledReport(0, {stopped}), "Cancelled copying 1 item to Inbox", "Nothing was copied."},
        // A real failure is still explained first, wherever it stands among the stopped items.
        {cancelledReport(1, {lost, stopped, stopped}),
         "Cancelled after copying 1 of 4 items to Inbox",
         "“report.pdf” was moved or deleted before it could be copied. 2 more items weren't "
         "copied."},
        {cancelledReport(0, {stopped, full}), "Cancelled copying 2 items to Inbox",
         "Inbox doesn't have enough space for “big.iso”. 1 more item wasn't copied."},
        {cancelledReport(0, {lost, full, stopped}), "Cancelled copying 3 items to Inbox",
         "“report.pdf” was moved or deleted before it could be copied. 2 more items weren't "
         "copied."},
        // Nothing stopped by the cancel: the failures read as without it.
        {cancelledReport(2, {lost}), "Copied 2 of 3 items to Inbox",
         "“report.pdf” was moved or deleted before it could be copied."},
    };
    for (const auto& c : cases) {
        const CopySummary summary(c.report, "Inbox");
        EXPECT_EQ(summary.title, c.title) << c.title;
        EXPECT_EQ(summary.body, c.body) << c.title;
    }

    // A destination that could not be used is the whole story, cancel or not.
    CopyReport unusable = refused(2, DestinationProblem::readOnly());
    unusable.cancelled = true;
    const CopySummary summary(unusable, "Inbox");
    EXPECT_EQ(summary.title, "Couldn't copy 2 items to Inbox");
    EXPECT_EQ(summary.body, "Inbox is on a read-only volume.");
}

TEST_F(CopySummaryTest, ProgressCountsBytesWhenKnownElseItems)
{
    struct Case {
        CopyProgress progress;
        const char* title;
        const char* body;
    } cases[] = {
        {{0, 3, 1'200'000, 4'700'000'000}, "Copying 3 items to Inbox", "1.2 MB of 4.7 GB"},
        {{0, 1, 0, 532}, "Copying 1 item to Inbox", "0 bytes of 532 bytes"},
        {{3, 10, 0, std::nullopt}, "Copying 10 items to Inbox", "3 of 10 items"},
        {{0, 1, 0, std::nullopt}, "Copying 1 item to Inbox", "0 of 1 item"},
        // Empty files and folders only: there are no bytes to count.
        {{1, 2, 0, 0}, "Copying 2 items to Inbox", "1 of 2 items"},
        {{1200, 1500, 0, std::nullopt}, "Copying 1,500 items to Inbox", "1,200 of 1,500 items"},
    };
    for (const auto& c : cases) {
        const CopyProgressSummary summary(c.progress, "Inbox");
        EXPECT_EQ(summary.title, c.title) << c.body;
        EXPECT_EQ(summary.body, c.body) << c.body;
    }
}

// Sets environment variables for one test and puts the old values back.
class EnvironmentGuard {
public:
    void set(const char* name, const char* value)
    {
        if (!m_saved.contains(name)) {
            const char* old = std::getenv(name);
            m_saved[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~EnvironmentGuard()
    {
        for (const auto& [name, value] : m_saved)
            value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> m_saved;
};

TEST_F(CopySummaryTest, NumericLocaleComesFromTheEnvironmentInPosixOrder)
{
    struct Case {
        const char* lcAll;
        const char* lcNumeric;
        const char* lang;
        const char* expected;
    } cases[] = {
        {nullptr, "de_DE.UTF-8", "en_US.UTF-8", "1.500"},
        {"de_DE.UTF-8@euro", "en_US.UTF-8", "en_US.UTF-8", "1.500"},
        {"", "", "de_CH.UTF-8", "1’500"},
        {nullptr, nullptr, "en_GB.UTF-8", "1,500"},
        {"C", "de_DE.UTF-8", nullptr, "1500"},
        {nullptr, nullptr, nullptr, "1500"},
    };
    for (const auto& c : cases) {
        EnvironmentGuard environment;
        environment.set("LC_ALL", c.lcAll);
        environment.set("LC_NUMERIC", c.lcNumeric);
        environment.set("LANG", c.lang);
        // The messages locale is what ICU would follow on its own; it must not win.
        environment.set("LC_MESSAGES", "en_US.UTF-8");
        adoptNumericLocaleFromEnvironment();
        EXPECT_EQ(formattedCount(1500), c.expected)
            << (c.lcAll ? c.lcAll : "-") << " " << (c.lcNumeric ? c.lcNumeric : "-") << " "
            << (c.lang ? c.lang : "-");
    }
}


// The catalogs choose the form for the count: Polish has three ("1 element", "2 elementy",
// "5 elementów", and "22 elementy" again), German two. Sentences are whole in each language, so
// that a translation may put the destination and the item where its grammar wants them.
TEST_F(CopySummaryTest, TextsAreInTheUsersLanguageWithItsPluralForms)
{
    const FailedItem full{"/home/me/a.txt", CopyFailure::outOfSpace()};
    struct Case {
        const char* language;
        CopyReport report;
        const char* title;
        const char* body;
    } cases[] = {
        {"pl", reportOf(1, {}), "Skopiowano 1 element do Inbox", ""},
        {"pl", reportOf(2, {}), "Skopiowano 2 elementy do Inbox", ""},
        {"pl", reportOf(5, {}), "Skopiowano 5 elementów do Inbox", ""},
        {"pl", reportOf(22, {}), "Skopiowano 22 elementy do Inbox", ""},
        {"pl", reportOf(1, {full}), "Skopiowano 1 z 2 elementów do Inbox",
         "W Inbox brakuje miejsca na \u201Ea.txt\u201D."},
        {"pl", reportOf(0, {full, full, full}), "Nie można skopiować 3 elementów do Inbox",
         "W Inbox brakuje miejsca na \u201Ea.txt\u201D. Nie można było skopiować także 2 innych "
         "elementów."},
        {"de", reportOf(1, {}), "1 Element nach Inbox kopiert", ""},
        {"de", reportOf(22, {}), "22 Elemente nach Inbox kopiert", ""},
        {"de", reportOf(0, {full}), "1 Element konnte nicht nach Inbox kopiert werden",
         "Auf Inbox ist nicht genug Platz f\u00FCr \u201Ea.txt\u201C."},
    };
    for (const auto& c : cases) {
        testing::ScopedLanguage language(c.language);
        const CopySummary summary(c.report, "Inbox");
        EXPECT_EQ(summary.title, c.title) << c.language;
        EXPECT_EQ(summary.body, c.body) << c.language;
    }

    testing::ScopedLanguage polish("pl");
    CopyProgress progress;
    progress.itemsTotal = 22;
    progress.itemsDone = 5;
    const CopyProgressSummary copying(progress, "Inbox");
    EXPECT_EQ(copying.title, "Kopiowanie 22 elementów do Inbox");
    EXPECT_EQ(copying.body, "5 z 22 elementów");
}

} // namespace
} // namespace ambrevoli
