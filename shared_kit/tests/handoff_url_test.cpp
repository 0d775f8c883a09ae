#include "handoff_url.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ambrevoli {
namespace {

const std::string upperID = "3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F";
const std::string lowerID = "3f2c8a4e-1b7d-4c9a-9e21-0a5b6c7d8e9f";

TEST(HandoffURLTest, BuildsAndParsesTheTwoForms)
{
    const auto settings = HandoffURL::parse("ambrevoli://settings");
    ASSERT_TRUE(settings);
    EXPECT_TRUE(settings->isSettings());
    EXPECT_EQ(settings->url(), "ambrevoli://settings");

    const std::string sendText = "ambrevoli://send?request=" + upperID;
    const auto send = HandoffURL::parse(sendText);
    ASSERT_TRUE(send);
    EXPECT_EQ(send->requestID(), Uuid::parse(upperID));
    EXPECT_EQ(send->url(), sendText);
    EXPECT_EQ(HandoffURL::send(*Uuid::parse(lowerID)).url(), sendText);
}

TEST(HandoffURLTest, BuildsAndParsesTheUndoForms)
{
    const std::string undoText = "ambrevoli://undo?request=" + upperID;
    const auto undo = HandoffURL::parse(undoText);
    ASSERT_TRUE(undo);
    EXPECT_TRUE(undo->isUndo());
    EXPECT_EQ(undo->undoneRequestID(), Uuid::parse(upperID));
    // An undo is no send: routing it as one would copy instead of taking back.
    EXPECT_FALSE(undo->requestID());
    EXPECT_EQ(undo->url(), undoText);

    const auto last = HandoffURL::parse("ambrevoli://undo?request=last");
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->isUndo());
    EXPECT_FALSE(last->undoneRequestID());
    EXPECT_EQ(*last, HandoffURL::undo(std::nullopt));
    EXPECT_NE(*undo, HandoffURL::send(*Uuid::parse(upperID)));

    for (const std::string& text : std::vector<std::string>{"ambrevoli://undo?request=LAST", "ambrevoli://undo",
                                   "ambrevoli://undo?request=" + lowerID,
                                   "ambrevoli://send?request=last"})
        EXPECT_FALSE(HandoffURL::parse(text)) << text;
}

TEST(HandoffURLTest, ParsesNothingButTheExactTexts)
{
    const std::string send = "ambrevoli://send?request=";
    const std::string rejected[] = {
        send + lowerID,                            // lower-case identifier
        send + upperID + "&request=" + upperID,    // repeated item
        "ambrevoli://send?x=1&request=" + upperID, // item before
        send + upperID + "&x=1",                   // item after
        "ambrevoli://send/?request=" + upperID,    // path
        "ambrevoli://settings/",
        "ambrevoli://settings#top", // fragment
        send + upperID + "#x",
        "ambrevoli://settings:80", // port
        "ambrevoli://me@settings", // user information
        "Ambrevoli://settings",    // scheme case
        "ambrevoli://Settings",    // host case
        "ambrevoli://SEND?request=" + upperID,
        "ambrevoli://send", // no query
        "ambrevoli://send?",
        "ambrevoli://send?request",                         // no "="
        "ambrevoli://send?request=",                        // empty value
        "ambrevoli://send?request=" + upperID.substr(1),    // not an identifier
        "ambrevoli://send?request=%33" + upperID.substr(1), // percent-encoded digit
        "ambrevoli:settings",                               // no authority
        "ambrevoli:///settings",
        "other://settings",
        "ambrevoli://update",
        "ambrevoli://",
        " ambrevoli://settings",
        "ambrevoli://settings ",
        std::string("ambrevoli://settings\0", 21),
        "",
        "://settings",
    };
    for (const auto& text : rejected)
        EXPECT_FALSE(HandoffURL::parse(text)) << '"' << text << '"';
}

TEST(HandoffURLTest, Equality)
{
    const Uuid id = Uuid::random();
    EXPECT_EQ(HandoffURL::send(id), HandoffURL::send(*Uuid::parse(id.text())));
    EXPECT_NE(HandoffURL::send(id), HandoffURL::send(Uuid::random()));
    EXPECT_NE(HandoffURL::settings(), HandoffURL::send(Uuid()));
    EXPECT_EQ(HandoffURL::settings(), HandoffURL::settings());
    EXPECT_FALSE(HandoffURL::settings().requestID());
}

} // namespace
} // namespace ambrevoli
