#include "log.h"

#include "request_inbox.h"

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

namespace ambrevoli {
namespace {

TEST(LogTest, LoggersAreKeptPerCategoryUnderTheBundleIdentifier)
{
    const Logger& requests = logger("requests");
    EXPECT_EQ(&requests, &logger("requests"));
    EXPECT_NE(&requests, &logger("settings"));
    EXPECT_EQ(requests.subsystem(), "ambrevoli.tests");
    EXPECT_EQ(requests.category(), "requests");
}

TEST(LogTest, SharedLineShapesRedactPrivateArguments)
{
    LogCapture capture;
    const Uuid id = *Uuid::parse("3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F");
    logDetail(logger("requests"), "Couldn't read request " + id.text(),
              textualForm(RequestInboxError::notFound(id)));
    logError(logger("settings"), "Couldn't save destinations", SystemError{ENOSPC});
    logger("copy").log(LogLevel::standard, "Copied ", 3, " of ", 4, " items to ",
                       Private{"/home/me/Backups"});

    const auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, LogLevel::standard);
    EXPECT_EQ(records[0].category, "requests");
    EXPECT_EQ(records[0].text,
              "Couldn't read request 3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F: <private>");
    EXPECT_EQ(records[0].revealed, "Couldn't read request 3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F: "
                                   "notFound(3F2C8A4E-1B7D-4C9A-9E21-0A5B6C7D8E9F)");
    EXPECT_EQ(records[1].level, LogLevel::error);
    EXPECT_EQ(records[1].text, "Couldn't save destinations: POSIX 28 <private>");
    EXPECT_EQ(records[1].revealed,
              "Couldn't save destinations: POSIX 28 No space left on device (errno 28)");
    EXPECT_EQ(records[2].text, "Copied 3 of 4 items to <private>");
}

TEST(LogTest, LinesFromManyThreadsAreAllKept)
{
    LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i)
                logger("thread" + std::to_string(t % 3)).log(LogLevel::standard, "line ", i);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(capture.records().size(), 800u);
}

// The sink and the privacy setting are read once per process, so these run in a fresh child.
class LogSinkTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(LogSinkTest, StderrLineShowsPrivateArgumentsOnlyWhenAskedTo)
{
    ::setenv("AMBREVOLI_LOG", "stderr", 1);
    ::setenv("AMBREVOLI_LOG_PRIVATE", "1", 1);
    EXPECT_EXIT(
        {
            logDetail(logger("requests"), "Couldn't read request", "/tmp/a b");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^ambrevoli\\.tests\\[requests\\] default: Couldn't read request: /tmp/a b\n$");

    ::unsetenv("AMBREVOLI_LOG_PRIVATE");
    EXPECT_EXIT(
        {
            logError(logger("copy"), "Couldn't remove", SystemError{EACCES});
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "^ambrevoli\\.tests\\[copy\\] error: Couldn't remove: POSIX 13 <private>\n$");

    ::setenv("AMBREVOLI_LOG_LEVEL", "error", 1);
    EXPECT_EXIT(
        {
            logDetail(logger("requests"), "dropped", "x");
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
    ::unsetenv("AMBREVOLI_LOG_LEVEL");
    ::unsetenv("AMBREVOLI_LOG");
}

// Whether this process may give a child a mount namespace of its own (root, no seccomp veto).
bool canUnshareMounts()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::unshare(CLONE_NEWNS) == 0 ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

// A journal of our own at the well-known socket, in a private mount namespace: the line reaches
// it through the journal library the kit loads on first use, with nothing on stderr.
TEST_F(LogSinkTest, LineGoesToTheJournalWhenOneListens)
{
    if (!canUnshareMounts())
        GTEST_SKIP() << "needs a private mount namespace (root) to put a journal socket in /run";
    EXPECT_EXIT(
        {
            const auto fail = [](const char* what) {
                std::perror(what);
                std::exit(1);
            };
            if (::unshare(CLONE_NEWNS) != 0 ||
                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") != 0)
                fail("namespace");
            ::mkdir("/run/systemd", 0755);
            ::mkdir("/run/systemd/journal", 0755);
            const int journal = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::snprintf(address.sun_path, sizeof address.sun_path, "/run/systemd/journal/socket");
            if (journal < 0 ||
                ::bind(journal, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
                fail("journal socket");

            logError(logger("copy"), "Couldn't remove", SystemError{EACCES});

            char buffer[4096];
            const ssize_t n = ::recv(journal, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0)
                fail("no journal entry");
            const std::string entry(buffer, static_cast<std::size_t>(n));
            for (const char* field :
                 {"MESSAGE=Couldn't remove: POSIX 13 <private>\n", "PRIORITY=3\n",
                  "SYSLOG_IDENTIFIER=ambrevoli.tests\n", "CATEGORY=copy\n"})
                if (entry.find(field) == std::string::npos) {
                    std::fprintf(stderr, "entry lacks %s: %s", field, entry.c_str());
                    std::exit(1);
                }
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "^$");
}

} // namespace
} // namespace ambrevoli
