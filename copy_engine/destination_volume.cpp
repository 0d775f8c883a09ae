#include "destination_volume.h"

#include "file_util.h"
#include "unique_fd.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <sstream>

namespace ambrevoli {

namespace {

constexpr std::uint64_t fatMaxFileSize = (std::uint64_t{4} << 30) - 1;

struct Mount {
    std::string fileSystem;
    std::string source;
};

// The mount table's octal escapes ("\040" for a blank) undone.
std::string unescaped(std::string_view field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits(field.substr(i + 1, 3));
            char* end = nullptr;
            const long value = std::strtol(digits.c_str(), &end, 8);
            if (end == digits.c_str() + 3) {
                text.push_back(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        text.push_back(field[i]);
    }
    return text;
}

// The last mount of the device `device` in the mount table (a later mount hides an earlier).
std::optional<Mount> mountOf(dev_t device)
{
    const auto table = readSmallFile("/proc/self/mountinfo", 4 << 20);
    if (!table)
        return std::nullopt;
    const std::string wanted =
        std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
    std::optional<Mount> found;
    std::istringstream lines(*table);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        fields >> id >> parent >> numbers;
        if (numbers != wanted)
            continue;
        const auto separator = line.find(" - ");
        if (separator == std::string::npos)
            continue;
        std::istringstream rest(line.substr(separator + 3));
        Mount mount;
        std::string source;
        rest >> mount.fileSystem >> source;
        mount.source = unescaped(source);
        found = std::move(mount);
    }
    return found;
}

// The file system a FUSE block volume's device names in its boot sector, where it can be read.
std::string probedFileSystem(const std::string& device)
{
    if (!device.starts_with("/dev/"))
        return {};
    const UniqueFd fd(::open(device.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd)
        return {};
    char sector[512];
    ssize_t length;
    do
        length = ::pread(fd.get(), sector, sizeof sector, 0);
    while (length < 0 && errno == EINTR);
    if (length < static_cast<ssize_t>(sizeof sector))
        return {};
    return fileSystemOfBootSector(std::string_view(sector, sizeof sector));
}

std::string firstLineOf(const std::string& path)
{
    const auto text = readSmallFile(path, 4096);
    if (!text)
        return {};
    return text->substr(0, text->find('\n'));
}

// Whether the block device `device` is removable or attached by USB (an external disk says it
// is not removable, but hangs below a USB port). A partition asks its disk.
bool removableOrExternal(dev_t device)
{
    const std::string link =
        "/sys/dev/block/" + std::to_string(::major(device)) + ":" + std::to_string(::minor(device));
    char resolved[PATH_MAX];
    if (::realpath(link.c_str(), resolved) == nullptr)
        return false;
    std::string path = resolved;
    if (path.find("/usb") != std::string::npos)
        return true;
    if (::access((path + "/partition").c_str(), F_OK) == 0)
        path = path.substr(0, path.rfind('/'));
    return firstLineOf(path + "/removable") == "1";
}

} // namespace

std::string fileSystemHolding(const std::string& path)
{
    const auto table = readSmallFile("/proc/self/mountinfo", 4 << 20);
    if (!table)
        return {};
    std::string found;
    std::size_t longest = 0;
    std::istringstream lines(*table);
    for (std::string line; std::getline(lines, line);) {
        // "id parent major:minor root mount-point options … - type source …"
        std::istringstream fields(line);
        std::string id, parent, numbers, root, mountPoint;
        fields >> id >> parent >> numbers >> root >> mountPoint;
        mountPoint = unescaped(mountPoint);
        const bool holds = mountPoint == "/" || path == mountPoint ||
                           (path.starts_with(mountPoint) && path[mountPoint.size()] == '/');
        const auto separator = line.find(" - ");
        // A later mount at the same point hides an earlier one.
        if (!holds || separator == std::string::npos || mountPoint.size() < longest)
            continue;
        std::istringstream rest(line.substr(separator + 3));
        rest >> found;
        longest = mountPoint.size();
    }
    return found;
}

std::string fileSystemOfBootSector(std::string_view sector)
{
    if (sector.size() < 512)
        return {};
    if (sector.substr(3, 8) == "EXFAT   ")
        return "exfat";
    if (sector.substr(3, 8) == "NTFS    ")
        return "ntfs";
    // FAT32 names itself further in than FAT12 and FAT16 do.
    if (sector.substr(82, 5) == "FAT32" || sector.substr(54, 5) == "FAT16" ||
        sector.substr(54, 5) == "FAT12")
        return "vfat";
    return {};
}

DestinationVolume examineVolume(const std::string& folder)
{
    DestinationVolume volume;
    struct stat info {};
    if (::stat(folder.c_str(), &info) != 0)
        return volume;
    const auto mount = mountOf(info.st_dev);
    if (mount) {
        volume.fileSystem = mount->fileSystem;
        if (volume.fileSystem == "fuseblk") {
            if (std::string probed = probedFileSystem(mount->source); !probed.empty())
                volume.fileSystem = std::move(probed);
        } else if (volume.fileSystem == "fuse.fusefat" || volume.fileSystem == "msdos") {
            volume.fileSystem = "vfat";
        } else if (volume.fileSystem == "ntfs3" || volume.fileSystem == "fuse.ntfs-3g") {
            volume.fileSystem = "ntfs";
        }
    }
    const std::string& type = volume.fileSystem;
    if (type == "vfat")
        volume.maxFileSize = fatMaxFileSize;
    // A share through GIO's FUSE bridge: a file's close(2) there returns once the server holds
    // all of it, and an fsync reaches no further (the SFTP the bridge speaks has no sync; it
    // costs no round trip of its own). The engine checks every close, so nothing is synced.
    const bool bridgedShare = mount && mount->fileSystem == "fuse.gvfsd-fuse";
    volume.linkMetadataFollows = bridgedShare;
    volume.syncsFileByFile = mount && mount->fileSystem.starts_with("fuse") && !bridgedShare;
    volume.needsSync =
        !bridgedShare &&
        (type == "vfat" || type == "exfat" || type == "ntfs" || type.starts_with("fuse") ||
         (mount && mount->fileSystem == "fuseblk") || removableOrExternal(info.st_dev));
    return volume;
}

} // namespace ambrevoli
