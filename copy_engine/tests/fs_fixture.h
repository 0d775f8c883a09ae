#pragma once

// The world the copy-engine tests build: temporary folders, tiny or read-only mounts, file
// flags, and a child process that runs as an unprivileged user (root ignores mode bits).

#include "copy_outcome.h"
#include "scoped_env.h"
#include "temp_dir.h"

#include <gtest/gtest.h>

#include <acl/libacl.h>
#include <fcntl.h>
#include <grp.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/acl.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ambrevoli {

// Readable failure messages for the values the tests compare.
inline void PrintTo(const SystemError& error, std::ostream* out) { *out << textualForm(error); }
inline void PrintTo(const CopyFailure& failure, std::ostream* out) { *out << textualForm(failure); }
inline void PrintTo(const DestinationProblem& problem, std::ostream* out)
{
    *out << textualForm(problem);
}
inline void PrintTo(const CopiedItem& item, std::ostream* out)
{
    *out << item.source << " -> " << item.copy << (item.isDirectory ? " (folder)" : "");
}
inline void PrintTo(const FailedItem& item, std::ostream* out)
{
    *out << item.source << ": " << textualForm(item.reason);
}

inline void PrintTo(const CopyReport& report, std::ostream* out)
{
    *out << "{" << report.destination << ", problem "
         << (report.problem ? textualForm(*report.problem) : "none") << ", " << report.itemCount
         << " items";
    for (const auto& item : report.copied)
        *out << "; copied " << item.source << " -> " << item.copy;
    for (const auto& item : report.failed)
        *out << "; failed " << item.source << ": " << textualForm(item.reason);
    *out << "}";
}

} // namespace ambrevoli

namespace ambrevoli::testing {

namespace fs = std::filesystem;

inline constexpr uid_t nobody = 65534;

inline void writeFile(const std::string& path, std::string_view content, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), mode);
}

inline std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline struct stat lstatOf(const std::string& path)
{
    struct stat info {};
    EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
    return info;
}

// The names in a folder, sorted.
inline std::vector<std::string> namesIn(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The ACL of `type` in its long text form: "" when the item has none beyond its mode bits,
// "error" when it cannot be read.
inline std::string aclText(const std::string& path, acl_type_t type)
{
    acl_t acl = ::acl_get_file(path.c_str(), type);
    if (acl == nullptr)
        return "error";
    std::string text;
    if (::acl_entries(acl) > 0 && (type == ACL_TYPE_DEFAULT || ::acl_equiv_mode(acl, nullptr) != 0))
        if (char* raw = ::acl_to_text(acl, nullptr)) {
            text = raw;
            ::acl_free(raw);
        }
    ::acl_free(acl);
    return text;
}

// Sets the ACL of `type` from its text form; false where the volume or the system refuses.
inline bool setAcl(const std::string& path, acl_type_t type, const char* text)
{
    acl_t acl = ::acl_from_text(text);
    const bool set = acl != nullptr && ::acl_set_file(path.c_str(), type, acl) == 0;
    ::acl_free(acl);
    return set;
}

// The item's file flags word, or no value when it has none.
inline std::optional<int> itemFlags(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    int flags = 0;
    const bool read = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    ::close(fd);
    return read ? std::optional(flags) : std::nullopt;
}

// Sets and clears file flags; yields 0 or the errno.
inline int changeFlags(const std::string& path, int set, int clear = 0)
{
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int flags = 0;
    int error = 0;
    if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) != 0)
        error = errno;
    flags = (flags | set) & ~clear;
    if (error == 0 && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) != 0)
        error = errno;
    ::close(fd);
    return error;
}

// Unlocks everything beneath `root` and gives its owner full access to every folder, so that the
// temporary folder can be removed whatever a test left in it.
inline void unlockTree(const std::string& root)
{
    std::error_code ignored;
    std::vector<std::string> pending{root};
    while (!pending.empty()) {
        const std::string path = pending.back();
        pending.pop_back();
        const auto status = fs::symlink_status(path, ignored);
        struct statx info {};
        if ((fs::is_regular_file(status) || fs::is_directory(status)) &&
            ::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, 0, &info) == 0 &&
            (info.stx_attributes & (STATX_ATTR_IMMUTABLE | STATX_ATTR_APPEND)) != 0)
            changeFlags(path, 0, FS_IMMUTABLE_FL | FS_APPEND_FL);
        if (!fs::is_directory(status))
            continue;
        ::chmod(path.c_str(), 0700);
        for (const auto& entry : fs::directory_iterator(path, ignored))
            pending.push_back(entry.path());
    }
}

// Every hidden item the engine makes for a moment, found anywhere beneath `root`.
inline std::vector<std::string> engineLeftovers(const std::string& root)
{
    std::vector<std::string> found;
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(root, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        const std::string name = it->path().filename();
        if (name.starts_with(".ambrevoli-copy-") || name.starts_with(".ambrevoli-check-"))
            found.push_back(it->path());
    }
    return found;
}

