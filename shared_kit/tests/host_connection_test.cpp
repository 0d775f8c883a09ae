#include "host_connection.h"

#include "cancel_record.h"
#include "fake_listener.h"
#include "scoped_env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>
#include <functional>
#include <future>

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
    EXPECT_EQ(connection->receipt(),
              (HostReceipt{{FolderOutcome::added, FolderOutcome::missing}}));
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

// A waiting sender sleeps in nextOutcome until either the host writes or the wake-up descriptor
// (its signal handler's pipe) is readable, and may cancel on the same connection.
TEST(HostConnectionTest, AWaitEndsAtAWakeUpAndTheCancelGoesToTheHost)
{
    ScopedTempDir temp;
    const std::string socket = temp / "instance";
    const UniqueFd listener(testing::bindSocket(socket, true));
    ASSERT_TRUE(listener);
    auto accepted = std::async(std::launch::async, [&] {
        UniqueFd client(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (client && testing::readFramed(client.get()))
            (void)!::send(client.get(), "k", 1, MSG_NOSIGNAL);
        return client;
    });
    HostMessage message{false, {"ambrevoli://send?request=X"}, {}, {}};
    message.waitsForOutcome = true;
    auto connection = HostConnection::handOff(socket, message, 5s);
    ASSERT_TRUE(connection);
    const UniqueFd host = accepted.get();
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC | O_NONBLOCK), 0);
    const UniqueFd wakeReader(pipe[0]), wakeWriter(pipe[1]);
    const auto hostSends = [&](std::string_view bytes) {
        ASSERT_EQ(::send(host.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL),
                  ssize_t(bytes.size()));
    };
    using NoOutcome = HostConnection::NoOutcome;

    ASSERT_EQ(::write(wakeWriter.get(), "x", 1), 1);
    EXPECT_EQ(connection->nextOutcome(wakeReader.get()), std::unexpected(NoOutcome::woken));
    // A record the host sent is read before the wake-up is heeded; part of one is kept for later.
    hostSends(OutcomeRecord::line("Copied 1 of 2 items").encode() + "lCopied");
    EXPECT_EQ(connection->nextOutcome(wakeReader.get()),
              OutcomeRecord::line("Copied 1 of 2 items"));
    EXPECT_EQ(connection->nextOutcome(wakeReader.get()), std::unexpected(NoOutcome::woken));

    EXPECT_TRUE(connection->cancel());
    char got[2] = {};
    EXPECT_EQ(::recv(host.get(), got, sizeof got, 0), 1);
    EXPECT_EQ(got[0], cancelMark);

    char drained;
    ASSERT_EQ(::read(wakeReader.get(), &drained, 1), 1);
    hostSends(std::string(" 2 of 2 items\0", 14) + OutcomeRecord::end(false).encode());
    EXPECT_EQ(connection->nextOutcome(wakeReader.get()),
              OutcomeRecord::line("Copied 2 of 2 items"));
    EXPECT_EQ(connection->nextOutcome(wakeReader.get()), OutcomeRecord::end(false));
    // After the end there is nothing more to wait for, nor to cancel.
    EXPECT_EQ(connection->nextOutcome(wakeReader.get()), std::unexpected(NoOutcome::lost));
    EXPECT_FALSE(connection->cancel());
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

// The folders around the socket, each case built in a fresh runtime directory: what the check
// refuses, in words, and what it lets through.
TEST(HostConnectionTest, TheSocketFolderMustBeThisUsersAlone)
{
    constexpr uid_t nobody = 65534;
    struct Case {
        const char* name;
        std::function<void(const std::string& runtime)> build;
        bool create;
        std::string fault; // "{}" stands for the runtime directory; empty when accepted
    };
    const auto folder = [](mode_t mode) {
        return [mode](const std::string& runtime) {
            ::mkdir((runtime + "/ambrevoli").c_str(), 0700);
            ::chmod((runtime + "/ambrevoli").c_str(), mode);
        };
    };
    const Case cases[] = {
        {"missing, not created", [](const std::string&) {}, false, ""},
        {"missing, created", [](const std::string&) {}, true, ""},
        {"private", folder(0700), false, ""},
        {"open to others", folder(0755), true, "{}/ambrevoli is open to others (mode 0755)"},
        {"another user's",
         [&](const std::string& runtime) {
             folder(0700)(runtime);
             (void)!::chown((runtime + "/ambrevoli").c_str(), nobody, nobody);
         },
         true, "{}/ambrevoli is owned by user 65534"},
        {"a link to a private folder",
         [&](const std::string& runtime) {
             ::mkdir((runtime + "/elsewhere").c_str(), 0700);
             (void)!::symlink("elsewhere", (runtime + "/ambrevoli").c_str());
         },
         true, "{}/ambrevoli is a symbolic link"},
        {"a file", [](const std::string& runtime) { std::ofstream(runtime + "/ambrevoli") << "x"; },
         true, "{}/ambrevoli is not a folder"},
        {"runtime directory open to others",
         [](const std::string& runtime) { ::chmod(runtime.c_str(), 0711); }, true,
         "{} is open to others (mode 0711)"},
    };
    for (const Case& c : cases) {
        ScopedTempDir runtime;
        ScopedEnv variable("XDG_RUNTIME_DIR", runtime.path().c_str());
        c.build(runtime.path());
        const std::string socket = HostConnection::socketPath("/unused");
        const auto checked = HostConnection::checkSocketFolder(socket, c.create);
        std::string fault = c.fault;
        if (const auto at = fault.find("{}"); at != std::string::npos)
            fault.replace(at, 2, runtime.path());
        if (fault.empty()) {
            EXPECT_TRUE(checked) << c.name << ": " << textualForm(checked.error());
        } else if (::geteuid() != 0 && std::string_view(c.name) == "another user's") {
            continue; // only root can give a folder away
        } else {
            ASSERT_FALSE(checked) << c.name;
            EXPECT_EQ(textualForm(checked.error()), fault) << c.name;
        }
        struct stat status {};
        if (std::string_view(c.name).starts_with("missing")) {
            EXPECT_EQ(::lstat((runtime / "ambrevoli").c_str(), &status) == 0, c.create) << c.name;
            if (c.create) {
                EXPECT_EQ(status.st_mode & 07777, 0700u) << c.name;
            }
        }
    }

    // A socket straight in a folder of its own (the container) may live in one others can read.
    ScopedTempDir container;
    ScopedEnv noRuntime("XDG_RUNTIME_DIR", "");
    ::chmod(container.path().c_str(), 0755);
    EXPECT_TRUE(HostConnection::checkSocketFolder(container / "instance", false));
    ::chmod(container.path().c_str(), 0775);
    EXPECT_EQ(textualForm(HostConnection::checkSocketFolder(container / "instance", false).error()),
              container.path() + " is open to others (mode 0775)");
}

} // namespace
} // namespace ambrevoli
