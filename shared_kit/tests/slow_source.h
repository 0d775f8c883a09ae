#pragma once

// A source folder whose reads are slow, for tests of what happens while a copy runs (progress,
// Cancel): slow_source_fs (slow_source_fs.cpp) mounted for the life of a value.
//
//     ScopedTempDir dir;                     // declared first: it outlives the mount
//     auto source = SlowSource::mount(dir / "source", {{"big.bin", 16 << 20}}, 4 << 20);
//     if (!source)
//         GTEST_SKIP() << source.error();    // QSKIP(qPrintable(…)) in a QtTest
//     copy(source->path("big.bin"), …);      // lasts about 4 s
//     EXPECT_EQ(SlowSource::mismatch(copied, source->files()[0]), std::nullopt);
//
// The rate holds for all the files' reads together, and every open reads afresh (no page cache
// is kept between opens), so a second copy is as slow as the first. Listing and stat answer at
// once even while reads wait.
//
// The test target finds the program through ambrevoli_use_slow_source(<target>) in CMake, which
// compiles its path in; where libfuse3 was missing at configure time there is no program, and
// mount() says so. Free of GoogleTest and Qt, so that either kind of test can use it.

#include "slow_source_content.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <expected>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace ambrevoli::testing {

class SlowSource {
public:
    struct File {
        std::string name; // a plain file name, no '/'
        std::uint64_t size;
    };

    // Why no slow source can be mounted here, or nothing when one may be: the program was not
    // built (libfuse3 missing), or /dev/fuse can't be opened. Mounting can still fail where
    // mounting is not allowed; mount() then says why.
    static std::optional<std::string> unavailableReason()
    {
#ifndef AMBREVOLI_SLOW_SOURCE_FS
        return "slow_source_fs was not built (libfuse3 was not found, or the test target lacks "
               "ambrevoli_use_slow_source())";
#else
        if (::access(AMBREVOLI_SLOW_SOURCE_FS, X_OK) != 0)
            return std::string("can't run " AMBREVOLI_SLOW_SOURCE_FS ": ") + std::strerror(errno);
        const int fuse = ::open("/dev/fuse", O_RDWR | O_CLOEXEC);
        if (fuse < 0)
            return std::string("/dev/fuse: ") + std::strerror(errno);
        ::close(fuse);
        return std::nullopt;
#endif
    }

    // Mounts a folder at `folder` (created when missing) that holds `files`, whose bytes are
    // SlowSourceContent(name), and whose reads together go at `bytesPerSecond` (0: unthrottled).
    // Returns once the files can be seen there. On failure — unavailableReason(), the program
    // ended or did not mount within 10 s — nothing is left running or mounted and the error says
    // why, with what the program printed.
    //
    // The program ends with the value (and, through SIGTERM, with the thread that called this,
    // should the test die first). Call from the thread that lives as long as the test.
    static std::expected<SlowSource, std::string> mount(std::string folder, std::vector<File> files,
                                                        std::uint64_t bytesPerSecond)
    {
        if (auto reason = unavailableReason())
            return std::unexpected(*reason);
#ifdef AMBREVOLI_SLOW_SOURCE_FS
        if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST)
            return std::unexpected("mkdir " + folder + ": " + std::strerror(errno));
        // The folder may be a mount point already (a tmpfs of the test's): the mount is live when
        // the folder's device changes, not when it differs from its parent's.
        struct stat before {};
        if (::stat(folder.c_str(), &before) != 0)
            return std::unexpected("stat " + folder + ": " + std::strerror(errno));

        std::vector<std::string> arguments = {AMBREVOLI_SLOW_SOURCE_FS, folder,
                                              std::to_string(bytesPerSecond)};
        for (const File& file : files)
            arguments.push_back(file.name + "=" + std::to_string(file.size));
        std::vector<char*> argv;
        for (std::string& argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);

