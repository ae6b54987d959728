// PluginSettings: the configuration record and the plug-in's file locations.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/fields.h"

// Only the first 1 MiB of quorra_link.ini is read.
constexpr size_t kSettingsReadLimit = size_t{1} << 20;

struct PluginSettings {
    char server_host[kTextField];
    int32_t server_port;
    char api_key[kTextField];
    uint8_t enabled;
    uint8_t debug_log;
    float smoothing;      // a gain change glides over this share of the typical update interval
    float pan_smoothing;  // the same for a pan change; 0 and 0: no glides
    int32_t reconnect_sec;

    char plugin_dir[kPathField];
    char config_path[kPathField];
    char log_path[kPathField];
    char client_id_path[kPathField];
};

// Where load_settings found values beyond the built-in defaults.
struct SettingsOrigin {
    bool file;         // quorra_link.ini could be read
    bool environment;  // QUORRA_LINK_HOST or QUORRA_LINK_PORT was taken
};

// Fills s: the defaults, the plugin directory and the file paths from the
// full path of the plug-in's own library file (library_path, whose length
// the operating system reported as length: 0 when it could not say, the
// buffer's size or more when it may be cut), then quorra_link.ini in that
// directory, then the environment.
SettingsOrigin load_settings(PluginSettings* s, const char* library_path, size_t length);

// Where the values came from, for the log: "built-in defaults", or with
// "community " before "defaults" in a community's build, each source that
// overrode them in front ("environment over quorra_link.ini over ...").
const char* settings_origin_text(SettingsOrigin origin, char* buf, size_t size);

// The pieces of load_settings.
void settings_defaults(PluginSettings* s);
void settings_locate(PluginSettings* s, const char* library_path, size_t length);  // plugin_dir and paths
bool settings_read_file(PluginSettings* s, const char* path);  // false: no file read
void settings_apply_line(PluginSettings* s, char* line);  // one line of the file
bool settings_read_environment(PluginSettings* s);  // false: no variable taken
