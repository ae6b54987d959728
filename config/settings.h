// PluginSettings: the configuration record and the plug-in's file locations.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr size_t kTextField = 256;   // host and key: 255 characters
constexpr size_t kPathField = 1024;  // paths: 1023 characters

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

// Defaults, then quorra_link.ini beside the library, then the environment.
void load_settings(PluginSettings* s);

// The pieces of load_settings, for a record of the caller's.
void settings_defaults(PluginSettings* s);
void settings_locate(PluginSettings* s);                 // plugin_dir and the three paths
void settings_read_file(PluginSettings* s, const char* path);
void settings_apply_line(PluginSettings* s, char* line);  // one line of the file
void settings_read_environment(PluginSettings* s);
