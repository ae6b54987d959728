#include "plugin/banner.h"

#include "common/version.h"

void print_link_banner(const LogSink& log, const char* id) {
    static const char kRule[] = "----------------------------------------------------";
    plugin_log(log, "%s", kRule);
    plugin_log(log, "Tolvanrix " QL_VERSION_BUILD "  -  proximity voice");
    plugin_log(log, "To link your voice to your dino, open The Isle and");
    plugin_log(log, "type this in chat (one time):   !verify %.*s", 8, id);
    plugin_log(log, "%s", kRule);
}
