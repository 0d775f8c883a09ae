#include "request_inbox.h"

#include "date_time.h"
#include "file_util.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace ambrevoli {
namespace {

namespace fs = std::filesystem;
using testing::ScopedTempDir;

SendRequest makeRequest(Uuid id = Uuid::random())
{
    return SendRequest(id, 1714555800, Uuid::random(), {"/home/me/a.txt", "/home/me/b"});
}

void writeText(const std::string& path, std::string_view text)
{
    std::ofstream(path, std::ios::binary) << text;
}

// Sets a file's modification time to `seconds` since 1970.
void setModified(const std::string& path, double seconds)
{
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

template <class E> bool failedWith(const auto& result, const E& error)
{
    return !result && std::holds_alternative<E>(result.error()) &&
           std::get<E>(result.error()) == error;
}

class RequestInboxTest : public ::testing::Test {
protected:
    ScopedTempDir temp;
    std::string folder = temp / "container/Requests";
    RequestInbox inbox{folder};

    std::string pathFor(const Uuid& id) const { return folder + "/" + RequestInbox::fileName(id); }
};

TEST_F(RequestInboxTest, WriteCreatesTheFolderAndTakeHandsTheRequestOutOnce)
{
    const SendRequest request = makeRequest();
    const auto written = inbox.write(request);
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, pathFor(request.id()));
    EXPECT_EQ(fs::directory_entry(folder).is_directory(), true);
    // Only the request file: no temporary left beside it.
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 1);

    EXPECT_EQ(inbox.take(request.id()), request);
    EXPECT_FALSE(fs::exists(*written));
    EXPECT_TRUE(failedWith(inbox.take(request.id()), RequestInboxError::notFound(request.id())));
}

TEST_F(RequestInboxTest, TakeFromAMissingInboxIsNotFound)
{
    const Uuid id = Uuid::random();
    EXPECT_TRUE(failedWith(inbox.take(id), RequestInboxError::notFound(id)));
}

TEST_F(RequestInboxTest, SizeLimitIsInclusive)
{
    RequestInbox small(folder, 1000);
    const SendRequest request = makeRequest();
    std::string json = *request.jsonData();
    json.append(1000 - json.size(), ' '); // exactly the limit, still valid JSON
    ASSERT_TRUE(makeDirectories(folder, 0700));
    writeText(pathFor(request.id()), json);
    EXPECT_EQ(small.take(request.id()), request);

    writeText(pathFor(request.id()), json + " ");
    EXPECT_TRUE(failedWith(small.take(request.id()), RequestInboxError::tooLarge(request.id())));
    EXPECT_TRUE(fs::exists(pathFor(request.id()))); // kept for the sweep
}

TEST_F(RequestInboxTest, RefusesLinksAndSpecialFilesWithoutTouchingThem)
{
    ASSERT_TRUE(makeDirectories(folder, 0700));
    // A link named like a request, pointing at a valid request file elsewhere.
    const SendRequest request = makeRequest();
    const std::string target = temp / "target.json";
    writeText(target, *request.jsonData());
    ASSERT_EQ(::symlink(target.c_str(), pathFor(request.id()).c_str()), 0);
    EXPECT_TRUE(
        failedWith(inbox.take(request.id()), RequestInboxError::notARegularFile(request.id())));
    EXPECT_TRUE(fs::is_symlink(pathFor(request.id())));
    EXPECT_TRUE(fs::exists(target));

    const Uuid fifo = Uuid::random();
    ASSERT_EQ(::mkfifo(pathFor(fifo).c_str(), 0600), 0);
    EXPECT_TRUE(failedWith(inbox.take(fifo), RequestInboxError::notARegularFile(fifo)));

    const Uuid folderID = Uuid::random();
    ASSERT_EQ(::mkdir(pathFor(folderID).c_str(), 0700), 0);
    EXPECT_TRUE(failedWith(inbox.take(folderID), RequestInboxError::notARegularFile(folderID)));

    // A socket cannot be opened at all: the system's error passes through.
    const Uuid socketID = Uuid::random();
    int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = pathFor(socketID);
    if (socketPath.size() < sizeof address.sun_path) {
        std::strcpy(address.sun_path, socketPath.c_str());
        ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_TRUE(failedWith(inbox.take(socketID), SystemError{ENXIO}));
    }
    ::close(sock);
}

TEST_F(RequestInboxTest, AnInboxSwappedForALinkIsUnsafe)
{
    const std::string real = temp / "elsewhere";
    ASSERT_TRUE(makeDirectories(real, 0700));
    const SendRequest request = makeRequest();
    ASSERT_TRUE(RequestInbox(real).write(request));
    ASSERT_TRUE(makeDirectories(temp / "container", 0700));
    ASSERT_EQ(::symlink(real.c_str(), folder.c_str()), 0);

    EXPECT_TRUE(failedWith(inbox.take(request.id()), RequestInboxError::unsafeInbox()));
    EXPECT_TRUE(failedWith(inbox.sweep(now() + 10000, 600), RequestInboxError::unsafeInbox()));
    EXPECT_TRUE(fs::exists(real + "/" + RequestInbox::fileName(request.id())));

    // A file in the inbox's place is refused alike, and so is an inbox with no path.
    fs::remove(folder);
    writeText(folder, "x");
    EXPECT_TRUE(failedWith(inbox.take(request.id()), RequestInboxError::unsafeInbox()));
    EXPECT_TRUE(failedWith(RequestInbox("").take(request.id()), RequestInboxError::unsafeInbox()));
}

