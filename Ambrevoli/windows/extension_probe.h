#pragma once

#include <sys/types.h>

#include <string>

namespace ambrevoli {

// Where GNOME Files loads the Send To module from, as this build was configured: the module's
// file in the folder Files reads its extensions from.
std::string finderModuleInstallPath();

// How far the Send To menu is from being there for the user.
enum class ExtensionState {
    notInstalled, // no module file where Files loads extensions from
    notLoaded,    // installed, but a running Files started before it was and lacks it
    enabled,      // installed, and every running Files has it (or none runs)
};

// The state of the module installed at `modulePath` for `user`. Files loads extensions only when
// it starts, so one started before the installation shows no menu until it is restarted; that is
// read from the memory maps under `procRoot` (normally /proc). Processes whose maps can't be read
// are not counted as lacking it.
ExtensionState finderExtensionState(const std::string& modulePath, const std::string& procRoot,
                                    uid_t user);

// The same for this build's module, this system's processes and this user.
ExtensionState finderExtensionState();

// Whether the Send To menu is there for the user: finderExtensionState() is enabled.
bool isFinderExtensionEnabled(const std::string& modulePath, const std::string& procRoot,
                              uid_t user);
bool isFinderExtensionEnabled();

// Whether a module file is installed at `modulePath`.
bool isFinderModuleInstalled(const std::string& modulePath);

} // namespace ambrevoli
