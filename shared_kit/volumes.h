#pragma once

#include "error.h"
#include "send_request.h"

#include <expected>
#include <string>
#include <string_view>
#include <vector>

// The mounted removable and external volumes a Send To menu offers below the destinations
// (sticks, SD cards, external disks: what a file manager lists among its devices). Each
// integration finds the mounts its own way (GIO's volume monitor, Solid, the mount table) and
// hands them here as candidates; the rule that decides which are offered and in what order, and
// the identity a request names a volume by, are decided here only, so that every menu and
// ambrevoli-send agree.

namespace ambrevoli {

// One mounted file system as an integration sees it.
struct MountCandidate {
    std::string root;       // where it is mounted, absolute
    std::string label;      // the name the desktop shows; empty for "the root's last component"
    std::string device;     // the mount's source: "/dev/sdb1", "server:/share", "tmpfs", …
    std::string fsType;     // "ext4", "exfat", "fuseblk", "nfs4", …; empty when not known
    bool removable = false; // the desktop (or the device's bus) calls it removable or hot-pluggable

    friend bool operator==(const MountCandidate&, const MountCandidate&) = default;
};

// A volume offered in the menu.
struct Volume {
    std::string label;
    VolumeTarget target; // its root and identity, as a request names them

    friend bool operator==(const Volume&, const Volume&) = default;
};

// The candidates that are offered, each with a label, in menu order. A candidate is offered when
// it is a local block device's file system ("/dev/…": no network share, gvfs, tmpfs or other
// virtual file system), is not mounted at "/" or in a folder the system keeps for itself (/boot,
// /efi, /usr, /var, /etc, /opt, /srv, /home, /tmp, /run other than /run/media, …), and either is
// removable or lies in /media or /run/media, where the desktop mounts what the user plugs in.
// Of candidates with the same root the last one wins (it hides those mounted there before it).
// An empty label becomes the root's last component. Ordered by label, ASCII letters without
// regard to case, then by root.
std::vector<MountCandidate> offeredMounts(std::vector<MountCandidate> candidates);

// The offered volumes among `candidates` (offeredMounts) with their identities; one whose
// identity cannot be found (unmounted meanwhile) is left out. Reads the mount table and a few
// folders of /dev and /sys.
std::vector<Volume> offeredVolumes(std::vector<MountCandidate> candidates);

// Every mounted file system of this process's mount table (/proc/self/mountinfo), in mount
// order, with the label udev gives its device (/dev/disk/by-label) and whether the device is
// removable (its "removable" attribute in /sys/dev/block, or its own disk's) or hangs off a
// hot-pluggable bus (USB, MMC/SD, FireWire). What ambrevoli-send lists. Empty when the table
// cannot be read. `diskFolder` is where udev's links are looked for; another folder for tests.
std::vector<MountCandidate> mountTable(const std::string& diskFolder = "/dev/disk");

// The identity of the file system mounted at `root`, which must be the root of a mount:
//   "uuid:<UUID>"  the file-system UUID as the desktop knows it: the name of udev's link in
//                  /dev/disk/by-uuid to the mount's device (GIO and Solid show the same UUID);
//   "mount:<id>"   where there is none (no udev, a file system without a UUID): the kernel's
//                  unique identifier of this mount, never reused until reboot, so that a
//                  volume unmounted and mounted again, or another one mounted at the same root,
//                  has another identity; on kernels without it, the mount's identifier and
//                  device number, which another mount may reuse.
// Fails with ENOENT or the system's error when `root` cannot be examined, EINVAL when it is not
// the root of a mount. `diskFolder` as for mountTable(). Thread-safe.
std::expected<std::string, SystemError> volumeIdentity(const std::string& root,
                                                       const std::string& diskFolder = "/dev/disk");

// Whether `target.root` is still the root of a mount whose identity is `target.identity`: the
// host asks right before copying, so that nothing goes into a volume mounted there since.
bool isMountedVolume(const VolumeTarget& target);

} // namespace ambrevoli