        // What the program prints, kept without a file or a pipe that could fill up.
        const int output = ::memfd_create("slow_source_fs-output", MFD_CLOEXEC);
        const int nothing = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (output < 0 || nothing < 0) {
            const std::string error = std::strerror(errno);
            closeIfOpen(output);
            closeIfOpen(nothing);
            return std::unexpected("can't start slow_source_fs: " + error);
        }
        const pid_t parentPid = ::getpid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            // Only what is safe between fork and exec in a process that may have threads.
            ::dup2(nothing, STDIN_FILENO);
            ::dup2(output, STDOUT_FILENO);
            ::dup2(output, STDERR_FILENO);
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parentPid)
                ::_exit(127);
            // It ends and unmounts on these; a test that ignores or blocks them must not pass
            // that on.
            sigset_t none;
            ::sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            struct sigaction byDefault {};
            byDefault.sa_handler = SIG_DFL;
            for (const int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE})
                ::sigaction(signal, &byDefault, nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        const int forkError = errno;
        ::close(nothing);
        if (pid < 0) {
            ::close(output);
            return std::unexpected(std::string("fork: ") + std::strerror(forkError));
        }

        SlowSource source(std::move(folder), std::move(files), pid);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                source.m_pid = -1;
                std::string error = "slow_source_fs " + describe(status) + " without mounting at " +
                                    source.m_folder + printed(output);
                ::close(output);
                return std::unexpected(std::move(error));
            }
            struct stat mounted {};
            if (::stat(source.m_folder.c_str(), &mounted) == 0 && mounted.st_dev != before.st_dev) {
                source.m_device = mounted.st_dev;
                break;
            }
            if (std::chrono::steady_clock::now() > deadline) {
                std::string error = "slow_source_fs did not mount at " + source.m_folder +
                                    " within 10 s" + printed(output);
                ::close(output);
                return std::unexpected(std::move(error)); // `source` ends the program
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ::close(output);
        return source;
#endif
    }

    // Whether the file at `path` holds exactly what `served` was served as: nothing when it does,
    // else where it first differs (size, or the offset of the first wrong byte).
    static std::optional<std::string> mismatch(const std::string& path, const File& served)
    {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return "can't open " + path;
        const SlowSourceContent content(served.name);
        std::vector<char> expected(1 << 20), actual(1 << 20);
        std::uint64_t offset = 0;
        for (;;) {
            in.read(actual.data(), static_cast<std::streamsize>(actual.size()));
            const auto count = static_cast<std::uint64_t>(in.gcount());
            if (offset + count > served.size)
                return path + " is longer than the " + std::to_string(served.size) + " bytes of " +
                       served.name;
            content.fill(offset, std::span(expected.data(), count));
            for (std::uint64_t i = 0; i < count; ++i)
                if (actual[i] != expected[i])
                    return path + " differs from " + served.name + " at byte " +
                           std::to_string(offset + i);
            offset += count;
            if (count < actual.size())
                break;
        }
        if (in.bad())
            return "can't read " + path;
        if (offset != served.size)
            return path + " holds " + std::to_string(offset) + " of the " +
                   std::to_string(served.size) + " bytes of " + served.name;
        return std::nullopt;
    }

    SlowSource(SlowSource&& other) noexcept
        : m_folder(std::move(other.m_folder)), m_files(std::move(other.m_files)),
          m_pid(std::exchange(other.m_pid, -1)), m_device(other.m_device)
    {}
    SlowSource& operator=(SlowSource&& other) noexcept
    {
        if (this != &other) {
            end();
            m_folder = std::move(other.m_folder);
            m_files = std::move(other.m_files);
            m_pid = std::exchange(other.m_pid, -1);
            m_device = other.m_device;
        }
        return *this;
    }
    SlowSource(const SlowSource&) = delete;
    SlowSource& operator=(const SlowSource&) = delete;

    // Unmounts, lazily, so that a copy still reading does not keep the mount; ends the program
    // (SIGKILL after 5 s) and reaps it.
    ~SlowSource() { end(); }

    // The mounted folder, and the path of one of its files.
    const std::string& folder() const { return m_folder; }
    std::string path(std::string_view name) const { return m_folder + "/" + std::string(name); }
    const std::vector<File>& files() const { return m_files; }

private:
    SlowSource(std::string folder, std::vector<File> files, pid_t pid)
        : m_folder(std::move(folder)), m_files(std::move(files)), m_pid(pid)
    {}

    void end()
    {
        if (m_pid <= 0)
            return;
        // The mount goes first: a program that crashed can no longer unmount it itself. As root
        // it is ours to drop; anyone else goes through the setuid helper.
        if (!stillMounted()) {
        } else if (::geteuid() == 0) {
            ::umount2(m_folder.c_str(), MNT_DETACH);
        } else {
            const char* argv[] = {"fusermount3", "-u", "-z", m_folder.c_str(), nullptr};
            pid_t helper = -1;
            if (::posix_spawnp(&helper, "fusermount3", nullptr, nullptr,
                               const_cast<char* const*>(argv), environ) == 0)
                while (::waitpid(helper, nullptr, 0) < 0 && errno == EINTR) {
                }
        }
        ::kill(m_pid, SIGTERM);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (::waitpid(m_pid, nullptr, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(m_pid, SIGKILL);
                while (::waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
                }
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        m_pid = -1;
    }

    // Whether our mount is still there, found by its device rather than by a stat of the folder:
    // that would hang on a program that hangs, and once the mount is gone it would see what the
    // folder was before, which is not ours to unmount.
    bool stillMounted() const
    {
        if (m_device == 0)
            return false;
        const std::string device =
            std::to_string(major(m_device)) + ":" + std::to_string(minor(m_device));
        std::ifstream mountinfo("/proc/self/mountinfo");
        for (std::string line; std::getline(mountinfo, line);) {
            // "id parent major:minor root mount-point …"
            const auto third = line.find(' ', line.find(' ') + 1) + 1;
            if (line.compare(third, device.size() + 1, device + " ") == 0)
                return true;
        }
        return false;
    }

    static void closeIfOpen(int fd)
    {
        if (fd >= 0)
            ::close(fd);
    }

    static std::string describe(int status)
    {
        if (WIFEXITED(status))
            return "exited with status " + std::to_string(WEXITSTATUS(status));
        if (WIFSIGNALED(status))
            return std::string("was killed by ") + ::strsignal(WTERMSIG(status));
        return "ended";
    }

    // What the program printed into `output`, as the tail of an error.
    static std::string printed(int output)
    {
        std::string text;
        char buffer[4096];
        for (off_t at = 0;;) {
            const ssize_t count = ::pread(output, buffer, sizeof buffer, at);
            if (count <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(count));
            at += count;
        }
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text.empty() ? std::string() : ": " + text;
    }

    std::string m_folder;
    std::vector<File> m_files;
    pid_t m_pid = -1;
    dev_t m_device = 0; // of the mount, once it is live
};

} // namespace ambrevoli::testing
