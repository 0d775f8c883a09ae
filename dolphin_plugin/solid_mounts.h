#pragma once

#include "volumes.h"

#include <vector>

namespace ambrevoli {

// The mounted file systems as Dolphin sees them, as candidates for the kit's rule
// (offeredVolumes): KIO's mount table gives each mount's root, device and type; Solid, which
// Dolphin's Places panel lists its devices from, gives the name Dolphin shows and whether the
// drive is removable or hot-pluggable. A mount Solid does not know keeps an empty label (the
// rule names it after its root) and counts as fixed. Main thread only, as Solid's device list.
std::vector<MountCandidate> solidMounts();

} // namespace ambrevoli
