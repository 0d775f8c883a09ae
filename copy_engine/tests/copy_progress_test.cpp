#include "copy_progress.h"

#include "copy_engine.h"
#include "fs_fixture.h"
#include "tree_copy.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <functional>
#include <future>
#include <numeric>
#include <thread>

namespace ambrevoli {

inline void PrintTo(const CopyProgress& p, std::ostream* out)
{
    *out << "{items " << p.itemsDone << "/" << p.itemsTotal << ", bytes " << p.bytesDone << "/"
         << (p.bytesTotal ? std::to_string(*p.bytesTotal) : "?") << "}";
}

namespace {

using namespace std::chrono_literals;
using testing::CopyTest;
using testing::namesIn;
using testing::readFile;
using testing::runAsNobody;
using testing::ScopedTmpfs;
using testing::writeFile;

// A walk that never runs out on a busy machine: only the tests of the budget are about it.
constexpr WalkBudget unlimitedWalk{1'000'000, std::chrono::hours(1)};

enum class Canceller { handler, anotherThread };

const char* describe(Canceller by)
{
    return by == Canceller::handler ? "cancelled in the handler" : "cancelled by another thread";
}

// A copy watched through a control that reports on every change and keeps every report. Once
// `cancelWhen` holds for a report, the copy is cancelled right there: by the handler itself, or
// by a thread of the test's own that the handler waits for.
class WatchedCopy {
public:
    explicit WatchedCopy(std::function<bool(const CopyProgress&)> cancelWhen = {},
                         Canceller by = Canceller::handler, WalkBudget budget = unlimitedWalk)
        : m_cancelWhen(std::move(cancelWhen)), m_by(by),
          m_control([this](const CopyProgress& progress) { observe(progress); }, 0ms, budget)
    {}

    CopyReport run(const std::vector<std::string>& sources, const std::string& destination)
    {
        std::thread canceller;
        if (m_by == Canceller::anotherThread)
            canceller = std::thread([this] {
                m_wanted.get_future().wait();
                m_control.cancel();
                m_done.set_value();
            });
        const CopyReport report = CopyEngine("/nonexistent-home", defaultDownloadProbe)
                                      .copyItems(sources, destination, &m_control);
        if (canceller.joinable()) {
            if (!m_asked)
                m_wanted.set_value();
            canceller.join();
        }
        return report;
    }

    // Every report, in order; the handler never runs twice at once.
    std::vector<CopyProgress> seen;

private:
    void observe(const CopyProgress& progress)
    {
        seen.push_back(progress);
        if (m_asked || !m_cancelWhen || !m_cancelWhen(progress))
            return;
        m_asked = true;
        if (m_by == Canceller::handler) {
            m_control.cancel();
            return;
        }
        m_wanted.set_value();
        m_done.get_future().wait();
    }

    std::function<bool(const CopyProgress&)> m_cancelWhen;
    Canceller m_by;
    bool m_asked = false;
    std::promise<void> m_wanted;
    std::promise<void> m_done;
    CopyControl m_control;
};

// Figures only go up, the totals never change, and the last report has every item and byte
// done.
void expectRisingToTheEnd(const std::vector<CopyProgress>& seen)
{
    ASSERT_GE(seen.size(), 2u);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].itemsDone, seen[i - 1].itemsDone) << i;
        EXPECT_GE(seen[i].bytesDone, seen[i - 1].bytesDone) << i;
        EXPECT_EQ(seen[i].itemsTotal, seen[0].itemsTotal) << i;
        EXPECT_EQ(seen[i].bytesTotal, seen[0].bytesTotal) << i;
    }
    EXPECT_EQ(seen.back().itemsDone, seen.back().itemsTotal);
    if (seen.back().bytesTotal) {
        EXPECT_EQ(seen.back().bytesDone, *seen.back().bytesTotal);
    }
    EXPECT_EQ(seen.back().fraction(), 1.0);
}

std::string pattern(std::size_t size)
{
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7919 + i / 4096) & 0xff);
    return bytes;
}

