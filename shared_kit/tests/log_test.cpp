#include "log.h"

#include "request_inbox.h"

#include <gtest/gtest.h>

#include <cstdlib>
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

} // namespace
} // namespace ambrevoli
