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
    float smoothing;
    float pan_smoothing;
    int32_t reconnect_sec;

    char plugin_dir[kPathField];
    char config_path[kPathField];
    char log_path[kPathField];
    char client_id_path[kPathField];
};

// Fills s: the defaults, the plugin directory and the file paths from the
// full path of the plug-in's own library file (library_path, whose length
// the operating system reported as length: 0 when it could not say, the
// buffer's size or more when it may be cut), then quorra_link.ini in that
// directory, then the environment.
void load_settings(PluginSettings* s, const char* library_path, size_t length);

// The pieces of load_settings.
void settings_defaults(PluginSettings* s);
void settings_locate(PluginSettings* s, const char* library_path, size_t length);  // plugin_dir and paths
void settings_read_file(PluginSettings* s, const char* path);
void settings_apply_line(PluginSettings* s, char* line);  // one line of the file
void settings_read_environment(PluginSettings* s);
