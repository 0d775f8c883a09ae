#include "watched_folders.h"

#include "callback_guard.h"
#include "log.h"
#include "paths.h"

#include <algorithm>
#include <set>

namespace ambrevoli {

WatchedFolders::WatchedFolders() : m_monitor(g_volume_monitor_get())
{
    m_observers.reserve(3);
    for (const char* signal : {"mount-added", "mount-removed", "mount-changed"})
        m_observers.push_back(
            g_signal_connect(m_monitor.get(), signal, G_CALLBACK(onMountsChanged), this));
    m_firstRefresh = g_idle_add(onFirstRefresh, this);
}

WatchedFolders::~WatchedFolders()
{
    if (m_firstRefresh != 0)
        g_source_remove(m_firstRefresh);
    for (gulong observer : m_observers)
        g_signal_handler_disconnect(m_monitor.get(), observer);
}

bool WatchedFolders::covers(const std::string& path) const
{
    std::lock_guard lock(m_mutex);
    return std::ranges::any_of(m_localRoots,
                               [&](const std::string& root) { return isWithin(path, root); });
}

void WatchedFolders::onMountsChanged(GVolumeMonitor*, GMount*, gpointer self)
{
    guarded("watching the mounted volumes",
            [&] { static_cast<WatchedFolders*>(self)->refreshDirectoryURLs(); });
}

gboolean WatchedFolders::onFirstRefresh(gpointer self)
{
    auto* folders = static_cast<WatchedFolders*>(self);
    folders->m_firstRefresh = 0;
    guarded("watching the mounted volumes", [&] { folders->refreshDirectoryURLs(); });
    return G_SOURCE_REMOVE;
}

void WatchedFolders::refreshDirectoryURLs()
{
    std::vector<GObjectPtr<GFile>> roots;
    GObjectPtr<GFile> root(g_file_new_for_path("/"));
    roots.push_back(std::move(root));
    GObjectListPtr mounts(g_volume_monitor_get_mounts(m_monitor.get()));
    for (GList* entry = mounts.get(); entry; entry = entry->next) {
        GMount* mount = G_MOUNT(entry->data);
        // A shadowed mount is shown through the volume that shadows it, never on its own.
        if (g_mount_is_shadowed(mount))
            continue;
        GObjectPtr<GFile> mountRoot(g_mount_get_root(mount));
        roots.push_back(std::move(mountRoot));
    }

    std::set<std::string> uris;
    std::vector<std::string> localRoots;
    for (const auto& root : roots) {
        if (!uris.insert(GCharsPtr(g_file_get_uri(root.get())).get()).second)
            continue;
        if (GCharsPtr path{g_file_get_path(root.get())})
            localRoots.emplace_back(path.get());
    }

    const long count = static_cast<long>(uris.size());
    {
        std::lock_guard lock(m_mutex);
        m_localRoots = std::move(localRoots);
    }
    logger("extension")
        .log(LogLevel::standard, "Watching ", count, " folders: / and the mounted volume roots");
}

} // namespace ambrevoli
