#include "bookmark.h"

#include "dir_listing.h"
#include "network_shares.h"
#include "paths.h"
#include "unique_fd.h"
#include "user_dirs.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <utility>

namespace ambrevoli {

std::string textualForm(const BookmarkError& e)
{
    using enum BookmarkError::Case;
    switch (e.kind) {
    case malformed: return "malformed";
    case unsupportedVersion: return "unsupportedVersion";
    case notFound: return "notFound";
    }
    return "unknown";
}

std::string_view errorDomain(const BookmarkError&) { return "AmbrevoliKit.BookmarkError"; }
long errorCode(const BookmarkError& e) { return static_cast<long>(e.kind); }

namespace {

constexpr std::uint8_t formatVersion = 1;

struct Identity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::optional<std::uint32_t> generation;
};

struct Decoded {
    Identity identity;
    std::string path;
};

void putInteger(std::string& out, std::uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

std::optional<std::uint64_t> takeInteger(std::string_view& in, int bytes)
{
    if (in.size() < static_cast<std::size_t>(bytes))
        return std::nullopt;
    std::uint64_t value = 0;
    for (int i = 0; i < bytes; ++i)
        value |= static_cast<std::uint64_t>(static_cast<std::uint8_t>(in[i])) << (8 * i);
    in.remove_prefix(static_cast<std::size_t>(bytes));
    return value;
}

// Layout, little-endian: version (1), device (8), inode (8), has generation (1),
// generation (4), path length (4), path bytes.
std::expected<Decoded, BookmarkError> decode(std::string_view in)
{
    const auto version = takeInteger(in, 1);
    if (!version)
        return std::unexpected(BookmarkError::malformed());
    if (*version != formatVersion)
        return std::unexpected(*version > formatVersion ? BookmarkError::unsupportedVersion()
                                                        : BookmarkError::malformed());
    const auto device = takeInteger(in, 8), inode = takeInteger(in, 8);
    const auto hasGeneration = takeInteger(in, 1), generation = takeInteger(in, 4);
    const auto pathLength = takeInteger(in, 4);
    if (!device || !inode || !hasGeneration || *hasGeneration > 1 || !generation || !pathLength ||
        in.size() != *pathLength || in.empty() || in.front() != '/' || hasNulByte(in))
        return std::unexpected(BookmarkError::malformed());
    Decoded decoded{{*device, *inode, std::nullopt}, std::string(in)};
    if (*hasGeneration)
        decoded.identity.generation = static_cast<std::uint32_t>(*generation);
    return decoded;
}

// The inode generation, where the file system keeps one. `fd` is open on the item.
std::optional<std::uint32_t> generationOf(int fd)
{
    int generation = 0;
    if (::ioctl(fd, FS_IOC_GETVERSION, &generation) != 0)
        return std::nullopt;
    return static_cast<std::uint32_t>(generation);
}

// What the search knows of a directory entry without opening it.
struct Entry {
    bool isFolder = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    bool isMountRoot = false; // the root of a mount, a bind mount of the same file system included
};

// Looks at the entry `name` relative to `dirfd` (or the absolute path, with AT_FDCWD) without
// opening it: no link is followed, no automount triggered, and a network file system answers
// from its cache, so a dead server cannot hang the caller.
std::optional<Entry> look(int dirfd, const char* name)
{
    struct statx info {};
    if (::statx(dirfd, name, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC,
                STATX_TYPE | STATX_INO, &info) != 0)
        return std::nullopt;
    return Entry{
        .isFolder = S_ISDIR(info.stx_mode),
        .device = makedev(info.stx_dev_major, info.stx_dev_minor),
        .inode = info.stx_ino,
        // Kernels before 5.8 do not tell; the device check then has to do.
        .isMountRoot = (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
                       (info.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0,
    };
}

// Whether the folder named by `name` relative to `dirfd` (or the absolute path, with AT_FDCWD)
// is the bookmarked one. Links are never followed, automounts never triggered, and only the
// bookmarked folder itself is opened (for its generation).
bool matches(int dirfd, const char* name, const Identity& identity)
{
    const auto entry = look(dirfd, name);
    if (!entry || !entry->isFolder || entry->device != identity.device ||
        entry->inode != identity.inode)
        return false;
    if (!identity.generation)
        return true;
    UniqueFd fd(
        ::openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    // A file system that kept a generation at making time keeps one now; a different one means
    // the inode number was reused by another folder.
    return fd && generationOf(fd.get()) == identity.generation;
}

class Search {
public:
    // `budget` is shared by every search of one resolution.
    Search(const Identity& identity, std::size_t& budget) : m_identity(identity), m_budget(budget)
    {}

    // Looks through `root` and its subfolders down to `depth` levels, breadth first, staying on
    // the bookmarked folder's device. Yields the found path. A folder is opened only once it is
    // known, without opening it, to be on that device and, below `root`, not a mount's root:
    // opening an automount point would mount it, and opening a dead network mount would hang.
    std::optional<std::string> subtree(const std::string& root, int depth)
    {
        const auto top = look(AT_FDCWD, root.c_str());
        if (!top || !top->isFolder || top->device != m_identity.device)
            return std::nullopt;
        std::deque<std::pair<std::string, int>> queue{{root, 0}};
        while (!queue.empty() && m_budget > 0) {
            auto [folder, level] = std::move(queue.front());
            queue.pop_front();
            const UniqueFd fd(::open(folder.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            if (!fd)
                continue;
            // Checked again on the open folder: something may have been mounted meanwhile.
            struct stat info {};
            if (::fstat(fd.get(), &info) != 0 || info.st_dev != m_identity.device ||
                !m_listed.insert(info.st_ino).second)
                continue;
            auto listing = DirListing::open(fd.get());
            if (!listing)
                continue;
            const int listed = fd.get();
            // A folder that fails to be read part-way is searched as far as it was read.
            while (const dirent* entry = listing->next()) {
                const std::string_view name = entry->d_name;
                if (m_budget == 0)
                    return std::nullopt;
                --m_budget;
                if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
                    continue;
                if (entry->d_ino == m_identity.inode && matches(listed, entry->d_name, m_identity))
                    return joinPath(folder, name);
                if (level + 1 >= depth)
                    continue;
                const auto below = look(listed, entry->d_name);
                if (below && below->isFolder && below->device == m_identity.device &&
                    !below->isMountRoot)
                    queue.emplace_back(joinPath(folder, name), level + 1);
            }
        }
        return std::nullopt;
    }

private:
    const Identity& m_identity;
    std::size_t& m_budget;
    std::set<std::uint64_t> m_listed; // folders already looked through, by inode
};

// The root of the mount that holds `path`: the highest ancestor still on `device`.
std::string mountRootOf(const std::string& path, std::uint64_t device)
{
    std::string root = path;
    for (std::string current = parentPath(path);; current = parentPath(current)) {
        // Links are followed here, as the path was when the bookmark was made.
        struct statx info {};
        if (::statx(AT_FDCWD, current.c_str(), AT_NO_AUTOMOUNT | AT_STATX_DONT_SYNC, STATX_TYPE,
                    &info) != 0 ||
            makedev(info.stx_dev_major, info.stx_dev_minor) != device)
            break;
        root = current;
        if (current == "/")
            break;
    }
    return root;
}

} // namespace

std::expected<std::string, SystemError> makeBookmark(const std::string& path)
{
    if (!path.starts_with('/') || hasNulByte(path))
        return std::unexpected(SystemError{EINVAL});
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
    if (!fd)
        return std::unexpected(SystemError::last());
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0)
        return std::unexpected(SystemError::last());
    const auto generation = generationOf(fd.get());

    std::string bytes;
    putInteger(bytes, formatVersion, 1);
    putInteger(bytes, info.st_dev, 8);
    putInteger(bytes, info.st_ino, 8);
    putInteger(bytes, generation ? 1 : 0, 1);
    putInteger(bytes, generation.value_or(0), 4);
    putInteger(bytes, path.size(), 4);
    bytes += path;
    return bytes;
}

std::expected<ResolvedBookmark, BookmarkError> resolveBookmark(std::string_view bookmark,
                                                               const BookmarkSearch& options)
{
    const auto decoded = decode(bookmark);
    if (!decoded)
        return std::unexpected(decoded.error());
    const Identity& identity = decoded->identity;
    const std::string& stored = decoded->path;

    if (matches(AT_FDCWD, stored.c_str(), identity))
        return ResolvedBookmark{stored, false};

    // The desktop's FUSE bridge numbers a share's items itself, afresh for every mount and session,
    // with all shares on one device: there an old identity finds nothing for sure and may find
    // another folder. Only the path counts.
    if (networkShareOf(stored)) {
        if (isFolder(stored))
            return ResolvedBookmark{stored, false};
        return std::unexpected(BookmarkError::notFound());
    }

    std::size_t budget = options.budget;

    // A folder renamed in place is found within the old parent's own entries, and one moved to
    // the trash lies at the top of a trash folder: both are cheap, so they come first.
    Search nearby(identity, budget);
    if (auto found = nearby.subtree(parentPath(stored), 1))
        return ResolvedBookmark{*found, true};
    std::string homeTrash = options.homeTrash;
    if (homeTrash.empty())
        if (auto data = dataHome())
            homeTrash = joinPath(*data, "Trash/files");
    const std::string mountRoot = mountRootOf(stored, identity.device);
    const std::string uid = std::to_string(::getuid());
    for (const std::string& trash : {homeTrash, joinPath(mountRoot, ".Trash-" + uid + "/files"),
                                     joinPath(mountRoot, ".Trash/" + uid + "/files")}) {
        if (trash.empty())
            continue;
        if (auto found = nearby.subtree(trash, 1))
            return ResolvedBookmark{*found, true};
    }

    // Then each ancestor's subtree, nearest first, breadth first. Folders already looked
    // through on this walk are not listed again.
    Search wider(identity, budget);
    for (std::string ancestor = parentPath(stored);;) {
        if (auto found = wider.subtree(ancestor, options.depth))
            return ResolvedBookmark{*found, true};
        if (ancestor == "/")
            break;
        ancestor = parentPath(ancestor);
    }
    return std::unexpected(BookmarkError::notFound());
}

} // namespace ambrevoli
