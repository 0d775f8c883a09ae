#pragma once

#include "glib_ptr.h"

#include <gio/gio.h>

#include <mutex>
#include <string>
#include <vector>

namespace ambrevoli {

// The folders the extension serves: the root folder "/" and the root of every mount the desktop
// shows (GIO's volume monitor, shadowed mounts left out). A selection gets the Send To menu only
// when all of it lies in these folders.
//
// The set is declared shortly after construction, from the main loop, and declared again as a
// whole on every mount added, removed or changed; each declaration logs one line. Construct and
// destroy on the thread that runs the default main context (Nautilus's main thread); covers()
// may be called from any thread.
class WatchedFolders {
public:
    // Connects to the volume monitor and schedules the first declaration on the main loop;
    // returns before it runs.
    WatchedFolders();
    // Disconnects from the volume monitor and drops a first declaration that has not run yet.
    ~WatchedFolders();
    WatchedFolders(const WatchedFolders&) = delete;
    WatchedFolders& operator=(const WatchedFolders&) = delete;

    // Whether the absolute local `path` is a declared folder or lies inside one. Nothing is
    // covered before the first declaration.
    bool covers(const std::string& path) const;

private:
    static void onMountsChanged(GVolumeMonitor* monitor, GMount* mount, gpointer self);
    static gboolean onFirstRefresh(gpointer self);

    // Recomputes the set from the volume monitor and replaces the declared one with it.
    void refreshDirectoryURLs();

    GObjectPtr<GVolumeMonitor> m_monitor;
    std::vector<gulong> m_observers; // mount-added, mount-removed, mount-changed, in that order
    guint m_firstRefresh = 0;

    mutable std::mutex m_mutex;
    // The declared set, as the local paths of its folders (a remote mount's root has none and
    // so covers nothing a local selection could hold).
    std::vector<std::string> m_localRoots;
};

} // namespace ambrevoli
