#include "volumes.h"

#include "dir_listing.h"
#include "file_util.h"
#include "paths.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <optional>
#include <ranges>

#ifndef STATX_MNT_ID
#define STATX_MNT_ID 0x00001000U
#endif
#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x00004000U
#endif

namespace ambrevoli {

namespace {

constexpr std::string_view mountInfoFile = "/proc/self/mountinfo";

// The folders the system keeps for itself: a disk mounted there is part of the computer, even
// when it hangs off a USB port.
constexpr std::array systemFolders = {"/boot", "/efi",  "/usr", "/var",  "/etc", "/opt",
                                      "/srv",  "/home", "/tmp", "/proc", "/sys", "/dev",
                                      "/root", "/snap", "/run", "/nix",  "/lib", "/bin"};
// Where desktops mount what the user plugs in (udisks: /media/<user>/<label> or
// /run/media/<user>/<label>).
constexpr std::array mediaFolders = {"/media", "/run/media"};

constexpr std::array networkFileSystems = {
    "nfs",   "nfs4",       "cifs", "smb3",       "smbfs",           "9p",
    "ceph",  "glusterfs",  "afs",  "fuse.sshfs", "fuse.gvfsd-fuse", "fuse.rclone",
    "davfs", "fuse.davfs2"};

bool liesIn(std::string_view root, std::string_view folder)
{
    return root != folder && isWithin(root, folder);
}

bool isOffered(const MountCandidate& mount)
{
    if (!mount.root.starts_with('/') || normalizedPath(mount.root) == "/" || hasNulByte(mount.root))
        return false;
    if (!mount.device.starts_with("/dev/") ||
        std::ranges::find(networkFileSystems, mount.fsType) != networkFileSystems.end())
        return false;
    const bool inMedia = std::ranges::any_of(
        mediaFolders, [&](std::string_view folder) { return liesIn(mount.root, folder); });
    if (inMedia)
        return true;
    const bool inSystem = std::ranges::any_of(
        systemFolders, [&](std::string_view folder) { return isWithin(mount.root, folder); });
    return mount.removable && !inSystem;
}

bool lessWithoutCase(std::string_view a, std::string_view b)
{
    return std::ranges::lexicographical_compare(
        a, b, [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

// A mountinfo field with its octal escapes ("\040" for a space) undone.
std::string unescapedField(std::string_view field)
{
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        const auto octal = [&](std::size_t at) { return field[at] >= '0' && field[at] <= '7'; };
        if (field[i] == '\\' && i + 3 < field.size() && octal(i + 1) && octal(i + 2) &&
            octal(i + 3)) {
            out += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 +
                                     (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// A udev link name with its "\xHH" escapes undone ("My\x20Stick").
std::string unescapedLinkName(std::string_view name)
{
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name.substr(i).starts_with("\\x") && i + 3 < name.size() &&
            std::isxdigit(static_cast<unsigned char>(name[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
            out += static_cast<char>(std::stoi(std::string(name.substr(i + 2, 2)), nullptr, 16));
            i += 3;
        } else {
            out += name[i];
        }
    }
    return out;
}

struct MountEntry {
    std::uint64_t id = 0;
    std::string root;
    std::string fsType;
    std::string source;
};

std::vector<MountEntry> readMountInfo()
{
    constexpr std::size_t maxFileSize = 64 << 20;
    const auto text = readSmallFile(std::string(mountInfoFile), maxFileSize);
    if (!text)
        return {};
    std::vector<MountEntry> entries;
    for (auto line : std::views::split(std::string_view(*text), '\n')) {
        std::vector<std::string_view> fields;
        for (auto field : std::views::split(std::string_view(line.begin(), line.end()), ' '))
            fields.emplace_back(field.begin(), field.end());
        // id parent major:minor root mount-point options [optional…] - type source super-options
        const auto separator = std::ranges::find(fields, "-");
        if (fields.size() < 7 || separator == fields.end() || fields.end() - separator < 3)
            continue;
        MountEntry entry;
        entry.id = std::strtoull(std::string(fields[0]).c_str(), nullptr, 10);
        entry.root = unescapedField(fields[4]);
        entry.fsType = unescapedField(separator[1]);
        entry.source = unescapedField(separator[2]);
        entries.push_back(std::move(entry));
    }
    return entries;
}

// The device number of the block device at `path`, when it is one.
std::optional<dev_t> blockDevice(const std::string& path)
{
    struct stat info {};
    if (hasNulByte(path) || ::stat(path.c_str(), &info) != 0 || !S_ISBLK(info.st_mode))
        return std::nullopt;
    return info.st_rdev;
}

// The name of the first link in `folder` that leads to the block device `device` (udev's
// /dev/disk/by-uuid and by-label hold one link per device).
std::optional<std::string> linkTo(const std::string& folder, dev_t device)
{
    const UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir)
        return std::nullopt;
    auto listing = DirListing::open(dir.get());
    if (!listing)
        return std::nullopt;
    while (const dirent* entry = listing->next()) {
        struct stat info {};
        if (::fstatat(dir.get(), entry->d_name, &info, 0) == 0 && S_ISBLK(info.st_mode) &&
            info.st_rdev == device)
            return std::string(entry->d_name);
    }
    return std::nullopt;
}

std::string readAttribute(const std::string& file)
{
    auto text = readSmallFile(file, 4096);
    return text ? *text : std::string();
}

bool isRemovableDevice(dev_t device)
{
    const auto sysfs = canonicalPath("/sys/dev/block/" + std::to_string(major(device)) + ":" +
                                     std::to_string(minor(device)));
    if (!sysfs)
        return false;
    // A partition has no "removable" of its own: its disk, one folder up, has.
    const std::string disk =
        readAttribute(joinPath(*sysfs, "partition")).empty() ? *sysfs : parentPath(*sysfs);
    if (readAttribute(joinPath(disk, "removable")).starts_with('1'))
        return true;
    // External disks on USB usually say they are not removable; their bus says otherwise.
    for (auto part : std::views::split(std::string_view(*sysfs), '/')) {
        const std::string_view component(part.begin(), part.end());
        if (component.starts_with("usb") || component == "mmc_host" ||
            component.starts_with("memstick") || component.starts_with("firewire"))
            return true;
    }
    return false;
}

} // namespace

std::vector<MountCandidate> offeredMounts(std::vector<MountCandidate> candidates)
{
    std::vector<MountCandidate> offered;
    for (MountCandidate& candidate : candidates) {
        if (!isOffered(candidate))
            continue;
        candidate.root = normalizedPath(candidate.root);
        std::erase_if(offered, [&](const MountCandidate& m) { return m.root == candidate.root; });
        if (candidate.label.empty())
            candidate.label = lastComponent(candidate.root);
        offered.push_back(std::move(candidate));
    }
    std::ranges::stable_sort(offered, [](const MountCandidate& a, const MountCandidate& b) {
        if (lessWithoutCase(a.label, b.label))
            return true;
        if (lessWithoutCase(b.label, a.label))
            return false;
        return a.root < b.root;
    });
    return offered;
}

std::vector<Volume> offeredVolumes(std::vector<MountCandidate> candidates)
{
    std::vector<Volume> volumes;
    for (MountCandidate& mount : offeredMounts(std::move(candidates))) {
        auto identity = volumeIdentity(mount.root);
        if (identity)
            volumes.push_back({std::move(mount.label), {std::move(mount.root), *identity}});
    }
    return volumes;
}

std::vector<MountCandidate> mountTable(const std::string& diskFolder)
{
    std::vector<MountCandidate> mounts;
    const std::string byLabel = joinPath(diskFolder, "by-label");
    for (MountEntry& entry : readMountInfo()) {
        MountCandidate mount{
            std::move(entry.root), {}, std::move(entry.source), std::move(entry.fsType), false};
        // Only what could be offered is looked up further: the table holds dozens of virtual
        // file systems.
        if (const auto device =
                mount.device.starts_with("/dev/") ? blockDevice(mount.device) : std::nullopt) {
            mount.removable = isRemovableDevice(*device);
            if (auto label = linkTo(byLabel, *device))
                mount.label = unescapedLinkName(*label);
        }
        mounts.push_back(std::move(mount));
    }
    return mounts;
}

std::expected<std::string, SystemError> volumeIdentity(const std::string& root,
                                                       const std::string& diskFolder)
{
    if (hasNulByte(root))
        return std::unexpected(SystemError{EINVAL});
    struct statx info {};
    if (::statx(AT_FDCWD, root.c_str(), AT_NO_AUTOMOUNT, STATX_BASIC_STATS | STATX_MNT_ID, &info) !=
        0)
        return std::unexpected(SystemError::last());
    if (!(info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) ||
        !(info.stx_attributes & STATX_ATTR_MOUNT_ROOT))
        return std::unexpected(SystemError{EINVAL});

    const auto entries = readMountInfo();
    const auto entry = std::ranges::find(entries, std::uint64_t(info.stx_mnt_id), &MountEntry::id);
    if (entry != entries.end())
        if (const auto device = blockDevice(entry->source))
            if (auto uuid = linkTo(joinPath(diskFolder, "by-uuid"), *device))
                return "uuid:" + unescapedLinkName(*uuid);

    struct statx unique {};
    if (::statx(AT_FDCWD, root.c_str(), AT_NO_AUTOMOUNT, STATX_MNT_ID_UNIQUE, &unique) == 0 &&
        (unique.stx_mask & STATX_MNT_ID_UNIQUE))
        return "mount:" + std::to_string(unique.stx_mnt_id);
    return "mount:" + std::to_string(info.stx_mnt_id) + "-" + std::to_string(info.stx_dev_major) +
           ":" + std::to_string(info.stx_dev_minor);
}

bool isMountedVolume(const VolumeTarget& target)
{
    const auto identity = volumeIdentity(target.root);
    return identity && *identity == target.identity;
}

} // namespace ambrevoli
