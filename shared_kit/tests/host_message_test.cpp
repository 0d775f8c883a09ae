#include "host_message.h"

#include <gtest/gtest.h>

#include <string>

namespace ambrevoli {
namespace {

using namespace std::string_literals;

TEST(HostMessageTest, DecodesWhatIsEncoded)
{
    HostMessage everything{true,
                           {"ambrevoli://settings", "x y"},
                           {"/home/me/Drop", "/tmp/line\nbreak", "/tmp/\xC3\xBC"},
                           "gnome-shell/Files/2741-7-host_TIME123456"};
    everything.reopens = true;
    everything.waitsForOutcome = true;
    everything.wantsProgress = true;
    everything.hasDisplay = true;
    HostMessage waiting{false, {"ambrevoli://send?request=X"}, {}, {}};
    waiting.waitsForOutcome = true;
    for (const HostMessage& message : {HostMessage{}, everything, waiting}) {
        const auto decoded = HostMessage::decode(message.encode());
        ASSERT_TRUE(decoded) << message.encode();
        EXPECT_EQ(*decoded, message);
    }
}

TEST(HostMessageTest, RefusesWhatIsNotExactlyAMessage)
{
    const std::string head("AMBV1\0", 6);
    const struct {
        const char* name;
        std::string bytes;
    } cases[] = {
        {"empty", ""},
        {"other magic", "AMBV2\0a0\0"s},
        {"no activates", head + "u/x\0"s},
        {"activates twice", head + "a1\0a0\0"s},
        {"activates not 0/1", head + "ayes\0"s},
        {"two tokens", head + "a1\0tA\0tB\0"s},
        {"empty token", head + "a1\0t\0"s},
        {"unknown record", head + "a0\0z/x\0"s},
        {"unterminated", head + "a0\0u/x"s},
        {"not UTF-8", head + "a0\0f/\xff\0"s},
        {"relative folder", head + "a0\0fDrop\0"s},
        {"empty folder", head + "a0\0f\0"s},
        {"reopens twice", head + "a1\0r\0r\0"s},
        {"reopens with text", head + "a1\0r1\0"s},
        {"waits twice", head + "a0\0w\0w\0"s},
        {"waits with text", head + "a0\0wyes\0"s},
        {"progress twice", head + "a0\0w\0p\0p\0"s},
        {"progress with text", head + "a0\0w\0p1\0"s},
        {"progress without waiting", head + "a0\0p\0"s},
        {"display twice", head + "a1\0d\0d\0"s},
        {"display with text", head + "a1\0d:0\0"s},
        {"too large", head + "a0\0u"s + std::string(HostMessage::maxSize, 'x') + '\0'},
    };
    for (const auto& c : cases)
        EXPECT_FALSE(HostMessage::decode(c.bytes)) << c.name;
}

} // namespace
} // namespace ambrevoli
