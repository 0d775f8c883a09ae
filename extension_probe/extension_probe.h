#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace ambrevoli {

// The file managers the Send To menu comes to, each through a module of its own.
enum class FileManager { files, nemo, caja, thunar, dolphin };

// The name the user knows it by: "Files", "Nemo", "Caja", "Thunar", "Dolphin". Log lines use it.
std::string_view fileManagerName(FileManager fileManager);

// The same name as the desktop shows it in the user's language: GNOME names Files in the
// language ("Dateien" in German); the others keep their names.
std::string shownFileManagerName(FileManager fileManager);

// The file manager the desktop named in `currentDesktop` (XDG_CURRENT_DESKTOP, a colon-separated
// list, see desktopNames(); first match wins) comes with: GNOME → Files, X-Cinnamon → Nemo, MATE → Caja, XFCE →
// Thunar, KDE → Dolphin. Any other desktop, or none, gets Files.
FileManager desktopFileManager(std::string_view currentDesktop);

// One file manager's Send To module as this build installs it: the module's file in the folder
// that file manager loads extensions from.
struct FileManagerModule {
    FileManager fileManager;
    std::string modulePath;
};

// The modules this build makes, one per file manager it was configured with (GNOME Files always).
std::vector<FileManagerModule> builtModules();

// How far the Send To menu is from being there for the user.
enum class ExtensionState {
    notInstalled, // no module file where the file manager loads extensions from
    notLoaded,    // installed, but a running file manager started before it was and lacks it
    enabled,      // installed, and every running instance has it (or none runs)
};

// The file manager the user runs, and how far its Send To menu is.
struct ExtensionStatus {
    FileManager fileManager = FileManager::files;
    ExtensionState state = ExtensionState::notInstalled;
    friend bool operator==(const ExtensionStatus&, const ExtensionStatus&) = default;
};

// The status over `modules` for `user`'s processes under `procRoot` (normally /proc). The file
// manager the user runs is one with a process of theirs; of several, the one the state is about:
// one lacking its installed module (notLoaded) before one that has it loaded (enabled) before one
// whose module is not installed (notInstalled). Ties, and no file manager running at all, go to
// `preferred` (the desktop's), then to the order of FileManager. A file manager that is not
// running loads its module when it starts: installed is enabled.
//
// File managers load modules when they start, except Dolphin, which loads its plugins when a
// context menu opens: a running Dolphin without the plugin has merely not needed it yet. Processes
// whose maps can't be read are not counted as lacking it.
ExtensionStatus extensionStatus(const std::vector<FileManagerModule>& modules,
                                const std::string& procRoot, uid_t user, FileManager preferred);

// The same for this build's modules, this system's processes, this user and the desktop named in
// XDG_CURRENT_DESKTOP.
ExtensionStatus extensionStatus();

// Whether a module file is installed at `modulePath`: a regular file, or a link to one.
bool isModuleInstalled(const std::string& modulePath);

} // namespace ambrevoli
