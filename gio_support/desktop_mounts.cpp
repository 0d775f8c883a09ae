#include "desktop_mounts.h"

#include "glib_ptr.h"

#include <gio/gio.h>
#include <gio/gunixmounts.h>

namespace ambrevoli {

namespace {

bool desktopCallsRemovable(GMount* mount)
{
    if (g_mount_can_eject(mount))
        return true;
    GObjectPtr<GDrive> drive(g_mount_get_drive(mount));
    return drive && (g_drive_is_removable(drive.get()) || g_drive_can_eject(drive.get()));
}

} // namespace

std::vector<MountCandidate> desktopMounts()
{
    std::vector<MountCandidate> candidates;
    GObjectPtr<GVolumeMonitor> monitor(g_volume_monitor_get());
    GObjectListPtr mounts(g_volume_monitor_get_mounts(monitor.get()));
    for (GList* entry = mounts.get(); entry; entry = entry->next) {
        GMount* mount = G_MOUNT(entry->data);
        if (g_mount_is_shadowed(mount))
            continue;
        GObjectPtr<GFile> root(g_mount_get_root(mount));
        GCharsPtr path(g_file_get_path(root.get()));
        if (!path)
            continue;
        MountCandidate candidate;
        candidate.root = path.get();
        if (GCharsPtr name{g_mount_get_name(mount)})
            candidate.label = name.get();
        candidate.removable = desktopCallsRemovable(mount);
        if (GUnixMountEntry* unix = g_unix_mount_at(path.get(), nullptr)) {
            candidate.device = g_unix_mount_get_device_path(unix);
            candidate.fsType = g_unix_mount_get_fs_type(unix);
            g_unix_mount_free(unix);
        }
        candidates.push_back(std::move(candidate));
    }
    return candidates;
}

} // namespace ambrevoli
