#pragma once

#include "module_harness.h"

namespace ambrevoli::testing {

// GNOME Files as the harness drives it: the built module, loaded as Nautilus loads extensions,
// its fake NautilusFileInfo files and its menus. Not registered with the modules the shared
// module tests run over: the module has tests of its own here.
const FileManager& nautilus();

} // namespace ambrevoli::testing
