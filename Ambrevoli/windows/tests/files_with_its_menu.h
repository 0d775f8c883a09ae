#pragma once

#include "extension_probe.h"

// An extension probe that reads GNOME Files with its Send To module loaded, whatever this machine
// has installed: for the windows of tests that are not about the setup state.
inline ambrevoli::ExtensionStatus filesWithItsMenu()
{
    return {ambrevoli::FileManager::files, ambrevoli::ExtensionState::enabled};
}