TEST_F(RequestInboxTest, UnreadableContentIsConsumed)
{
    ASSERT_TRUE(makeDirectories(folder, 0700));
    const Uuid garbled = Uuid::random();
    writeText(pathFor(garbled), "{not json");
    auto taken = inbox.take(garbled);
    ASSERT_FALSE(taken);
    EXPECT_TRUE(std::holds_alternative<DecodeError>(taken.error()));
    EXPECT_FALSE(fs::exists(pathFor(garbled)));
    EXPECT_TRUE(failedWith(inbox.take(garbled), RequestInboxError::notFound(garbled)));

    const Uuid newer = Uuid::random();
    writeText(pathFor(newer), R"({"version":2})");
    EXPECT_TRUE(failedWith(inbox.take(newer), SendRequestError::unsupportedVersion(2)));
    EXPECT_FALSE(fs::exists(pathFor(newer)));

    // A file whose content names another request.
    const Uuid askedFor = Uuid::random();
    writeText(pathFor(askedFor), *makeRequest().jsonData());
    EXPECT_TRUE(failedWith(inbox.take(askedFor), RequestInboxError::idMismatch(askedFor)));
    EXPECT_FALSE(fs::exists(pathFor(askedFor)));
}

TEST_F(RequestInboxTest, OfTwoRacingTakersExactlyOneGetsTheRequest)
{
    for (int round = 0; round < 200; ++round) {
        const SendRequest request = makeRequest();
        ASSERT_TRUE(inbox.write(request));
        std::atomic<int> successes = 0, go = 0;
        auto taker = [&] {
            ++go;
            while (go < 2) {
            }
            if (inbox.take(request.id()))
                ++successes;
        };
        std::thread a(taker), b(taker);
        a.join();
        b.join();
        ASSERT_EQ(successes, 1) << "round " << round;
    }
}

TEST_F(RequestInboxTest, SweepRemovesWhatDoesNotBelong)
{
    RequestInbox inbox(folder, 100);
    ASSERT_TRUE(makeDirectories(folder, 0700));
    const double t = 1'800'000'000;
    struct Entry {
        const char* name;
        double age;
        bool removed;
    } files[] = {
        {"old.json", 601, true},
        {"young.json", 599, false},
        {"exact.json", 600, false},
        {"future.json", -3600, false},
    };
    for (const auto& f : files) {
        writeText(temp / ("container/Requests/" + std::string(f.name)), "{}");
        setModified(folder + "/" + f.name, t - f.age);
    }
    writeText(folder + "/big.json", std::string(101, 'x')); // too large, though fresh
    setModified(folder + "/big.json", t);
    ASSERT_EQ(::mkdir((folder + "/empty").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((folder + "/full").c_str(), 0700), 0);
    writeText(folder + "/full/keep", "x");
    ASSERT_EQ(::mkfifo((folder + "/fifo").c_str(), 0600), 0);
    const std::string outside = temp / "outside.json";
    writeText(outside, "{}");
    setModified(outside, t - 10000);
    ASSERT_EQ(::symlink(outside.c_str(), (folder + "/link.json").c_str()), 0);
    setModified(folder + "/link.json", t);

    const auto removed = inbox.sweep(t, 600);
    ASSERT_TRUE(removed);
    EXPECT_EQ(*removed, 5); // old, big, empty, fifo, link

    std::set<std::string> left;
    for (const auto& entry : fs::directory_iterator(folder))
        left.insert(entry.path().filename());
    EXPECT_EQ(left, (std::set<std::string>{"young.json", "exact.json", "future.json", "full"}));
    EXPECT_TRUE(fs::exists(outside)); // the link's target is never followed
    EXPECT_TRUE(fs::exists(folder + "/full/keep"));
}

TEST_F(RequestInboxTest, SweepOfAMissingInboxRemovesNothing)
{
    EXPECT_EQ(inbox.sweep(now(), 600), 0);
    EXPECT_FALSE(fs::exists(folder));
}

TEST_F(RequestInboxTest, NanAgeKeepsTheFile)
{
    const SendRequest request = makeRequest();
    ASSERT_TRUE(inbox.write(request));
    EXPECT_EQ(inbox.sweep(std::nan(""), 600), 0);
    EXPECT_EQ(inbox.sweep(now(), std::nan("")), 0);
    EXPECT_TRUE(fs::exists(pathFor(request.id())));
}

} // namespace
} // namespace ambrevoli