// Moves this test process into a mount namespace of its own, once, so that no mount it makes is
// seen elsewhere or outlives it. False when that is not possible (not root, no namespaces, or
// threads already running).
inline bool privateMounts()
{
    static const bool entered = ::unshare(CLONE_NEWNS) == 0 &&
                                ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
    return entered;
}

// A tmpfs mounted at a folder for the life of the value.
class ScopedTmpfs {
public:
    // Mounts at `path` (created) with tmpfs `options`; read-only when asked. Check mounted().
    ScopedTmpfs(const std::string& path, const std::string& options, bool readOnly = false)
        : m_path(path)
    {
        ::mkdir(path.c_str(), 0755);
        m_mounted = privateMounts() && ::mount("tmpfs", path.c_str(), "tmpfs",
                                               readOnly ? MS_RDONLY : 0, options.c_str()) == 0;
    }
    ~ScopedTmpfs()
    {
        if (m_mounted) {
            EXPECT_EQ(engineLeftovers(m_path), std::vector<std::string>());
            unlockTree(m_path);
            ::umount2(m_path.c_str(), MNT_DETACH);
        }
    }
    ScopedTmpfs(const ScopedTmpfs&) = delete;
    ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;

    bool mounted() const { return m_mounted; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    bool m_mounted = false;
};

// Runs `body` in a child process once `prepare` (in the child) returned 0, and yields what `body`
// returned; no value when the child could not start, `prepare` returned an exit status of its
// own, or the child died.
inline std::optional<std::string> runInChild(const std::function<int()>& prepare,
                                             const std::function<std::string()>& body)
{
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return std::nullopt;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(pipeFds[0]);
        ::close(pipeFds[1]);
        return std::nullopt;
    }
    if (child == 0) {
        ::close(pipeFds[0]);
        if (const int status = prepare())
            ::_exit(status);
        const std::string result = body();
        const char* data = result.data();
        std::size_t left = result.size();
        while (left > 0) {
            const ssize_t written = ::write(pipeFds[1], data, left);
            if (written <= 0)
                ::_exit(4);
            data += written;
            left -= static_cast<std::size_t>(written);
        }
        ::_exit(0);
    }
    ::close(pipeFds[1]);
    std::string result;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        result.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return std::nullopt;
    return result;
}

// Runs `body` in a child process that has dropped to nobody (65534:65534, no supplementary
// groups) and yields what it returned; no value when the drop or the child failed, or when the
// child cannot reach `reach` (a temporary folder inside a folder closed to others).
inline std::optional<std::string> runAsNobody(const std::function<std::string()>& body,
                                              const std::string& reach)
{
    if (::geteuid() != 0)
        return std::nullopt;
    return runInChild(
        [&] {
            if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
                ::setresuid(nobody, nobody, nobody) != 0)
                return 3;
            return ::access(reach.c_str(), X_OK) != 0 ? 5 : 0;
        },
        body);
}

// The names of a folder in the order a listing (and so a copy) visits them.
inline std::vector<std::string> listingOrder(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir))
            if (std::string_view(entry->d_name) != "." && std::string_view(entry->d_name) != "..")
                names.push_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

// Renames the entry `later` of `folder` (by appending to its name) until a listing visits
// `first` before it, and yields its final name. Listing order follows name hashes or creation,
// so a few renames settle it.
inline std::string listAfter(const std::string& folder, const std::string& first, std::string later)
{
    for (int tries = 0; tries < 64; ++tries) {
        const auto order = listingOrder(folder);
        const auto firstAt = std::find(order.begin(), order.end(), first);
        const auto laterAt = std::find(order.begin(), order.end(), later);
        if (firstAt < laterAt)
            return later;
        const std::string renamed = later + "~";
        fs::rename(folder + "/" + later, folder + "/" + renamed);
        later = renamed;
    }
    ADD_FAILURE() << "cannot order the listing of " << folder;
    return later;
}

// A temporary folder per test that nobody may enter, and a check afterwards that the engine left
// none of its hidden items anywhere in it.
class CopyTest : public ::testing::Test {
protected:
    void SetUp() override { ::chmod(m_temp.path().c_str(), 0755); }
    void TearDown() override
    {
        EXPECT_EQ(engineLeftovers(m_temp.path()), std::vector<std::string>());
        unlockTree(m_temp.path());
    }

    std::string path(std::string_view name) const { return m_temp / name; }
    std::string makeFolder(std::string_view name, mode_t mode = 0755) const
    {
        const std::string folder = path(name);
        fs::create_directories(folder);
        ::chmod(folder.c_str(), mode);
        return folder;
    }

    ScopedTempDir m_temp;
};

} // namespace ambrevoli::testing
