#include "copy_outcome.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

TEST(CopyOutcomeTest, TextualForms)
{
    struct Case {
        std::string text;
        const char* expected;
    } cases[] = {
        {textualForm(CopyFailure::notPermitted(false)), "notPermitted(protectedFolder: false)"},
        {textualForm(CopyFailure::notPermitted(true)), "notPermitted(protectedFolder: true)"},
        {textualForm(CopyFailure::other(28)), "other(28)"},
        {textualForm(CopyFailure::missing()), "missing"},
        {textualForm(CopyFailure::destinationGone()), "destinationGone"},
        {textualForm(CopyFailure::intoItself()), "intoItself"},
        {textualForm(CopyFailure::notDownloaded()), "notDownloaded"},
        {textualForm(CopyFailure::noPermission()), "noPermission"},
        {textualForm(CopyFailure::outOfSpace()), "outOfSpace"},
        {textualForm(CopyFailure::nameTooLong()), "nameTooLong"},
        {textualForm(CopyFailure::nameRefused()), "nameRefused"},
        {textualForm(CopyFailure::tooLarge()), "tooLarge"},
        {textualForm(CopyFailure::kindRefused()), "kindRefused"},
        {textualForm(CopyFailure::unreachable()), "unreachable"},
        {textualForm(DestinationProblem::notPermitted(true)),
         "notPermitted(protectedFolder: true)"},
        {textualForm(DestinationProblem::other(5)), "other(5)"},
        {textualForm(DestinationProblem::missing()), "missing"},
        {textualForm(DestinationProblem::noPermission()), "noPermission"},
        {textualForm(DestinationProblem::readOnly()), "readOnly"},
        {textualForm(DestinationProblem::unreachable()), "unreachable"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, c.expected);
}

TEST(CopyOutcomeTest, PayloadsTakePartInEquality)
{
    EXPECT_NE(CopyFailure::notPermitted(true), CopyFailure::notPermitted(false));
    EXPECT_NE(CopyFailure::other(28), CopyFailure::other(1));
    EXPECT_EQ(CopyFailure::other(28), CopyFailure::other(28));
    EXPECT_NE(DestinationProblem::notPermitted(true), DestinationProblem::notPermitted(false));
    EXPECT_NE((FileID{1, 2}), (FileID{1, 3}));
    EXPECT_NE((FileID{1, 2}), (FileID{2, 2}));
    EXPECT_EQ((FileID{1, 2}), (FileID{1, 2}));
}

} // namespace
} // namespace ambrevoli
