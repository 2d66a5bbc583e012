// Opening the display for the windows of either program.
#pragma once

namespace gtkui {

// Prepares GTK for the windows (the program's font aliases first) and opens
// the display, once per process. False when there is none.
bool InitGtk();

}  // namespace gtkui
