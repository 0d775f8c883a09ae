#include "host_connection.h"

#include "fake_listener.h"
#include "scoped_env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <functional>

namespace ambrevoli {
namespace {

using namespace std::chrono_literals;
using testing::FakeListener;
using testing::ForeignListener;
using testing::ScopedEnv;
using testing::ScopedTempDir;

std::string outcomes(const std::vector<OutcomeRecord>& records)
{
    std::string out;
    for (const OutcomeRecord& record : records)
        out += record.encode();
    return out;
}

TEST(HostConnectionTest, HandsTheMessageOverAndReadsTheReceiptThenTheOutcome)
{
    ScopedTempDir temp;
    const std::string socket = temp / "run/ambrevoli/instance";
    const std::vector<OutcomeRecord> told = {
        OutcomeRecord::line("Copied 1 of 2 items"),
        OutcomeRecord::line("Couldn't copy (missing): /home/me/gone \xC3\xBC"),
        OutcomeRecord::end(false)};
    FakeListener host(socket, std::string("kam") + outcomes(told));
    ASSERT_TRUE(host.listening());

    HostMessage message{false, {"ambrevoli://send?request=X"}, {"/a", "/b"}, "token"};
    message.waitsForOutcome = true;
    auto connection = HostConnection::handOff(socket, message, 5s);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->folderReceipt(), "am");
    for (const OutcomeRecord& record : told)
        EXPECT_EQ(connection->nextOutcome(), record);
    // The end is the end: nothing is read after it.
    EXPECT_EQ(connection->nextOutcome(), std::nullopt);
    EXPECT_EQ(host.messages(), std::vector<HostMessage>{message});
}

TEST(HostConnectionTest, AHostThatStopsBeforeTheEndLeavesNoOutcome)
{
    ScopedTempDir temp;
    const std::string socket = temp / "instance";
    FakeListener host(socket, "k" + OutcomeRecord::line("Copied 1 of 1 items").encode());
    HostMessage message{false, {"ambrevoli://send?request=X"}, {}, {}};
    message.waitsForOutcome = true;
    auto connection = HostConnection::handOff(socket, message, 5s);
    ASSERT_TRUE(connection);
    EXPECT_EQ(connection->nextOutcome(), OutcomeRecord::line("Copied 1 of 1 items"));
    EXPECT_EQ(connection->nextOutcome(), std::nullopt);
}

// Every way of not being taken ends in no connection, within the patience given.
TEST(HostConnectionTest, NoHostTakesTheMessage)
{
    const HostMessage message{false, {"ambrevoli://send?request=X"}, {"/a"}, {}};
    struct Case {
        const char* name;
        std::function<std::unique_ptr<FakeListener>(const std::string& socket)> arrange;
    } cases[] = {
        {"no socket", [](auto&) { return nullptr; }},
        {"a socket left by a host that died",
         [](const std::string& socket) {
             ::close(testing::bindSocket(socket, false));
             return nullptr;
         }},
        {"a host too busy to answer",
         [](const std::string& socket) { return std::make_unique<FakeListener>(socket, ""); }},
        {"an answer that is no receipt",
         [](const std::string& socket) { return std::make_unique<FakeListener>(socket, "no"); }},
        {"a receipt short of a folder",
         [](const std::string& socket) { return std::make_unique<FakeListener>(socket, "k"); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedTempDir temp;
        const std::string socket = temp / "instance";
        const auto listener = c.arrange(socket);
        EXPECT_FALSE(HostConnection::handOff(socket, message, 100ms));
    }
    EXPECT_FALSE(HostConnection::handOff("", message, 100ms));
    EXPECT_FALSE(HostConnection::handOff("/" + std::string(200, 'x'), message, 100ms));
}

TEST(HostConnectionTest, AListenerOfAnotherUserIsToldNothing)
{
    ScopedTempDir temp;
    ::chmod(temp.path().c_str(), 0777);
    const std::string socket = temp / "instance";
    ForeignListener other(socket);
    if (!other.ready())
        GTEST_SKIP() << "needs root to run a listener as nobody";
    const HostMessage message{false, {"ambrevoli://send?request=X"}, {}, {}};
    EXPECT_FALSE(HostConnection::handOff(socket, message, 1s));
    EXPECT_EQ(other.bytesReceived(), 0);
}

TEST(HostConnectionTest, SocketPathPrefersTheRuntimeDirectory)
{
    {
        ScopedEnv runtime("XDG_RUNTIME_DIR", "/run/user/1000");
        EXPECT_EQ(HostConnection::socketPath("/data/ambrevoli"),
                  "/run/user/1000/ambrevoli/instance");
    }
    for (const char* unusable : {"", "relative/run"}) {
        ScopedEnv runtime("XDG_RUNTIME_DIR", unusable);
        EXPECT_EQ(HostConnection::socketPath("/data/ambrevoli"), "/data/ambrevoli/instance");
        EXPECT_EQ(HostConnection::socketPath(""), "");
    }
}

TEST(OutcomeRecordTest, DecodesWhatIsEncodedAndRefusesTheRest)
{
    for (const OutcomeRecord& record :
         {OutcomeRecord::line("Destination: Drop at /home/me/Drop"), OutcomeRecord::line(""),
          OutcomeRecord::end(true), OutcomeRecord::end(false)}) {
        const std::string bytes = record.encode() + "l";
        const auto decoded = decodeOutcome(bytes);
        ASSERT_TRUE(decoded) << bytes;
        EXPECT_EQ(decoded->record, record);
        EXPECT_EQ(decoded->consumed, bytes.size() - 1);
    }
    // A NUL in a line would cut it in two records; it is left out.
    EXPECT_EQ(decodeOutcome(OutcomeRecord::line(std::string("a\0b", 3)).encode())->record,
              OutcomeRecord::line("ab"));

    const std::pair<std::string, std::optional<std::size_t>> cases[] = {
        {"", 0},                               // nothing yet
        {"lCopied 1 of", 0},                   // a line still coming
        {std::string("x1\0", 3), 3},           // a whole end
        {std::string("z\0", 2), std::nullopt}, // an unknown record
        {std::string("x2\0", 3), std::nullopt},
        {std::string("x\0", 2), std::nullopt},
        {std::string("l\xff\0", 3), std::nullopt}, // not UTF-8
    };
    for (const auto& [bytes, consumed] : cases) {
        const auto decoded = decodeOutcome(bytes);
        ASSERT_EQ(decoded.has_value(), consumed.has_value()) << bytes;
        if (decoded) {
            EXPECT_EQ(decoded->consumed, *consumed) << bytes;
        }
    }
}

} // namespace
} // namespace ambrevoli
