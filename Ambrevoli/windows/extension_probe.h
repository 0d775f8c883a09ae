#pragma once

#include <sys/types.h>

#include <string>

namespace ambrevoli {

// Where GNOME Files loads the Send To module from, as this build was configured: the module's
// file in the folder Files reads its extensions from.
std::string finderModuleInstallPath();

// Whether the Send To menu is there for the user: the module file is installed at `modulePath`,
// and no GNOME Files of `user` that runs now lacks it. Files loads extensions only when it
// starts, so one started before the installation shows no menu until it is restarted; that is
// read from the memory maps under `procRoot` (normally /proc). Processes whose maps can't be read
// are not counted as lacking it.
bool isFinderExtensionEnabled(const std::string& modulePath, const std::string& procRoot,
                              uid_t user);

// The same for this build's module, this system's processes and this user.
bool isFinderExtensionEnabled();

} // namespace ambrevoli
