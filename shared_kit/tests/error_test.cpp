#include "error.h"
#include "request_inbox.h"
#include "send_request.h"

#include <gtest/gtest.h>

namespace ambrevoli {
namespace {

const Uuid id = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");

TEST(ErrorTest, TextualForms)
{
    struct Case {
        std::string text;
        const char* expected;
    } cases[] = {
        {textualForm(RequestInboxError::notFound(id)),
         "notFound(3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F)"},
        {textualForm(RequestInboxError::notARegularFile(id)),
         "notARegularFile(3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F)"},
        {textualForm(RequestInboxError::tooLarge(id)),
         "tooLarge(3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F)"},
        {textualForm(RequestInboxError::idMismatch(id)),
         "idMismatch(3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F)"},
        {textualForm(RequestInboxError::unsafeInbox()), "unsafeInbox"},
        {textualForm(SendRequestError::unsupportedVersion(2)), "unsupportedVersion(2)"},
        {textualForm(SendRequestError::unsupportedVersion(-1)), "unsupportedVersion(-1)"},
        {textualForm(SystemError{ENOENT}), "No such file or directory (errno 2)"},
        {caseText("notPermitted", "protectedFolder", "false"),
         "notPermitted(protectedFolder: false)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.text, c.expected);
}

TEST(ErrorTest, UnknownErrnoBecomesEio)
{
    EXPECT_EQ(SystemError::fromErrno(ENOSPC), SystemError{ENOSPC});
    for (int unknown : {0, -3, 9999})
        EXPECT_EQ(SystemError::fromErrno(unknown), SystemError{EIO}) << unknown;
}

TEST(ErrorTest, PayloadsTakePartInEquality)
{
    const Uuid other = Uuid::random();
    EXPECT_NE(RequestInboxError::notFound(id), RequestInboxError::notFound(other));
    EXPECT_NE(RequestInboxError::notFound(id), RequestInboxError::tooLarge(id));
    EXPECT_EQ(RequestInboxError::unsafeInbox(), RequestInboxError::unsafeInbox());
    EXPECT_NE(SendRequestError::unsupportedVersion(0), SendRequestError::unsupportedVersion(2));
}

TEST(ErrorTest, VariantsDispatchToTheirAlternative)
{
    RequestInbox::TakeFailure failure = SystemError{ENOSPC};
    EXPECT_EQ(errorDomain(failure), "POSIX");
    EXPECT_EQ(errorCode(failure), ENOSPC);
    failure = RequestInboxError::tooLarge(id);
    EXPECT_EQ(errorDomain(failure), "AmbrevoliKit.RequestInboxError");
    EXPECT_EQ(errorCode(failure), 2);
    EXPECT_EQ(textualForm(failure), "tooLarge(3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F)");
}

} // namespace
} // namespace ambrevoli