// Files of different sizes in two folders, enough for the copier's pool.
std::int64_t writeTree(const std::string& top, int filesPerFolder, std::size_t fileSize)
{
    std::int64_t total = 0;
    for (const char* folder : {"one", "two"}) {
        std::filesystem::create_directories(top + "/" + folder);
        for (int i = 0; i < filesPerFolder; ++i) {
            const std::size_t size = fileSize + static_cast<std::size_t>(i) * 1000;
            writeFile(top + "/" + folder + "/" + std::to_string(i), pattern(size));
            total += static_cast<std::int64_t>(size);
        }
    }
    return total;
}

class CopyProgressTest : public CopyTest {};

// The copy stops within the file it is writing: the file's partial copy goes, and it and every
// later item are reported cancelled.
TEST_F(CopyProgressTest, CancelDuringALargeFileLeavesNothingHalfMade)
{
    // A clone would arrive whole at once; a tmpfs copies in chunks.
    ScopedTmpfs volume(path("volume"), "size=96m");
    if (!volume.mounted())
        GTEST_SKIP() << "needs root to mount a tmpfs";
    constexpr std::size_t size = 40 << 20;
    const std::string big = volume.path() + "/big.bin";
    const std::string small = volume.path() + "/small.txt";
    writeFile(big, pattern(size));
    writeFile(small, "small");
    const std::string dest = volume.path() + "/dest";
    std::filesystem::create_directory(dest);

    for (const Canceller by : {Canceller::handler, Canceller::anotherThread}) {
        SCOPED_TRACE(describe(by));
        WatchedCopy copy([](const CopyProgress& p) { return p.bytesDone > 0; }, by);
        const CopyReport report = copy.run({big, small}, dest);

        EXPECT_TRUE(report.cancelled);
        EXPECT_TRUE(report.copied.empty()) << ::testing::PrintToString(report);
        EXPECT_EQ(report.failed, (std::vector<FailedItem>{{big, CopyFailure::cancelled()},
                                                          {small, CopyFailure::cancelled()}}));
        EXPECT_EQ(namesIn(dest), std::vector<std::string>());
        // It stopped within the file, not after it.
        ASSERT_GE(copy.seen.size(), 2u);
        EXPECT_EQ(copy.seen.front().bytesTotal, static_cast<std::int64_t>(size + 5));
        const CopyProgress& beforeTheEnd = copy.seen[copy.seen.size() - 2];
        EXPECT_GT(beforeTheEnd.bytesDone, 0);
        EXPECT_LT(beforeTheEnd.bytesDone, static_cast<std::int64_t>(size));
        expectRisingToTheEnd(copy.seen);
    }
}

// A cancel within a tree of many files stops the pool: the item placed before stays as it was,
// the tree's partial copy goes, and the tree and what follows are reported cancelled.
TEST_F(CopyProgressTest, CancelDuringATreeKeepsWhatWasPlaced)
{
    const std::string first = path("first.txt");
    const std::string last = path("last.txt");
    writeFile(first, "first");
    writeFile(last, "last");
    const std::string tree = path("tree");
    writeTree(tree, 40, 16 * 1024);

    for (const Canceller by : {Canceller::handler, Canceller::anotherThread}) {
        SCOPED_TRACE(describe(by));
        const std::string dest = makeFolder(describe(by));
        WatchedCopy copy([](const CopyProgress& p) { return p.bytesDone > 5; }, by);
        const CopyReport report = copy.run({first, tree, last}, dest);

        EXPECT_TRUE(report.cancelled);
        ASSERT_EQ(report.copied.size(), 1u) << ::testing::PrintToString(report);
        EXPECT_EQ(report.copied[0].copy, dest + "/first.txt");
        EXPECT_EQ(report.failed, (std::vector<FailedItem>{{tree, CopyFailure::cancelled()},
                                                          {last, CopyFailure::cancelled()}}));
        EXPECT_EQ(namesIn(dest), std::vector<std::string>{"first.txt"});
        EXPECT_EQ(readFile(dest + "/first.txt"), "first");
        expectRisingToTheEnd(copy.seen);
    }
}

