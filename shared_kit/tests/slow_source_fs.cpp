// slow_source_fs MOUNTPOINT BYTES_PER_SECOND NAME=SIZE...
//
// A read-only FUSE file system for tests of long copies: mounts at MOUNTPOINT, in the foreground,
// a folder holding one regular file per NAME=SIZE, whose bytes are SlowSourceContent(NAME). Reads
// of the whole file system together are held to BYTES_PER_SECOND (0: as fast as it goes), so a
// copy of it lasts as long as a test needs; listing and stat are never held up by them. Files are
// 0444 and the folder 0555, owned by whoever runs the program. Ends on SIGTERM, SIGINT or SIGHUP,
// or when the file system is unmounted, and unmounts what it mounted. Use it through SlowSource
// (slow_source.h).

#define FUSE_USE_VERSION FUSE_MAKE_VERSION(3, 12)
#include <fuse.h>
#include <fuse_lowlevel.h>

#include "slow_source_content.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace {

using ambrevoli::testing::SlowSourceContent;
using Clock = std::chrono::steady_clock;

// Spends a budget of bytes per second shared by every read in flight: each read waits for its own
// slot behind those before it, so the rate holds however many threads the kernel reads with.
class Throttle {
public:
    explicit Throttle(std::uint64_t bytesPerSecond) : m_bytesPerSecond(bytesPerSecond) {}

    void take(std::uint64_t bytes)
    {
        if (m_bytesPerSecond == 0)
            return;
        Clock::time_point until;
        {
            const std::lock_guard lock(m_mutex);
            // An idle spell earns no credit: the next read is slow as well.
            m_next = std::max(m_next, Clock::now()) +
                     std::chrono::nanoseconds(bytes * 1'000'000'000ull / m_bytesPerSecond);
            until = m_next;
        }
        // In short spells, so that an unmount or SIGTERM does not wait for a long queue of reads.
        fuse_session* session = fuse_get_session(fuse_get_context()->fuse);
        while (Clock::now() < until && !fuse_session_exited(session))
            std::this_thread::sleep_for(
                std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(50)));
    }

private:
    const std::uint64_t m_bytesPerSecond;
    std::mutex m_mutex;
    Clock::time_point m_next;
};

struct SlowSourceFs {
    std::map<std::string, std::uint64_t, std::less<>> files;
    Throttle throttle;
    uid_t uid = ::getuid();
    gid_t gid = ::getgid();
    timespec mounted{};
};

SlowSourceFs& self() { return *static_cast<SlowSourceFs*>(fuse_get_context()->private_data); }

// The served file a path names, or none: only "/NAME" is one.
const std::pair<const std::string, std::uint64_t>* fileAt(const char* path)
{
    const std::string_view name = std::string_view(path).substr(1);
    const auto found = self().files.find(name);
    return found == self().files.end() ? nullptr : &*found;
}

int getAttributes(const char* path, struct stat* st, fuse_file_info*)
{
    const SlowSourceFs& fs = self();
    *st = {};
    st->st_uid = fs.uid;
    st->st_gid = fs.gid;
    st->st_atim = st->st_mtim = st->st_ctim = fs.mounted;
    st->st_blksize = 4096;
    if (std::strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0555;
        st->st_nlink = 2;
        return 0;
    }
    const auto* file = fileAt(path);
    if (file == nullptr)
        return -ENOENT;
    st->st_mode = S_IFREG | 0444;
    st->st_nlink = 1;
    st->st_size = static_cast<off_t>(file->second);
    // Every byte is backed, so that a copier does not take the file for a sparse one.
    st->st_blocks = static_cast<blkcnt_t>((file->second + 511) / 512);
    return 0;
}

int readFolder(const char* path, void* buffer, fuse_fill_dir_t fill, off_t, fuse_file_info*,
               fuse_readdir_flags)
{
    if (std::strcmp(path, "/") != 0)
        return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags{});
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags{});
    for (const auto& [name, size] : self().files)
        fill(buffer, name.c_str(), nullptr, 0, fuse_fill_dir_flags{});
    return 0;
}

int openFile(const char* path, fuse_file_info* info)
{
    if (fileAt(path) == nullptr)
        return -ENOENT;
    if ((info->flags & O_ACCMODE) != O_RDONLY)
        return -EROFS;
    return 0;
}

int readFile(const char* path, char* buffer, size_t size, off_t offset, fuse_file_info*)
{
    const auto* file = fileAt(path);
    if (file == nullptr)
        return -ENOENT;
    const std::uint64_t start = static_cast<std::uint64_t>(offset);
    if (offset < 0 || start >= file->second)
        return 0;
    const std::size_t count =
        static_cast<std::size_t>(std::min<std::uint64_t>(size, file->second - start));
    SlowSourceContent(file->first).fill(start, std::span(buffer, count));
    self().throttle.take(count);
    return static_cast<int>(count);
}

bool parseNumber(std::string_view text, std::uint64_t& value)
{
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

int usage(const char* message, std::string_view argument = {})
{
    std::fprintf(stderr, "slow_source_fs: %s%.*s\n", message, static_cast<int>(argument.size()),
                 argument.data());
    std::fprintf(stderr, "usage: slow_source_fs MOUNTPOINT BYTES_PER_SECOND NAME=SIZE...\n");
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 4)
        return usage("too few arguments");
    std::uint64_t bytesPerSecond = 0;
    if (!parseNumber(argv[2], bytesPerSecond))
        return usage("not a rate: ", argv[2]);
    SlowSourceFs fs{.files = {}, .throttle = Throttle(bytesPerSecond)};
    ::clock_gettime(CLOCK_REALTIME, &fs.mounted);
    for (int i = 3; i < argc; ++i) {
        const std::string_view file = argv[i];
        const auto equals = file.rfind('=');
        std::uint64_t size = 0;
        if (equals == std::string_view::npos || !parseNumber(file.substr(equals + 1), size))
            return usage("not NAME=SIZE: ", file);
        const std::string_view name = file.substr(0, equals);
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
            return usage("not a file name: ", name);
        if (!fs.files.emplace(name, size).second)
            return usage("named twice: ", name);
    }

    fuse_operations operations{};
    operations.getattr = getAttributes;
    operations.readdir = readFolder;
    operations.open = openFile;
    operations.read = readFile;

    // Root may let every user in (a test that drops to nobody reads it too); anyone else would
    // need user_allow_other in /etc/fuse.conf.
    const std::string options = std::string("ro,default_permissions,fsname=slow_source_fs") +
                                (::getuid() == 0 ? ",allow_other" : "");
    fuse_args args = FUSE_ARGS_INIT(0, nullptr);
    fuse_opt_add_arg(&args, argv[0]);
    fuse_opt_add_arg(&args, "-o");
    fuse_opt_add_arg(&args, options.c_str());
    fuse* session = fuse_new(&args, &operations, sizeof operations, &fs);
    fuse_opt_free_args(&args);
    if (session == nullptr)
        return 1;
    int status = 1;
    if (fuse_mount(session, argv[1]) == 0) {
        if (fuse_set_signal_handlers(fuse_get_session(session)) == 0) {
            fuse_loop_config* loop = fuse_loop_cfg_create();
            // This libfuse ends the loop with the number of the signal that ended it.
            const int ended = fuse_loop_mt(session, loop);
            status = ended == 0 || ended == SIGTERM || ended == SIGINT || ended == SIGHUP ? 0 : 1;
            fuse_loop_cfg_destroy(loop);
            fuse_remove_signal_handlers(fuse_get_session(session));
        }
        fuse_unmount(session);
    }
    fuse_destroy(session);
    return status;
}
