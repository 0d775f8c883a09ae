#include "tree_copy.h"

#include "copy_progress.h"
#include "destination_checks.h"
#include "dir_listing.h"
#include "file_util.h"
#include "folder_chain.h"
#include "paths.h"
#include "unique_fd.h"
#include "uuid.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace ambrevoli {

namespace {

constexpr int fileOpenFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
// For a folder that items are only made in or removed from: it needs to be searchable, not
// readable (a drop box).
constexpr int pathOnlyFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
constexpr unsigned statxMask = STATX_TYPE | STATX_MODE | STATX_INO | STATX_UID | STATX_GID |
                               STATX_ATIME | STATX_MTIME | STATX_SIZE | STATX_BLOCKS;

// Failures of the tree copy that are not an errno.
constexpr int refusedName = -1;
constexpr int refusedKind = -2;

constexpr const char* accessAclName = "system.posix_acl_access";
constexpr const char* defaultAclName = "system.posix_acl_default";

constexpr std::size_t bufferSize = 256 * 1024;
// Between two chunks a copy notices that it was cancelled: on a slow stick a chunk takes a
// moment, not minutes, and the extra calls cost nothing against the data they move.
constexpr std::size_t rangeChunk = std::size_t{8} << 20;
constexpr off_t toTheEnd = std::numeric_limits<off_t>::max();

// Whether `path` names an item by a folder and a name in it ("/a/b", "a/b"): not the root, not a
// bare name, no trailing slash.
bool namesAnItemInAFolder(const std::string& path)
{
    return path.find('/') != std::string::npos && !path.ends_with('/');
}

// The /proc name of an open descriptor: it reaches the opened item itself, never anything a
// link points to, and works for descriptors opened only as a path.
std::string procPath(int fd) { return "/proc/self/fd/" + std::to_string(fd); }

bool sameItem(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether the process umask takes bits from the owner, so that a new 0600 file or 0700 folder
// would not even be writable by its owner. Read without changing the umask, which would race
// with other threads; when it cannot be read, assume it does.
bool umaskLimitsOwner()
{
    const auto status = readSmallFile("/proc/self/status", 64 * 1024);
    if (!status)
        return true;
    const auto at = status->find("\nUmask:");
    if (at == std::string::npos)
        return true;
    return (std::strtoul(status->c_str() + at + 7, nullptr, 8) & 0700) != 0;
}

// The carried flags that statx reports without another call.
int carriedFlags(const struct statx& info)
{
    int flags = 0;
    if (info.stx_attributes & STATX_ATTR_IMMUTABLE)
        flags |= FS_IMMUTABLE_FL;
    if (info.stx_attributes & STATX_ATTR_APPEND)
        flags |= FS_APPEND_FL;
    if (info.stx_attributes & STATX_ATTR_NODUMP)
        flags |= FS_NODUMP_FL;
    return flags;
}

constexpr int carriedFlagMask = FS_IMMUTABLE_FL | FS_APPEND_FL | FS_NODUMP_FL;

void setTimes(struct timespec (&times)[2], const struct statx& info)
{
    times[0] = {info.stx_atime.tv_sec, info.stx_atime.tv_nsec};
    times[1] = {info.stx_mtime.tv_sec, info.stx_mtime.tv_nsec};
}

// Writes all of `bytes` at `offset`, looping over short writes.
int writeAllAt(int fd, std::string_view bytes, off_t offset)
{
    while (!bytes.empty()) {
        const ssize_t written = ::pwrite(fd, bytes.data(), bytes.size(), offset);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
        offset += written;
    }
    return 0;
}

// Errors after which copy_file_range can't be used between these two files at all.
bool rangeCopyUnavailable(int error)
{
    return error == EXDEV || error == EINVAL || error == EOPNOTSUPP || error == ENOSYS ||
           error == EBADF || error == ETXTBSY;
}

// Where an item's extended attributes are read or written: its descriptor, or for an item opened
// only as a path (FIFOs, sockets, device nodes) that descriptor's /proc name, which reaches the
// item itself and never anything a link points to.
struct XattrItem {
    int fd = -1;
    std::string procPath;

    static XattrItem opened(int fd) { return {fd, {}}; }
    static XattrItem pathOnly(int fd) { return {-1, ambrevoli::procPath(fd)}; }

    ssize_t list(char* names, std::size_t size) const
    {
        return fd >= 0 ? ::flistxattr(fd, names, size) : ::listxattr(procPath.c_str(), names, size);
    }
    ssize_t get(const char* name, void* value, std::size_t size) const
    {
        return fd >= 0 ? ::fgetxattr(fd, name, value, size)
                       : ::getxattr(procPath.c_str(), name, value, size);
    }
    int set(const char* name, const void* value, std::size_t size) const
    {
        return fd >= 0 ? ::fsetxattr(fd, name, value, size, 0)
                       : ::setxattr(procPath.c_str(), name, value, size, 0);
    }
    int remove(const char* name) const
    {
        return fd >= 0 ? ::fremovexattr(fd, name) : ::removexattr(procPath.c_str(), name);
    }
};

// Calls `read(buffer, size)` (a listxattr/getxattr-shaped call) until the buffer is big enough.
template <class Read> ssize_t readGrowing(std::vector<char>& buffer, Read read)
{
    for (;;) {
        const ssize_t length = read(buffer.data(), buffer.size());
        if (length >= 0 || errno != ERANGE)
            return length;
        const ssize_t needed = read(nullptr, 0);
        if (needed < 0)
            return needed;
        buffer.resize(std::max(static_cast<std::size_t>(needed), buffer.size() * 2));
    }
}

// A folder that new items are created in, with what a new item's group will be.
struct Folder {
    int fd;
    gid_t gid;
    bool setgid;
};

// What one thread needs for copying: attribute names and values, and a buffer for data.
struct Scratch {
    std::vector<char> names = std::vector<char>(1024);
    std::vector<char> value = std::vector<char>(1024);
    std::unique_ptr<char[]> data;

    char* buffer()
    {
        if (!data)
            data = std::make_unique<char[]>(bufferSize);
        return data.get();
    }
};

// A folder's entries, read whole, so that its listing need not stay open while the folders in
// it are gone through.
struct Entries {
    struct Entry {
        std::size_t at; // of the name in `names`
        unsigned char type;
    };
    std::string names; // each name followed by a NUL
    std::vector<Entry> list;

    const char* name(const Entry& entry) const { return names.data() + entry.at; }
    void add(const char* name, unsigned char type)
    {
        list.push_back({names.size(), type});
        names.append(name).push_back('\0');
    }
};

// Reads the entries of the folder open as `fd` into `entries`; yields 0, or the errno that cut
// the listing short (what was read is kept).
int readEntries(int fd, Entries& entries)
{
    auto listing = DirListing::open(fd);
    if (!listing)
        return listing.error().code;
    while (const dirent* entry = listing->next())
        entries.add(entry->d_name, entry->d_type);
    return listing->error() ? listing->error()->code : 0;
}

// Files copied at once in one folder: small files cost system calls, not bandwidth, and the
// calls of one file wait on each other. More workers than cores would only queue for them.
constexpr unsigned maxFileWorkers = 4;
// A folder with fewer files copies them itself: handing a file to another thread and waiting
// for it costs more than copying a few.
constexpr std::ptrdiff_t minFilesForPool = 8;
// Files waiting for a worker, per worker: enough that no worker idles while the walk lists the
// next folder, few enough that the descriptors they will need stay few.
constexpr std::size_t queuedFilesPerWorker = 8;

class TreeCopier {
public:
    TreeCopier(bool clone, CopyControl* control, const TargetVolume& volume)
        : m_clone(clone), m_control(control), m_volume(volume)
    {}
    TreeCopier(const TreeCopier&) = delete;
    TreeCopier& operator=(const TreeCopier&) = delete;
    ~TreeCopier() { stopWorkers(); }

    std::expected<void, TreeCopyFailure> copy(const std::string& source, const std::string& target,
                                              UniqueFd* lock)
    {
        if (!namesAnItemInAFolder(target))
            return std::unexpected(TreeCopyFailure{EINVAL, false});
        if (cancelled())
            return std::unexpected(TreeCopyFailure{ECANCELED, false});
        UniqueFd parent(::open(parentPath(target).c_str(), pathOnlyFolderFlags));
        struct stat info {};
        if (!parent || ::fstat(parent.get(), &info) != 0)
            return std::unexpected(TreeCopyFailure{errno, false});
        // Items made in a folder with a default ACL inherit it; those whose source has no ACL
        // must lose it again, or the copy would grant what the source does not.
        m_inheritsAcls = ::getxattr(procPath(parent.get()).c_str(), defaultAclName, nullptr, 0) > 0;

        const Folder folder{parent.get(), info.st_gid, (info.st_mode & S_ISGID) != 0};
        const std::string name = lastComponent(target);
        std::optional<Descent> descent;
        int error = copyEntry(AT_FDCWD, source.c_str(), DT_UNKNOWN, folder, name.c_str(),
                              /*top=*/true, m_scratch, descent);
        if (error == 0 && descent)
            error = walk(std::move(*descent), folder);
        stopWorkers();
        if (lock)
            *lock = std::move(m_lock);
        if (error != 0) {
            // The partial copy goes, and what it counted with it.
            if (const std::int64_t arrived = m_arrived.load(); arrived != 0)
                m_control->addBytes(-arrived);
            if (error == refusedName)
                return std::unexpected(
                    TreeCopyFailure{EINVAL, m_created, TreeCopyFailure::Refusal::name});
            if (error == refusedKind)
                return std::unexpected(
                    TreeCopyFailure{EOPNOTSUPP, m_created, TreeCopyFailure::Refusal::kind});
            return std::unexpected(TreeCopyFailure{error, m_created});
        }
        return {};
    }

private:
    // A folder made in the copy whose contents are still to come.
    struct Descent {
        UniqueFd source;
        UniqueFd target;
        struct statx info;
        Entries entries;
    };

    // A folder on the walk's way down. Frames live in a deque: the pool's files point to theirs.
    struct Frame {
        Frame(const struct statx& info, const Folder& madeIn, Entries entries)
            : info(info), madeIn{-1, madeIn.gid, madeIn.setgid}, entries(std::move(entries))
        {
            const auto files =
                std::ranges::count_if(this->entries.list, [](const Entries::Entry& entry) {
                    return entry.type == DT_REG;
                });
            if (files < minFilesForPool)
                byTheWalkFrom = 0;
        }

        struct statx info; // of the source folder
        Folder madeIn;     // where its copy was made (the descriptor is not kept)
        Entries entries;
        std::size_t next = 0;
        // Entries from here on are copied by the walk itself, never by the pool.
        std::size_t byTheWalkFrom = std::numeric_limits<std::size_t>::max();
        // Guarded by m_mutex: the folder's files the pool has not finished, and those of them
        // that turned out not to be files when opened, by where their names begin in
        // `entries.names` (which grows, and moves, as they are added again).
        std::size_t pending = 0;
        std::vector<std::size_t> notFiles;
    };

    // A file of a folder handed to the pool.
    struct FileJob {
        Frame* frame;
        int sourceDir;
        Folder folder;
        Entries::Entry entry;
    };

    static std::pair<dev_t, ino_t> identity(const struct statx& info)
    {
        return {::makedev(info.stx_dev_major, info.stx_dev_minor), info.stx_ino};
    }

    // The group a new item in `folder` gets from the system.
    gid_t createdGid(const Folder& folder) const { return folder.setgid ? folder.gid : m_gid; }

    // Copies one entry. A folder is only made, and handed back in `descent` with its entries,
    // for the walk to fill.
    int copyEntry(int sourceDir, const char* sourceName, unsigned char type, const Folder& folder,
                  const char* name, bool top, Scratch& scratch, std::optional<Descent>& descent)
    {
        struct statx info {};
        if (type != DT_REG && type != DT_DIR) {
            if (::statx(sourceDir, sourceName, AT_SYMLINK_NOFOLLOW, statxMask, &info) != 0)
                return errno;
            if (S_ISLNK(info.stx_mode))
                return copyLink(sourceDir, sourceName, info, folder, name);
            if (!S_ISREG(info.stx_mode) && !S_ISDIR(info.stx_mode))
                return copySpecial(sourceDir, sourceName, info, folder, name, scratch);
            type = S_ISDIR(info.stx_mode) ? DT_DIR : DT_REG;
        }
        UniqueFd source(
            ::openat(sourceDir, sourceName, type == DT_DIR ? folderOpenFlags : fileOpenFlags));
        if (!source)
            return errno;
        // What counts is the item opened, whatever the listing said a moment ago.
        if (::statx(source.get(), "", AT_EMPTY_PATH, statxMask, &info) != 0)
            return errno;
        if (S_ISDIR(info.stx_mode))
            return makeFolder(std::move(source), info, folder, name, top, descent);
        if (S_ISREG(info.stx_mode))
            return copyFile(source.get(), info, folder, name, top, scratch);
        source.reset();
        return copySpecial(sourceDir, sourceName, info, folder, name, scratch);
    }

    // A file of a folder, on a worker of the pool (or on the walk, helping).
    int copyQueuedFile(const FileJob& job, Scratch& scratch)
    {
        // The walk adds no names to a folder's entries while its files are with the pool.
        const char* name = job.frame->entries.name(job.entry);
        UniqueFd source(::openat(job.sourceDir, name, fileOpenFlags));
        if (!source)
            return errno;
        struct statx info {};
        if (::statx(source.get(), "", AT_EMPTY_PATH, statxMask, &info) != 0)
            return errno;
        if (!S_ISREG(info.stx_mode)) {
            // Replaced since the listing: the walk copies it as what it is now.
            const std::lock_guard lock(m_mutex);
            job.frame->notFiles.push_back(job.entry.at);
            return 0;
        }
        return copyFile(source.get(), info, job.folder, name, /*top=*/false, scratch);
    }

    int copyFile(int source, const struct statx& info, const Folder& folder, const char* name,
                 bool top, Scratch& scratch)
    {
        if (info.stx_size > m_volume.maxFileSize)
            return EFBIG;
        const auto create = [&](int dir, const char* as) {
            return ::openat(dir, as, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        };
        UniqueFd target(create(folder.fd, name));
        if (!target)
            return creationError(folder.fd, name, false, [&](const char* as) {
                UniqueFd made(create(folder.fd, as));
                return made ? 0 : errno;
            });
        if (top) {
            m_created = true;
            if (const int error = lockTop(target.get(), folder, name))
                return error;
        }
        if (m_umaskLimitsOwner && ::fchmod(target.get(), 0600) != 0)
            return errno;
        if (const int error = copyData(source, target.get(), info, scratch))
            return error;
        if (const int error = finish(source, info, target.get(), folder, scratch))
            return error;
        if (m_volume.sync)
            if (const int error = m_volume.sync(target.get()))
                return error;
        // A failed close can be the first sign of lost data (NFS, quotas).
        return target.close() == 0 ? 0 : errno;
    }

    int makeFolder(UniqueFd source, const struct statx& info, const Folder& folder,
                   const char* name, bool top, std::optional<Descent>& descent)
    {
        // The copy met itself: the destination lies inside the source by a way its path does
        // not show (a bind mount). Stop before copying the copy.
        if (m_topFolder && *m_topFolder == identity(info))
            return ELOOP;
        if (::mkdirat(folder.fd, name, 0700) != 0)
            return creationError(folder.fd, name, false, [&](const char* as) {
                return ::mkdirat(folder.fd, as, 0700) == 0 ? 0 : errno;
            });
        if (top)
            m_created = true;
        UniqueFd target(::openat(folder.fd, name, folderOpenFlags));
        if (!target) {
            if (top && errno == ENOENT)
                return sweptAway();
            return errno;
        }
        if (top)
            if (const int error = lockTop(target.get(), folder, name))
                return error;
        if (m_umaskLimitsOwner && ::fchmod(target.get(), 0700) != 0)
            return errno;
        if (top) {
            struct statx made {};
            if (::statx(target.get(), "", AT_EMPTY_PATH, STATX_INO, &made) != 0)
                return errno;
            m_topFolder = identity(made);
        }
        Entries entries;
        if (const int error = readEntries(source.get(), entries))
            return error;
        descent.emplace(Descent{std::move(source), std::move(target), info, std::move(entries)});
        return 0;
    }

    // Copies the contents of the folder `first` (made in `madeIn`) and everything beneath, then
    // gives each folder its own metadata once its contents are complete. Goes down by a loop,
    // not by recursion, and keeps a bounded number of folders open however deep the tree. The
    // files of the deepest folder go to the pool while the walk goes on; a folder is finished
    // only after its files are.
    int walk(Descent first, const Folder& madeIn)
    {
        std::deque<Frame> frames;
        FolderChain sources(std::move(first.source), O_RDONLY, defaultFolderWindow,
                            [&](std::size_t level) { waitFor(frames[level]); });
        FolderChain targets(std::move(first.target), O_RDONLY, defaultFolderWindow);
        frames.emplace_back(first.info, madeIn, std::move(first.entries));

        while (!frames.empty() && m_failed.load() == 0) {
            Frame& frame = frames.back();
            const int sourceDir = sources.deepest();
            const int targetDir = sourceDir < 0 ? -1 : targets.deepest();
            if (targetDir < 0) {
                fail(errno);
                break;
            }
            const Folder inner{targetDir, createdGid(frame.madeIn), frame.madeIn.setgid};
            if (frame.next < frame.entries.list.size()) {
                if (cancelled()) {
                    fail(ECANCELED);
                    break;
                }
                const std::size_t index = frame.next++;
                const Entries::Entry& entry = frame.entries.list[index];
                const char* name = frame.entries.name(entry);
                if (entry.type == DT_REG && index < frame.byTheWalkFrom && startWorkers()) {
                    submit({&frame, sourceDir, inner, entry});
                    continue;
                }
                std::optional<Descent> descent;
                if (const int error = copyEntry(sourceDir, name, entry.type, inner, name,
                                                /*top=*/false, m_scratch, descent)) {
                    fail(error);
                    break;
                }
                if (!descent)
                    continue;
                int error = sources.push(std::move(descent->source), name);
                if (error == 0)
                    error = targets.push(std::move(descent->target), name);
                if (error != 0) {
                    fail(error);
                    break;
                }
                frames.emplace_back(descent->info, inner, std::move(descent->entries));
                continue;
            }
            waitFor(frame);
            if (m_failed.load() != 0)
                break;
            if (!frame.notFiles.empty()) {
                frame.byTheWalkFrom = frame.entries.list.size();
                for (const std::size_t at : std::exchange(frame.notFiles, {}))
                    frame.entries.add(std::string(frame.entries.names.data() + at).c_str(),
                                      DT_UNKNOWN);
                continue;
            }
            if (const int error =
                    finish(sourceDir, frame.info, targetDir, frame.madeIn, m_scratch)) {
                fail(error);
                break;
            }
            frames.pop_back();
            sources.pop();
            targets.pop();
        }
        // After a failure the pool's remaining files are dropped, and those running finish
        // before the partial copy can be removed.
        waitForAll();
        return m_failed.load();
    }

    void fail(int error)
    {
        int none = 0;
        m_failed.compare_exchange_strong(none, error);
    }

    // Starts the pool on the first file that can use it; false when there is none (one core, or
    // no thread could be started) and the walk copies every file itself.
    bool startWorkers()
    {
        if (m_poolTried)
            return !m_workers.empty();
        m_poolTried = true;
        const unsigned cores = std::thread::hardware_concurrency();
        if (cores <= 1)
            return false;
        const unsigned wanted = std::min(cores, maxFileWorkers);
        m_capacity = wanted * queuedFilesPerWorker;
        try {
            for (unsigned i = 0; i < wanted; ++i)
                m_workers.emplace_back([this] { work(); });
        } catch (const std::system_error&) {
            // Fewer workers, or none: the walk copies the files itself.
        }
        return !m_workers.empty();
    }

    void stopWorkers()
    {
        {
            const std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_workAvailable.notify_all();
        for (std::thread& worker : m_workers)
            worker.join();
        m_workers.clear();
    }

    void work()
    {
        Scratch scratch;
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_workAvailable.wait(lock, [&] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return;
            runQueued(lock, scratch);
        }
    }

    // Queues a file; with the queue full, the walk copies one queued file itself meanwhile.
    void submit(const FileJob& job)
    {
        std::unique_lock lock(m_mutex);
        ++job.frame->pending;
        ++m_inFlight;
        while (m_queue.size() >= m_capacity)
            runQueued(lock, m_scratch);
        m_queue.push_back(job);
        lock.unlock();
        m_workAvailable.notify_one();
    }

    // Runs the oldest queued file with `lock` released; after a failure it is only dropped.
    void runQueued(std::unique_lock<std::mutex>& lock, Scratch& scratch)
    {
        const FileJob job = m_queue.front();
        m_queue.pop_front();
        lock.unlock();
        if (m_failed.load() == 0) {
            if (cancelled())
                fail(ECANCELED);
            else if (const int error = copyQueuedFile(job, scratch))
                fail(error);
        }
        lock.lock();
        --m_inFlight;
        if (--job.frame->pending == 0)
            m_frameDone.notify_all();
    }

    // Until the pool has finished the files of `frame`, helping with queued ones.
    void waitFor(Frame& frame)
    {
        std::unique_lock lock(m_mutex);
        while (frame.pending > 0) {
            if (!m_queue.empty())
                runQueued(lock, m_scratch);
            else
                m_frameDone.wait(lock);
        }
    }

    // Until no file is queued or running: the frames they point to are about to go.
    void waitForAll()
    {
        std::unique_lock lock(m_mutex);
        while (m_inFlight > 0) {
            if (!m_queue.empty())
                runQueued(lock, m_scratch);
            else
                m_frameDone.wait(lock);
        }
    }

    // Marks the new top item `fd`, just made as `name` in `folder`, as a live copy. A sweep for
    // abandoned copies that took its lock in the moment before removes it: EAGAIN.
    int lockTop(int fd, const Folder& folder, const char* name)
    {
        UniqueFd lock(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
        if (!lock)
            return errno;
        if (::flock(lock.get(), LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK)
                return 0; // No locks on this volume: no sweep can take the item either.
            return sweptAway();
        }
        struct stat opened {};
        struct stat named {};
        if (::fstat(fd, &opened) != 0)
            return errno;
        if (::fstatat(folder.fd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 ||
            !sameItem(opened, named))
            return sweptAway();
        m_lock = std::move(lock);
        return 0;
    }

    // What to stop with after the folder `dir` refused to make `name` (errno tells why), where
    // `make` makes the same kind of item under another name. A name the folder's volume can't
    // store looks like a missing folder (ENOENT), a bad argument or a refusal, depending on the
    // file system: when the folder takes the item under a name every volume stores, it was the
    // name (refusedName). A link or special file that can't be made under that name either, with
    // the same error, is a kind the volume can't hold (`special`: refusedKind).
    template <class Make> int creationError(int dir, const char* name, bool special, Make make)
    {
        const int error = errno;
        // Some volumes leave the item behind when they fail to make it (exFAT a FIFO): it is the
        // copy's to remove.
        struct stat left {};
        if (error != EEXIST && ::fstatat(dir, name, &left, AT_SYMLINK_NOFOLLOW) == 0)
            m_created = true;
        const bool nameMayBeRefused =
            error == ENOENT || error == EINVAL || error == EPERM || error == EILSEQ;
        const bool kindMayBeRefused =
            special && (error == EPERM || error == ENOSYS || error == EOPNOTSUPP || error == EIO);
        if (!nameMayBeRefused && !kindMayBeRefused)
            return error;
        const std::string plain = std::string(checkFilePrefix) + Uuid::random().text();
        const int probe = make(plain.c_str());
        if (::unlinkat(dir, plain.c_str(), 0) != 0 && errno == EISDIR)
            ::unlinkat(dir, plain.c_str(), AT_REMOVEDIR);
        if (probe == 0 && nameMayBeRefused)
            return refusedName;
        if (probe == error && kindMayBeRefused)
            return refusedKind;
        return error;
    }

    // The new top item is being removed, or is gone, by a sweep: it is not this copy's to remove.
    int sweptAway()
    {
        m_created = false;
        return EAGAIN;
    }

    int copyLink(int sourceDir, const char* sourceName, const struct statx& info,
                 const Folder& folder, const char* name)
    {
        std::string linkTarget(std::max<std::size_t>(info.stx_size + 1, 64), '\0');
        for (;;) {
            const ssize_t length =
                ::readlinkat(sourceDir, sourceName, linkTarget.data(), linkTarget.size());
            if (length < 0)
                return errno;
            if (static_cast<std::size_t>(length) < linkTarget.size()) {
                linkTarget.resize(static_cast<std::size_t>(length));
                break;
            }
            linkTarget.resize(linkTarget.size() * 2);
        }
        if (::symlinkat(linkTarget.c_str(), folder.fd, name) != 0)
            return creationError(folder.fd, name, true, [&](const char* as) {
                return ::symlinkat(linkTarget.c_str(), folder.fd, as) == 0 ? 0 : errno;
            });
        m_created = true;
        struct timespec times[2];
        setTimes(times, info);
        if (::utimensat(folder.fd, name, times, AT_SYMLINK_NOFOLLOW) != 0)
            return errno;
        if (ownerWanted(info, folder) &&
            ::fchownat(folder.fd, name, info.stx_uid, info.stx_gid, AT_SYMLINK_NOFOLLOW) != 0)
            leftOutIf(true, LeftOut::owners);
        return 0;
    }

    // FIFOs, sockets and device nodes: recreated, never opened for reading or writing (that
    // could block or reach a device driver).
    int copySpecial(int sourceDir, const char* sourceName, const struct statx& info,
                    const Folder& folder, const char* name, Scratch& scratch)
    {
        const auto make = [&](const char* as) {
            return ::mknodat(folder.fd, as, (info.stx_mode & S_IFMT) | 0600,
                             ::makedev(info.stx_rdev_major, info.stx_rdev_minor)) == 0
                       ? 0
                       : errno;
        };
        if (const int error = make(name); error != 0) {
            // Only the privileged make device nodes: a refusal says nothing of the volume.
            if (error == EPERM && (S_ISCHR(info.stx_mode) || S_ISBLK(info.stx_mode)))
                return error;
            return creationError(folder.fd, name, true, make);
        }
        m_created = true;
        UniqueFd source(::openat(sourceDir, sourceName, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        UniqueFd target(::openat(folder.fd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!source || !target)
            return errno;
        struct stat made {};
        if (::fstat(target.get(), &made) != 0)
            return errno;
        if ((made.st_mode & S_IFMT) != (info.stx_mode & S_IFMT))
            return EEXIST;

        const XattrItem targetItem = XattrItem::pathOnly(target.get());
        struct timespec times[2];
        setTimes(times, info);
        if (::utimensat(AT_FDCWD, targetItem.procPath.c_str(), times, 0) != 0)
            return errno;
        if (ownerWanted(info, folder) &&
            ::fchownat(target.get(), "", info.stx_uid, info.stx_gid, AT_EMPTY_PATH) != 0)
            leftOutIf(true, LeftOut::owners);
        if (const int error = copyXattrs(XattrItem::pathOnly(source.get()), targetItem,
                                         /*folder=*/false, scratch))
            return error;
        if (::chmod(targetItem.procPath.c_str(), info.stx_mode & 07777) != 0) {
            if (!volumeRefusesModes(errno))
                return errno;
            leftOutIf(true, LeftOut::modes);
        }
        return 0;
    }

    int copyData(int source, int target, const struct statx& info, Scratch& scratch)
    {
        if (m_clone && !m_cloneUnsupported.load(std::memory_order_relaxed)) {
            if (::ioctl(target, FICLONE, source) == 0) {
                arrived(static_cast<std::int64_t>(info.stx_size));
                return 0;
            }
            const int error = errno;
            if (error == EIO || error == ENOMEM || error == ENOSPC || error == EDQUOT)
                return error;
            // The target volume can't clone at all; don't ask again for every file.
            if (error == EOPNOTSUPP || error == ENOTTY)
                m_cloneUnsupported.store(true, std::memory_order_relaxed);
        }
        const auto size = static_cast<off_t>(info.stx_size);
        if (size > 0 && static_cast<off_t>(info.stx_blocks) * 512 < size)
            return copySparse(source, target, size, scratch);
        // To the end, whatever the size said: files in /proc claim none.
        return copyBytes(source, target, std::nullopt, toTheEnd, size > 0, scratch);
    }

    // Copies `length` bytes of `source`, or up to its end if that comes first, to `target`: at
    // `offset` in both, or from and at both files' own offsets (which works also for files that
    // cannot seek). By copy_file_range where the two files allow it (only with `rangeCopy`),
    // else by reading and writing. Yields 0 or the errno; `copied`, when given, receives the
    // number of bytes that arrived. Stops with ECANCELED between chunks once cancelled.
    int copyBytes(int source, int target, std::optional<off_t> offset, off_t length, bool rangeCopy,
                  Scratch& scratch, off_t* copied = nullptr)
    {
        off_t in = offset.value_or(0), out = in;
        off_t* const inAt = offset ? &in : nullptr;
        off_t* const outAt = offset ? &out : nullptr;
        const off_t wanted = length;
        bool ended = false;
        for (bool first = true; rangeCopy && length > 0; first = false) {
            if (cancelled())
                return ECANCELED;
            const ssize_t done = ::copy_file_range(source, inAt, target, outAt,
                                                   std::min<std::size_t>(length, rangeChunk), 0);
            if (done > 0) {
                length -= done;
                arrived(done);
                continue;
            }
            // Some special files claim a size but give nothing this way; read them instead.
            if (done == 0) {
                ended = !first;
                break;
            }
            if (errno == EINTR)
                continue;
            if (!rangeCopyUnavailable(errno))
                return errno;
            break;
        }
        char* buffer = scratch.buffer();
        while (!ended && length > 0) {
            if (cancelled())
                return ECANCELED;
            const std::size_t chunk = std::min<std::size_t>(length, bufferSize);
            const ssize_t read =
                offset ? ::pread(source, buffer, chunk, in) : ::read(source, buffer, chunk);
            if (read == 0)
                break;
            if (read < 0) {
                if (errno == EINTR)
                    continue;
                return errno;
            }
            const std::string_view bytes(buffer, static_cast<std::size_t>(read));
            if (!offset) {
                if (auto written = writeAll(target, bytes); !written)
                    return written.error().code;
            } else if (const int error = writeAllAt(target, bytes, in)) {
                return error;
            }
            in += read;
            length -= read;
            arrived(read);
        }
        if (copied)
            *copied = wanted - length;
        return 0;
    }

    // Copies only the data regions, so that holes stay holes. A hole counts as arrived data: to
    // the user it is as much of the file as any other.
    int copySparse(int source, int target, off_t size, Scratch& scratch)
    {
        off_t offset = 0;
        while (offset < size) {
            const off_t data = ::lseek(source, offset, SEEK_DATA);
            if (data < 0) {
                if (errno == ENXIO)
                    break;
                // No hole detection here: copy the rest as it is.
                return copyBytes(source, target, offset, toTheEnd - offset, true, scratch);
            }
            arrived(std::min(data, size) - offset);
            off_t hole = ::lseek(source, data, SEEK_HOLE);
            if (hole < 0)
                return errno;
            hole = std::min(hole, size);
            off_t copied = 0;
            if (const int error =
                    copyBytes(source, target, data, hole - data, true, scratch, &copied))
                return error;
            // The file ends before its size said (files in /sys claim a page for a line): so
            // does the copy, with no zeros made up after the end.
            if (copied < hole - data)
                return 0;
            offset = hole;
        }
        if (::ftruncate(target, size) != 0)
            return errno;
        arrived(size - offset);
        return 0;
    }

    bool ownerWanted(const struct statx& info, const Folder& folder) const
    {
        // Only root may give an item away; a user's own items keep their group where they can.
        if (m_uid != 0 && info.stx_uid != m_uid)
            return false;
        return info.stx_uid != m_uid || info.stx_gid != createdGid(folder);
    }

    // Times, owner, attributes and ACLs, mode, flags of a new file or folder, in that order.
    int finish(int source, const struct statx& info, int target, const Folder& folder,
               Scratch& scratch)
    {
        struct timespec times[2];
        setTimes(times, info);
        if (::futimens(target, times) != 0)
            return errno;
        if (ownerWanted(info, folder) && ::fchown(target, info.stx_uid, info.stx_gid) != 0)
            leftOutIf(true, LeftOut::owners);
        if (const int error = copyXattrs(XattrItem::opened(source), XattrItem::opened(target),
                                         S_ISDIR(info.stx_mode), scratch))
            return error;
        if (::fchmod(target, info.stx_mode & 07777) != 0) {
            if (!volumeRefusesModes(errno))
                return errno;
            leftOutIf(true, LeftOut::modes);
        }
        if (const int wanted = carriedFlags(info); wanted != 0) {
            int flags = 0;
            if (::ioctl(target, FS_IOC_GETFLAGS, &flags) == 0) {
                flags = (flags & ~carriedFlagMask) | wanted;
                if (::ioctl(target, FS_IOC_SETFLAGS, &flags) != 0)
                    leftOutIf(errno == EOPNOTSUPP || errno == ENOTTY, LeftOut::flags);
            } else {
                leftOutIf(errno == EOPNOTSUPP || errno == ENOTTY || errno == EINVAL,
                          LeftOut::flags);
            }
        }
        if (S_ISDIR(info.stx_mode) && m_volume.sync)
            return m_volume.sync(target);
        return 0;
    }

    // EPERM to the owner's own chmod, or no chmod at all, means the volume stores no
    // permissions (FAT, exFAT).
    static bool volumeRefusesModes(int error)
    {
        return error == EPERM || error == ENOSYS || error == EOPNOTSUPP;
    }

    void leftOutIf(bool refused, LeftOut what) const
    {
        if (refused && m_volume.leftOut)
            m_volume.leftOut->add(what);
    }

    int copyXattrs(const XattrItem& source, const XattrItem& target, bool folder, Scratch& scratch)
    {
        ssize_t listed = readGrowing(
            scratch.names, [&](char* names, std::size_t size) { return source.list(names, size); });
        if (listed < 0) {
            if (errno != EOPNOTSUPP)
                return errno;
            listed = 0;
        }
        bool hadAccessAcl = false, hadDefaultAcl = false;
        for (std::size_t at = 0; at < static_cast<std::size_t>(listed);) {
            const char* name = scratch.names.data() + at;
            at += std::strlen(name) + 1;
            const bool accessAcl = std::strcmp(name, accessAclName) == 0;
            const bool defaultAcl = std::strcmp(name, defaultAclName) == 0;
            hadAccessAcl |= accessAcl;
            hadDefaultAcl |= defaultAcl;

            const ssize_t length = readGrowing(scratch.value, [&](char* value, std::size_t size) {
                return source.get(name, value, size);
            });
            if (length < 0) {
                if (errno == ENODATA)
                    continue;
                return errno;
            }
            if (target.set(name, scratch.value.data(), static_cast<std::size_t>(length)) != 0) {
                const int error = errno;
                // An ACL is part of the permissions and must arrive where the volume holds
                // ACLs; where it holds none, nothing there is guarded by ACLs. Other attributes
                // go where the volume and the user's privileges allow, as cp -a carries them.
                const bool acl = accessAcl || defaultAcl;
                if (acl ? !volumeHoldsNoAcls(target, error)
                        : error != EOPNOTSUPP && error != EPERM && error != EACCES)
                    return error;
                leftOutIf(acl || error == EOPNOTSUPP, acl ? LeftOut::acls : LeftOut::attributes);
            }
        }
        if (m_inheritsAcls) {
            if (!hadAccessAcl)
                if (const int error = removeInherited(target, accessAclName))
                    return error;
            if (folder && !hadDefaultAcl)
                if (const int error = removeInherited(target, defaultAclName))
                    return error;
        }
        return 0;
    }

    // Whether the volume of `target`, which refused an ACL with `error`, holds no ACLs at all.
    // Some FUSE volumes answer EINVAL rather than EOPNOTSUPP: then the volume refusing any
    // attribute in the user's namespace too tells it apart from an ACL that is malformed.
    static bool volumeHoldsNoAcls(const XattrItem& target, int error)
    {
        if (error == EOPNOTSUPP)
            return true;
        if (error != EINVAL)
            return false;
        if (target.get(accessAclName, nullptr, 0) >= 0 || errno != EOPNOTSUPP)
            return false;
        return target.list(nullptr, 0) < 0 && errno == EOPNOTSUPP;
    }

    static int removeInherited(const XattrItem& target, const char* name)
    {
        if (target.remove(name) == 0 || errno == ENODATA || errno == EOPNOTSUPP)
            return 0;
        return errno;
    }

    bool cancelled() const { return m_control && m_control->isCancelled(); }

    // Data reached the copy; any thread.
    void arrived(std::int64_t bytes)
    {
        if (!m_control || bytes <= 0)
            return;
        m_arrived.fetch_add(bytes, std::memory_order_relaxed);
        m_control->addBytes(bytes);
    }

    const bool m_clone;
    CopyControl* const m_control;
    const TargetVolume& m_volume;
    std::atomic<std::int64_t> m_arrived = 0; // told to m_control
    const bool m_umaskLimitsOwner = umaskLimitsOwner();
    std::atomic<bool> m_cloneUnsupported = false;
    bool m_inheritsAcls = false;
    bool m_created = false;
    UniqueFd m_lock;
    std::optional<std::pair<dev_t, ino_t>> m_topFolder;
    const uid_t m_uid = ::geteuid();
    const gid_t m_gid = ::getegid();
    // The walk's own; each worker has one of its own.
    Scratch m_scratch;

    // The pool, started by the first folder with files in it.
    bool m_poolTried = false;
    std::vector<std::thread> m_workers;
    std::mutex m_mutex;
    std::condition_variable m_workAvailable;
    std::condition_variable m_frameDone;
    std::deque<FileJob> m_queue; // guarded by m_mutex
    std::size_t m_inFlight = 0;  // guarded by m_mutex: queued or running
    std::size_t m_capacity = 0;
    bool m_stopping = false; // guarded by m_mutex
    // The first error, of the walk or of a worker; once set, nothing more is copied.
    std::atomic<int> m_failed = 0;
};

// Removes `name` in `dirFd` and everything beneath it; yields the first errno or 0. Goes down
// by a loop with a bounded number of folders open, as the copy does, so that whatever a copy
// could make can be removed again.
int removeEntry(int dirFd, const char* name)
{
    if (::unlinkat(dirFd, name, 0) == 0 || errno == ENOENT)
        return 0;
    if (errno != EISDIR)
        return errno;
    UniqueFd top(::openat(dirFd, name, folderOpenFlags));
    if (!top)
        return errno == ENOENT ? 0 : errno;

    int firstError = 0;
    const auto note = [&](int error) {
        if (error != 0 && firstError == 0)
            firstError = error;
    };
    struct Level {
        std::string name;
        Entries entries;
        std::size_t next = 0;
    };
    std::vector<Level> levels(1);
    note(readEntries(top.get(), levels[0].entries));
    FolderChain chain(std::move(top), O_RDONLY, defaultFolderWindow);
    for (;;) {
        Level& level = levels.back();
        const int fd = chain.deepest();
        if (fd >= 0 && level.next < level.entries.list.size()) {
            const char* child = level.entries.name(level.entries.list[level.next++]);
            if (::unlinkat(fd, child, 0) == 0 || errno == ENOENT)
                continue;
            if (errno != EISDIR) {
                note(errno);
                continue;
            }
            UniqueFd folder(::openat(fd, child, folderOpenFlags));
            if (!folder) {
                if (errno != ENOENT)
                    note(errno);
                continue;
            }
            Level inner{child, {}, 0};
            note(readEntries(folder.get(), inner.entries));
            if (const int error = chain.push(std::move(folder), child)) {
                note(error);
                continue;
            }
            levels.push_back(std::move(inner));
            continue;
        }
        // The folder is as empty as it gets (or can't be reached again: it stays, and says so).
        if (fd < 0)
            note(errno);
        if (levels.size() == 1)
            break;
        const std::string emptied = std::move(level.name);
        levels.pop_back();
        chain.pop();
        const int above = chain.deepest();
        if (above < 0)
            note(errno);
        else if (::unlinkat(above, emptied.c_str(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            note(errno);
    }
    if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT)
        note(errno);
    return firstError;
}

// Sums the data beneath sources within a control's walk budget: every entry listed or examined
// spends one, and the time runs from the walk's start. Goes down by a loop with a bounded number
// of folders open, as the copy does.
class SourceWalk {
public:
    // Any budget beyond this is as good as none, and still a time point the clock can hold.
    static constexpr std::chrono::milliseconds longestWalk = std::chrono::hours(24 * 365);

    explicit SourceWalk(const CopyControl& control)
        : m_control(control), m_entriesLeft(control.walkBudget().entries),
          m_deadline(std::chrono::steady_clock::now() +
                     std::min(control.walkBudget().time, longestWalk))
    {}

    // The bytes of the item at `path`; none once the budget ran out.
    std::optional<std::int64_t> measure(const std::string& path)
    {
        if (!spend())
            return std::nullopt;
        if (!path.starts_with('/') || path.find('\0') != std::string::npos)
            return 0;
        struct statx info {};
        if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_SIZE, &info) !=
            0)
            return 0;
        if (S_ISREG(info.stx_mode))
            return static_cast<std::int64_t>(info.stx_size);
        if (!S_ISDIR(info.stx_mode))
            return 0;
        UniqueFd top(::open(path.c_str(), folderOpenFlags));
        if (!top)
            return 0;
        return measureFolder(std::move(top));
    }

private:
    bool spend()
    {
        return --m_entriesLeft >= 0 && std::chrono::steady_clock::now() < m_deadline &&
               !m_control.isCancelled();
    }

    // Lists the folder open as `fd`; false once the budget ran out. What cannot be read counts
    // as empty: its copy will tell.
    bool list(int fd, Entries& entries)
    {
        auto listing = DirListing::open(fd);
        if (!listing)
            return true;
        while (const dirent* entry = listing->next()) {
            if (!spend())
                return false;
            // Links and special files carry no data; they need no second look.
            if (entry->d_type == DT_REG || entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN)
                entries.add(entry->d_name, entry->d_type);
        }
        return true;
    }

    std::optional<std::int64_t> measureFolder(UniqueFd top)
    {
        struct Level {
            Entries entries;
            std::size_t next = 0;
        };
        std::vector<Level> levels(1);
        if (!list(top.get(), levels[0].entries))
            return std::nullopt;
        FolderChain chain(std::move(top), O_RDONLY, defaultFolderWindow);
        std::int64_t total = 0;
        while (!levels.empty()) {
            Level& level = levels.back();
            const int fd = level.next < level.entries.list.size() ? chain.deepest() : -1;
            if (fd < 0) {
                // Done, or the folder cannot be reached again: what is left of it counts nothing.
                levels.pop_back();
                if (!levels.empty())
                    chain.pop();
                continue;
            }
            const std::string name = level.entries.name(level.entries.list[level.next++]);
            struct statx info {};
            if (::statx(fd, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE | STATX_SIZE, &info) != 0)
                continue;
            if (S_ISREG(info.stx_mode))
                total += static_cast<std::int64_t>(info.stx_size);
            if (!S_ISDIR(info.stx_mode))
                continue;
            UniqueFd folder(::openat(fd, name.c_str(), folderOpenFlags));
            if (!folder)
                continue;
            Level inner;
            if (!list(folder.get(), inner.entries))
                return std::nullopt;
            if (chain.push(std::move(folder), name) != 0)
                continue;
            levels.push_back(std::move(inner));
        }
        return total;
    }

    const CopyControl& m_control;
    std::int64_t m_entriesLeft;
    const std::chrono::steady_clock::time_point m_deadline;
};

} // namespace

std::expected<void, TreeCopyFailure> copyTree(const std::string& source, const std::string& target,
                                              bool clone, UniqueFd* lock, CopyControl* control,
                                              const TargetVolume& volume)
{
    return TreeCopier(clone, control, volume).copy(source, target, lock);
}

std::string LeftOutMetadata::text() const
{
    static constexpr std::pair<LeftOut, const char*> names[] = {
        {LeftOut::acls, "ACLs"},        {LeftOut::attributes, "extended attributes"},
        {LeftOut::owners, "owners"},    {LeftOut::modes, "permissions"},
        {LeftOut::flags, "file flags"},
    };
    std::vector<const char*> found;
    for (const auto& [what, name] : names)
        if (contains(what))
            found.push_back(name);
    std::string text;
    for (std::size_t i = 0; i < found.size(); ++i) {
        if (i > 0)
            text += i + 1 == found.size() ? " and " : ", ";
        text += found[i];
    }
    return text;
}

std::optional<std::vector<std::int64_t>> measureSources(const std::vector<std::string>& paths,
                                                        const CopyControl& control)
{
    SourceWalk walk(control);
    std::vector<std::int64_t> sizes;
    sizes.reserve(paths.size());
    for (const std::string& path : paths) {
        const auto size = walk.measure(path);
        if (!size)
            return std::nullopt;
        sizes.push_back(*size);
    }
    return sizes;
}

std::expected<void, SystemError> removeTree(const std::string& path)
{
    if (!namesAnItemInAFolder(path))
        return std::unexpected(SystemError{EINVAL});
    UniqueFd parent(::open(parentPath(path).c_str(), pathOnlyFolderFlags));
    if (!parent) {
        // The folder went, and the item with it.
        if (errno == ENOENT)
            return {};
        return std::unexpected(SystemError{errno});
    }
    if (const int error = removeEntry(parent.get(), lastComponent(path).c_str()))
        return std::unexpected(SystemError{error});
    return {};
}

UniqueFd lockAbandoned(int dirFd, const char* name)
{
    UniqueFd item(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat info {};
    if (!item || ::fstat(item.get(), &info) != 0 ||
        !(S_ISREG(info.st_mode) || S_ISDIR(info.st_mode)))
        return {};
    if (const uid_t uid = ::geteuid(); uid != 0 && info.st_uid != uid)
        return {};
    // Opened again through the descriptor: the item just examined, whatever its name meanwhile
    // names; never a FIFO's or device's open.
    UniqueFd opened(
        ::open(procPath(item.get()).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!opened || ::flock(opened.get(), LOCK_EX | LOCK_NB) != 0)
        return {};
    // Its copy may have moved it to its final name and let go of it meanwhile.
    struct stat named {};
    if (::fstatat(dirFd, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !sameItem(info, named))
        return {};
    return opened;
}

} // namespace ambrevoli