// Nothing is left to stop once the last item is placed: everything is reported copied, and the
// report still tells that the user cancelled.
TEST_F(CopyProgressTest, CancelAfterTheLastItemLeavesEverythingCopied)
{
    writeFile(path("a.txt"), "a");
    writeFile(path("b.txt"), "b");
    const std::string dest = makeFolder("dest");
    WatchedCopy copy([](const CopyProgress& p) { return p.itemsDone == p.itemsTotal; });
    const CopyReport report = copy.run({path("a.txt"), path("b.txt")}, dest);

    EXPECT_TRUE(report.cancelled);
    EXPECT_EQ(report.copied.size(), 2u);
    EXPECT_TRUE(report.failed.empty()) << ::testing::PrintToString(report);
    EXPECT_EQ(readFile(dest + "/b.txt"), "b");
}

// The walk learns the total (regular files' data only, links never followed), the copy counts
// every byte as it arrives, also on the pool's threads and across holes, and reaches the total
// before the final report fills anything in.
TEST_F(CopyProgressTest, ProgressRisesToTheTotal)
{
    struct Case {
        const char* name;
        std::function<std::pair<std::vector<std::string>, std::int64_t>()> make;
    };
    const std::vector<Case> cases = {
        {"a tree for the pool, a link and a FIFO, and a file",
         [&] {
             const std::string tree = path("tree");
             std::int64_t total = writeTree(tree, 12, 3000);
             writeFile(path("outside.bin"), pattern(1 << 20));
             std::filesystem::create_symlink(path("outside.bin"), tree + "/link");
             EXPECT_EQ(::mkfifo((tree + "/fifo").c_str(), 0644), 0);
             writeFile(path("single.bin"), pattern(700 * 1024));
             total += 700 * 1024;
             std::filesystem::create_symlink(path("outside.bin"), path("outside link"));
             return std::pair{std::vector{tree, path("single.bin"), path("outside link")}, total};
         }},
        {"a sparse file",
         [&] {
             const std::string sparse = path("sparse.bin");
             writeFile(sparse, "");
             std::filesystem::resize_file(sparse, 16 << 20);
             std::ofstream(sparse, std::ios::in | std::ios::out | std::ios::binary)
                 .seekp(5 << 20)
                 .write("data", 4);
             return std::pair{std::vector{sparse}, std::int64_t{16 << 20}};
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [sources, total] = c.make();
        const std::string dest = makeFolder(std::string("dest ") + c.name);
        WatchedCopy copy;
        const CopyReport report = copy.run(sources, dest);

        EXPECT_FALSE(report.cancelled);
        EXPECT_EQ(report.copied.size(), sources.size()) << ::testing::PrintToString(report);
        ASSERT_GE(copy.seen.size(), 2u);
        EXPECT_EQ(copy.seen.front(),
                  (CopyProgress{0, static_cast<std::int64_t>(sources.size()), 0, total}));
        // Every byte was counted as it arrived, before the final report.
        EXPECT_EQ(copy.seen[copy.seen.size() - 2].bytesDone, total);
        expectRisingToTheEnd(copy.seen);
    }
}

// An XFS volume in a loop image, which clones, mounted for the life of the value.
class ScopedXfs {
public:
    explicit ScopedXfs(const std::string& path) : m_path(path), m_image(path + ".img")
    {
        ::mkdir(path.c_str(), 0755);
        // The mount is made in this process's own mount namespace, which the shell inherits.
        const std::string commands = "command -v mkfs.xfs >/dev/null && truncate -s 320M '" +
                                     m_image + "' && mkfs.xfs -q -m reflink=1 '" + m_image +
                                     "' && mount -o loop '" + m_image + "' '" + path + "'";
        m_mounted =
            testing::privateMounts() && std::system((commands + " 2>/dev/null").c_str()) == 0;
    }
    ~ScopedXfs()
    {
        if (m_mounted)
            ::umount2(m_path.c_str(), MNT_DETACH);
        ::unlink(m_image.c_str());
    }
    ScopedXfs(const ScopedXfs&) = delete;
    ScopedXfs& operator=(const ScopedXfs&) = delete;

    bool mounted() const { return m_mounted; }

private:
    std::string m_path;
    std::string m_image;
    bool m_mounted = false;
};

// A clone arrives whole at once, and counts as the whole file.
TEST_F(CopyProgressTest, AClonedFileCountsWhole)
{
    ScopedXfs volume(path("xfs"));
    if (!volume.mounted())
        GTEST_SKIP() << "needs root, mkfs.xfs and a loop device for a volume that clones";
    constexpr std::int64_t size = 24 << 20;
    const std::string big = path("xfs/big.bin");
    writeFile(big, pattern(size));
    const std::string dest = path("xfs/dest");
    std::filesystem::create_directory(dest);

    WatchedCopy copy;
    const CopyReport report = copy.run({big}, dest);
    ASSERT_EQ(report.copied.size(), 1u) << ::testing::PrintToString(report);
    std::vector<std::int64_t> bytes;
    for (const CopyProgress& p : copy.seen)
        bytes.push_back(p.bytesDone);
    // The start, the clone, the item done, the end. Copied in chunks, the figures would pass
    // through 8 and 16 MiB.
    EXPECT_EQ(bytes, (std::vector<std::int64_t>{0, size, size, size}));
}

// A walk that runs out of its budget gives up the byte total; the copy still copies everything
// and counts items.
TEST_F(CopyProgressTest, AWalkOutOfBudgetStillCopiesEverything)
{
    const std::string tree = path("tree");
    writeTree(tree, 3, 100);
    writeFile(path("file.txt"), "file");
    const std::vector<std::pair<const char*, WalkBudget>> budgets = {
        {"one entry", {1, std::chrono::hours(1)}},
        {"no time", {1'000'000, 0ms}},
    };
    for (const auto& [name, budget] : budgets) {
        SCOPED_TRACE(name);
        const std::string dest = makeFolder(std::string("dest ") + name);
        WatchedCopy copy({}, Canceller::handler, budget);
        const CopyReport report = copy.run({tree, path("file.txt")}, dest);

        EXPECT_EQ(report.copied.size(), 2u) << ::testing::PrintToString(report);
        EXPECT_EQ(readFile(dest + "/tree/two/2"), readFile(tree + "/two/2"));
        ASSERT_FALSE(copy.seen.empty());
        EXPECT_EQ(copy.seen.front().bytesTotal, std::nullopt);
        expectRisingToTheEnd(copy.seen);
    }
}

// An item that fails partway is no longer counted, and its share of the total is passed over:
// the bytes keep pace with the items.
TEST_F(CopyProgressTest, AFailedItemPassesItsShareOver)
{
    const std::string tree = makeFolder("tree");
    writeFile(tree + "/a", pattern(1000));
    const std::string secret = testing::listAfter(tree, "a", "secret");
    writeFile(tree + "/" + secret, pattern(2000), 0000);
    writeFile(path("after.txt"), pattern(300));
    const std::string dest = makeFolder("dest", 0777);

    const auto result = runAsNobody(
        [&] {
            WatchedCopy copy;
            const CopyReport report = copy.run({tree, path("after.txt")}, dest);
            std::string outcome;
            for (const FailedItem& item : report.failed)
                outcome += textualForm(item.reason) + ";";
            for (const CopyProgress& p : copy.seen)
                if (p.itemsDone == 1) {
                    outcome += " after the tree " + std::to_string(p.bytesDone);
                    break;
                }
            return outcome + " at the end " + std::to_string(copy.seen.back().bytesDone);
        },
        m_temp.path());
    if (!result)
        GTEST_SKIP() << "cannot run as an unprivileged user here";
    EXPECT_EQ(*result, "noPermission; after the tree 3000 at the end 3300");
}

} // namespace
} // namespace ambrevoli
