#include "undo_summary.h"

#include <gtest/gtest.h>

#include <unicode/locid.h>

#include <string>
#include <vector>

namespace ambrevoli {
namespace {

class UndoSummaryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(icu::Locale("en_US"), status);
    }
    void TearDown() override
    {
        UErrorCode status = U_ZERO_ERROR;
        icu::Locale::setDefault(m_saved, status);
    }

private:
    icu::Locale m_saved = icu::Locale::getDefault();
};

UndoReport reportOf(int taken, std::vector<LeftReason> left)
{
    UndoReport report;
    report.label = "Inbox";
    report.destination = "/home/me/Inbox";
    for (int i = 0; i < taken; ++i)
        report.takenBack.push_back({"/home/me/Inbox/a" + std::to_string(i), {}});
    for (const LeftReason& reason : left)
        report.left.push_back({"/home/me/Inbox/report.pdf", reason});
    return report;
}

UndoReport problem(UndoProblem p)
{
    UndoReport report;
    report.problem = p;
    return report;
}

TEST_F(UndoSummaryTest, TitleAndBodyForEachOutcome)
{
    const LeftReason changed{LeftReason::Case::changed};
    const LeftReason readOnly{LeftReason::Case::notTrashed, 0, TrashError::readOnly()};
    struct Case {
        UndoReport report;
        const char* title;
        const char* body;
    } cases[] = {
        {reportOf(3, {}), "Undid copying 3 items to Inbox",
         "They're in the Trash, where you can restore them."},
        {reportOf(1, {}), "Undid copying 1 item to Inbox",
         "It's in the Trash, where you can restore it."},
        // Why the first one was left comes first; the rest are counted.
        {reportOf(2, {changed}), "Undid copying 2 of 3 items to Inbox",
         "\u201Creport.pdf\u201D changed after it was copied, so it was left where it is."},
        {reportOf(1, {changed, changed, changed}), "Undid copying 1 of 4 items to Inbox",
         "\u201Creport.pdf\u201D changed after it was copied, so it was left where it is. "
         "2 more items were left in place too."},
        {reportOf(0, {readOnly, changed}), "Couldn't undo copying 2 items to Inbox",
         "\u201Creport.pdf\u201D was left where it is: it's on a read-only volume, so it can't "
         "go to the Trash. 1 more item was left in place too."},
        {problem(UndoProblem::noRecord), "Nothing to undo",
         "A copy can be undone for a day after it was made. This one is older, or Ambrevoli has "
         "no record of it."},
        {problem(UndoProblem::alreadyUndone), "Nothing to undo", "This copy was already undone."},
    };
    for (const Case& c : cases) {
        const UndoSummary summary(c.report);
        EXPECT_EQ(summary.title, c.title);
        EXPECT_EQ(summary.body, c.body) << c.title;
    }
}

TEST_F(UndoSummaryTest, EachReasonHasItsSentence)
{
    struct Case {
        LeftReason reason;
        const char* sentence;
    } cases[] = {
        {{LeftReason::Case::replaced},
         "\u201Creport.pdf\u201D now holds another item, so it was left where it is."},
        {{LeftReason::Case::gone}, "\u201Creport.pdf\u201D was renamed, moved or deleted after it "
                                   "was copied, so it was left alone."},
        {{LeftReason::Case::unchecked, 13},
         "\u201Creport.pdf\u201D couldn't be checked for changes, so it was left where it is."},
        {{LeftReason::Case::notTrashed, 0, TrashError::noTrash(EACCES)},
         "\u201Creport.pdf\u201D was left where it is: its volume has no Trash Ambrevoli can use "
         "(Permission denied)."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(leftSentence({"/home/me/Inbox/report.pdf", c.reason}), c.sentence)
            << textualForm(c.reason);
}

TEST_F(UndoSummaryTest, LinesNameEveryItemWithItsFullPath)
{
    UndoReport report = reportOf(1, {LeftReason{LeftReason::Case::gone}});
    const auto lines = undoLines(report);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text(), "Undo of request " + report.requestID.text() +
                            ": moved 1 of 2 items to the Trash");
    EXPECT_EQ(lines[1].text(), "Moved to the Trash: /home/me/Inbox/a0");
    EXPECT_EQ(lines[2].text(), "Left in place (gone): /home/me/Inbox/report.pdf \u2014 " +
                                   leftSentence(report.left[0]));
    EXPECT_EQ(undoLines(problem(UndoProblem::noRecord)).size(), 1u);
}

} // namespace
} // namespace ambrevoli
