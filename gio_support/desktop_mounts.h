#pragma once

#include "volumes.h"

#include <vector>

namespace ambrevoli {

// The mounts GIO's volume monitor lists, the ones a GTK file manager shows among its devices,
// as candidates for the kit's rule (offeredVolumes): each local root with the name the file
// manager shows, the device and file-system type from the mount table, and whether the desktop
// calls it removable (it can be ejected, or its drive is removable). Shadowed mounts and mounts
// without a local root are left out. Call on the thread that runs the default main context.
std::vector<MountCandidate> desktopMounts();

} // namespace ambrevoli
