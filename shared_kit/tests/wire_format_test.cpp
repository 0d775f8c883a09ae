// The bytes on the host's socket, fixed. A file manager keeps the module it loaded until it
// restarts, so a sender of the installed version talks to a host of a newer one (and a host
// that has not restarted to a newer sender): whatever either side encodes must stay byte for
// byte what the other decodes. A change here is a change of the wire, not a refactoring.
#include "cancel_record.h"
#include "host_message.h"
#include "host_receipt.h"
#include "outcome_record.h"
#include "wire_frame.h"

#include <gtest/gtest.h>

#include <string>

namespace ambrevoli {
namespace {

using namespace std::string_literals;

TEST(WireFormatTest, MessagesKeepTheirBytes)
{
    HostMessage everything{true,
                           {"ambrevoli://send?request=X", "ambrevoli://settings"},
                           {"/home/me/Drop"},
                           "tok-1"};
    everything.reopens = true;
    everything.waitsForOutcome = true;
    everything.wantsProgress = true;
    everything.hasDisplay = true;
    HostMessage waiting{false, {"ambrevoli://send?request=Y"}, {}, {}};
    waiting.waitsForOutcome = true;
    const struct {
        const char* name;
        HostMessage message;
        std::string bytes; // framed
    } cases[] = {
        {"a plain start", {}, "\0\0\0\x09"
                              "AMBV1\0a0\0"s},
        {"a click", {false, {"ambrevoli://send?request=X"}, {}, {}},
         "\0\0\0\x25"
         "AMBV1\0a0\0uambrevoli://send?request=X\0"s},
        {"a waiting sender", waiting,
         "\0\0\0\x27"
         "AMBV1\0a0\0uambrevoli://send?request=Y\0w\0"s},
        {"every field", everything,
         "\0\0\0\x59"
         "AMBV1\0a1\0uambrevoli://send?request=X\0uambrevoli://settings\0f/home/me/Drop\0"
         "ttok-1\0r\0w\0p\0d\0"s},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(framed(c.message.encode()), c.bytes);
        EXPECT_EQ(HostMessage::decode(std::string_view(c.bytes).substr(4)), c.message);
    }
    // The length goes most significant byte first.
    const HostMessage longer{false, {std::string(300, 'x')}, {}, {}};
    EXPECT_EQ(framed(longer.encode()).substr(0, 4), "\0\0\x01\x37"s);
}

TEST(WireFormatTest, OutcomeRecordsKeepTheirBytes)
{
    const struct {
        OutcomeRecord record;
        std::string bytes;
    } cases[] = {
        {OutcomeRecord::line("Copied 1 of 2 items"), "lCopied 1 of 2 items\0"s},
        {OutcomeRecord::end(true), "x1\0"s},
        {OutcomeRecord::end(false), "x0\0"s},
        {OutcomeRecord::progress({3, 10, 4'700'000, 12'000'000}), "p3 10 4700000 12000000\0"s},
        {OutcomeRecord::progress({1, 2, 123, std::nullopt}), "p1 2 123 -\0"s},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.record.encode(), c.bytes);
        const auto decoded = decodeOutcome(c.bytes);
        ASSERT_TRUE(decoded) << c.bytes;
        EXPECT_EQ(decoded->record, c.record);
        EXPECT_EQ(decoded->consumed, c.bytes.size());
    }
}

TEST(WireFormatTest, ReceiptsAndCancelsKeepTheirBytes)
{
    const HostReceipt every{{FolderOutcome::added, FolderOutcome::alreadyThere,
                             FolderOutcome::missing, FolderOutcome::notAFolder,
                             FolderOutcome::inaccessible, FolderOutcome::notSaved}};
    EXPECT_EQ(every.encode(), "kaemnis");
    EXPECT_EQ(decodeReceipt("kaemnis", 6)->receipt, every);
    EXPECT_EQ(HostReceipt{}.encode(), "k");

    EXPECT_EQ(cancelMark, 'c');
    EXPECT_TRUE(asksToCancel("c"));
    EXPECT_FALSE(asksToCancel("xz"));
}

} // namespace
} // namespace ambrevoli
