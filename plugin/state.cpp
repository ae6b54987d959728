#include "plugin/state.h"

// Not constinit: MinGW's std::mutex has no constant initialiser. Nothing
// runs before the library's static initialisation is done.
PluginState g_state;
