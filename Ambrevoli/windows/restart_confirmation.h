#pragma once

#include "extension_probe.h"

#include <functional>

class QWidget;

namespace ambrevoli {

// Restarting the file manager closes every window the user has open in it. Before that happens
// the user is asked, in a question over `parent`'s window that names what follows ("Files will
// close its windows and open again.") and offers the restart and Cancel (the default, and what
// Escape or closing the question does). Returns at once; `restart` runs when the user confirms,
// by whichever way the button is pressed, and never otherwise. The question goes with `parent`.
// Main thread only.
void confirmFileManagerRestart(QWidget& parent, FileManager fileManager,
                               std::function<void()> restart);

} // namespace ambrevoli
