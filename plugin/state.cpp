#include "plugin/state.h"

constinit PluginState g_state;
