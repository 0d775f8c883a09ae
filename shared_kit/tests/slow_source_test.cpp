#include "slow_source.h"
#include "temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace ambrevoli::testing {
namespace {

constexpr std::uint64_t mebibyte = 1 << 20;

// Whether `folder` is a mount point in this process's view.
bool isMountPoint(const std::string& folder)
{
    std::ifstream mountinfo("/proc/self/mountinfo");
    for (std::string line; std::getline(mountinfo, line);) {
        std::istringstream fields(line);
        std::string id, parent, device, root, mountPoint;
        if (fields >> id >> parent >> device >> root >> mountPoint && mountPoint == folder)
            return true;
    }
    return false;
}

// Whether this process has a child left, ended or not.
bool hasChildren()
{
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

void writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string servedBytes(std::string_view name, std::uint64_t size)
{
    std::string bytes(size, '\0');
    SlowSourceContent(name).fill(0, std::span(bytes.data(), bytes.size()));
    return bytes;
}

TEST(SlowSource, ServesItsFilesReadOnlyAndLeavesNothingBehind)
{
    ScopedTempDir dir;
    const std::vector<SlowSource::File> files = {
        {"big.bin", 3 * mebibyte + 17}, {"small", 5000}, {"empty", 0}};
    const std::string folder = dir / "source";
    {
        auto source = SlowSource::mount(folder, files, 16 * mebibyte);
        if (!source)
            GTEST_SKIP() << source.error();
        EXPECT_EQ(source->folder(), folder);
        EXPECT_TRUE(isMountPoint(folder));

        std::set<std::string> listed;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            listed.insert(entry.path().filename());
        EXPECT_EQ(listed, (std::set<std::string>{"big.bin", "small", "empty"}));

        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode, S_IFDIR | 0555);
        for (const auto& file : files) {
            SCOPED_TRACE(file.name);
            ASSERT_EQ(::stat(source->path(file.name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode, S_IFREG | 0444);
            EXPECT_EQ(static_cast<std::uint64_t>(st.st_size), file.size);
            EXPECT_GE(static_cast<std::uint64_t>(st.st_blocks) * 512, file.size);
            EXPECT_EQ(st.st_uid, ::getuid());
            EXPECT_EQ(st.st_gid, ::getgid());
            EXPECT_EQ(SlowSource::mismatch(source->path(file.name), file), std::nullopt);
        }

        errno = 0;
        EXPECT_LT(::open(source->path("small").c_str(), O_WRONLY | O_CLOEXEC), 0);
        EXPECT_EQ(errno, EROFS);
        EXPECT_LT(::open(source->path("new").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644), 0);
        EXPECT_EQ(errno, EROFS);
    }
    EXPECT_FALSE(isMountPoint(folder));
    EXPECT_FALSE(hasChildren());
}

// A test that cancels a copy ends the source while the copy still reads from it.
TEST(SlowSource, EndsWhileAReadIsInFlight)
{
    ScopedTempDir dir;
    const SlowSource::File big{"big.bin", 64 * mebibyte};
    std::atomic<bool> started = false;
    std::uint64_t readBytes = 0;
    int readError = 0;
    std::thread reader;
    {
        // A minute's worth at this rate: still reading when the source ends.
        auto source = SlowSource::mount(dir / "source", {big}, mebibyte);
        if (!source)
            GTEST_SKIP() << source.error();
        const int fd = ::open(source->path(big.name).c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        reader = std::thread([&, fd] {
            std::vector<char> buffer(64 * 1024);
            for (;;) {
                const ssize_t count = ::read(fd, buffer.data(), buffer.size());
                if (count < 0 && errno == EINTR)
                    continue;
                if (count <= 0) {
                    readError = count < 0 ? errno : 0;
                    break;
                }
                readBytes += static_cast<std::uint64_t>(count);
                started = true;
            }
            ::close(fd);
        });
        while (!started)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    reader.join();
    EXPECT_LT(readBytes, big.size);
    EXPECT_NE(readError, 0) << "the read ended as if the file were shorter";
    EXPECT_FALSE(isMountPoint(dir / "source"));
    EXPECT_FALSE(hasChildren());
}

// A program that crashed leaves a mount nobody answers for; the test must not leave it behind.
TEST(SlowSource, UnmountsWhenTheProgramDied)
{
    ScopedTempDir dir;
    const std::string folder = dir / "source";
    {
        auto source = SlowSource::mount(folder, {{"a", 10}}, 0);
        if (!source)
            GTEST_SKIP() << source.error();
        std::ifstream children("/proc/self/task/" + std::to_string(::getpid()) + "/children");
        pid_t program = 0;
        ASSERT_TRUE(children >> program);
        ASSERT_EQ(::kill(program, SIGKILL), 0);
        siginfo_t info{};
        ASSERT_EQ(::waitid(P_PID, program, &info, WEXITED | WNOWAIT), 0);
        struct stat st {};
        EXPECT_NE(::stat(source->path("a").c_str(), &st), 0);
        EXPECT_EQ(errno, ENOTCONN);
    }
    EXPECT_FALSE(isMountPoint(folder));
    EXPECT_FALSE(hasChildren());
}

TEST(SlowSource, SaysWhyItDidNotMount)
{
    if (const auto reason = SlowSource::unavailableReason())
        GTEST_SKIP() << *reason;
    ScopedTempDir dir;
    const auto source = SlowSource::mount(dir / "source", {{"a/b", 1}}, 0);
    ASSERT_FALSE(source);
    EXPECT_NE(source.error().find("not a file name: a/b"), std::string::npos) << source.error();
    EXPECT_FALSE(isMountPoint(dir / "source"));
    EXPECT_FALSE(hasChildren());
}

// The check other tests rely on to tell a faithful copy from a damaged one.
TEST(SlowSource, MismatchTellsWhereACopyDiffers)
{
    ScopedTempDir dir;
    const SlowSource::File served{"data.bin", 3 * mebibyte + 5};
    const std::string exact = servedBytes(served.name, served.size);
    std::string flipped = exact;
    flipped[2 * mebibyte + 3] ^= 1;
    // A block repeated in place of the next one.
    std::string repeated = exact;
    repeated.replace(4096, 4096, exact, 0, 4096);

    using ::testing::EndsWith;
    using ::testing::HasSubstr;
    using ::testing::Optional;
    const struct {
        const char* label;
        std::string bytes;
        ::testing::Matcher<std::optional<std::string>> mismatch;
    } cases[] = {
        {"exact", exact, std::optional<std::string>()},
        {"flipped", flipped,
         Optional(EndsWith(" differs from data.bin at byte " + std::to_string(2 * mebibyte + 3)))},
        {"repeated block", repeated, Optional(EndsWith(" differs from data.bin at byte 4096"))},
        // Where two names' bytes first differ is up to the content rule; that they do is not.
        {"another file's", servedBytes("other.bin", served.size),
         Optional(HasSubstr(" differs from data.bin at byte "))},
        {"short", exact.substr(0, exact.size() - 1),
         Optional(EndsWith(" holds 3145732 of the 3145733 bytes of data.bin"))},
        {"empty", "", Optional(EndsWith(" holds 0 of the 3145733 bytes of data.bin"))},
        {"long", exact + "x", Optional(EndsWith(" is longer than the 3145733 bytes of data.bin"))},
    };
    for (const auto& c : cases) {
        const std::string path = dir / c.label;
        writeFile(path, c.bytes);
        EXPECT_THAT(SlowSource::mismatch(path, served), c.mismatch) << c.label;
    }
    EXPECT_EQ(SlowSource::mismatch(dir / "missing", served), "can't open " + (dir / "missing"));
}

} // namespace
} // namespace ambrevoli::testing
