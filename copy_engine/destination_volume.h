#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

// What the volume a destination folder lies on can store, and whether a copy there must reach
// the device before it is reported: the file systems removable drives ship with (FAT, exFAT,
// NTFS) and removable or external devices are pulled out by hand.

namespace ambrevoli {

struct DestinationVolume {
    // The file system: the mount table's type, with a FUSE block volume named by the signature
    // on its device where that can be read ("exfat", "ntfs", "vfat"); "" when unknown.
    std::string fileSystem;
    // The largest regular file the volume stores: 4 GiB − 1 on FAT.
    std::uint64_t maxFileSize = std::numeric_limits<std::uint64_t>::max();
    // Whether a copy there is synced to the device before it counts as copied: FAT, exFAT,
    // NTFS, any FUSE volume but a share through GIO's FUSE bridge (whose close(2) is the
    // server's word), and any volume on a removable or USB-attached device.
    bool needsSync = false;
    // A FUSE volume: syncfs(2) does not reach its driver's own state, fsync(2) of a file does,
    // so a copy there syncs file by file. Elsewhere one syncfs(2) of the volume is enough, and
    // far cheaper than a sync per file.
    bool syncsFileByFile = false;
    // A share through GIO's FUSE bridge: setting a link's times or owner there sets those of
    // what it points to.
    bool linkMetadataFollows = false;

    friend bool operator==(const DestinationVolume&, const DestinationVolume&) = default;
};

// The volume holding the folder at the absolute `folder`, as the mount table
// (/proc/self/mountinfo) and the device's entry under /sys tell. Reads nothing it may not; what
// cannot be learnt stays at its default (unknown file system, no limit, no sync).
DestinationVolume examineVolume(const std::string& folder);

// The mount table's type of the file system the absolute `path` lies on, found by the longest
// mount point that holds it, without touching the path itself (whose server may not answer);
// "" when the table can't be read. Links in `path` are not resolved.
std::string fileSystemHolding(const std::string& path);

// The file system a FAT, exFAT or NTFS boot sector (its first 512 bytes or more) names: "vfat",
// "exfat", "ntfs", or "" for anything else.
std::string fileSystemOfBootSector(std::string_view sector);

} // namespace ambrevoli
