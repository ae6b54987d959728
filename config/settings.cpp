#include "config/settings.h"

#include <cstdio>
#include <cstring>

#include "config/builtin_defaults.h"
#include "config/decimal.h"
#include "common/text.h"
#include "platform/platform.h"

namespace {
bool parse_switch(const char* v) {
    return equal_ignore_case(v, "1") || equal_ignore_case(v, "true") || equal_ignore_case(v, "yes") ||
           equal_ignore_case(v, "on");
}

float parse_unit(const char* v) {
    float f = static_cast<float>(parse_double_or_zero(v));
    if (f < 0.0f) f = 0.0f;
    if (f > 1.0f) f = 1.0f;
    return f;
}

// Cut to the field when too long.
void join_path(char* out, const char* dir, const char* name) {
    int n = std::snprintf(out, kPathField, "%s%c%s", dir, plat::kPathSeparator, name);
    if (n < 0) out[0] = 0;
}
}  // namespace

void settings_defaults(PluginSettings* s) {
    copy_text(s->server_host, kTextField, kBuiltinDefaults.server_host);
    s->server_port = kBuiltinDefaults.server_port;
    copy_text(s->api_key, kTextField, kBuiltinDefaults.api_key);
    s->enabled = 1;
    s->debug_log = 1;
    s->smoothing = 0.8f;
    s->pan_smoothing = 0.95f;
    s->reconnect_sec = 8;
}

void settings_locate(PluginSettings* s, const char* library_path, size_t length) {
    char path[kPathField];
    copy_text(path, sizeof path, length >= 1 && length < kPathField ? library_path : "");
    char* cut = path[0] ? std::strrchr(path, plat::kPathSeparator) : nullptr;
    if (cut) {
        *cut = 0;
        copy_text(s->plugin_dir, kPathField, path);
    } else {
        copy_text(s->plugin_dir, kPathField, ".");
    }
    join_path(s->config_path, s->plugin_dir, "quorra_link.ini");
    join_path(s->log_path, s->plugin_dir, "quorra_link.log");
    join_path(s->client_id_path, s->plugin_dir, "quorra_link_client_id.txt");
}

void settings_apply_line(PluginSettings* s, char* line) {
    while (is_space(*line)) ++line;
    if (!*line) return;
    size_t len = std::strlen(line);
    while (len > 0 && is_space(line[len - 1])) line[--len] = 0;
    if (line[0] == '#' || line[0] == ';') return;
    char* eq = std::strchr(line, '=');
    if (!eq) return;
    *eq = 0;
    char* key = line;
    size_t klen = std::strlen(key);
    while (klen > 0 && is_space(key[klen - 1])) key[--klen] = 0;
    char* value = eq + 1;
    while (is_space(*value)) ++value;

    if (equal_ignore_case(key, "server_host")) {
        copy_text(s->server_host, kTextField, value);
    } else if (equal_ignore_case(key, "server_port")) {
        s->server_port = parse_int_prefix(value);
    } else if (equal_ignore_case(key, "api_key")) {
        copy_text(s->api_key, kTextField, value);
    } else if (equal_ignore_case(key, "enabled")) {
        s->enabled = parse_switch(value) ? 1 : 0;
    } else if (equal_ignore_case(key, "debug_log")) {
        s->debug_log = parse_switch(value) ? 1 : 0;
    } else if (equal_ignore_case(key, "smoothing")) {
        s->smoothing = parse_unit(value);
    } else if (equal_ignore_case(key, "pan_smoothing")) {
        s->pan_smoothing = parse_unit(value);
    } else if (equal_ignore_case(key, "reconnect_sec")) {
        int32_t v = parse_int_prefix(value);
        s->reconnect_sec = v < 1 ? 1 : v;
    }
}

bool settings_read_file(PluginSettings* s, const char* path) {
    std::FILE* f = plat::file_open(path, "rb");
    if (!f) return false;
    char line[1024];
    while (std::fgets(line, sizeof line, f)) settings_apply_line(s, line);
    std::fclose(f);
    return true;
}

bool settings_read_environment(PluginSettings* s) {
    bool taken = false;
    char host[kTextField];
    long n = plat::env_get("QUORRA_LINK_HOST", host, sizeof host);
    if (n >= 1 && n <= 255) {
        copy_text(s->server_host, kTextField, host);
        taken = true;
    }
    char port[32];
    n = plat::env_get("QUORRA_LINK_PORT", port, sizeof port);
    if (n >= 1 && n <= 31) {
        s->server_port = parse_int_prefix(port);
        taken = true;
    }
    return taken;
}

SettingsOrigin load_settings(PluginSettings* s, const char* library_path, size_t length) {
    SettingsOrigin origin{};
    settings_defaults(s);
    settings_locate(s, library_path, length);
    origin.file = settings_read_file(s, s->config_path);
    origin.environment = settings_read_environment(s);
    return origin;
}

const char* settings_origin_text(SettingsOrigin origin, char* buf, size_t size) {
    std::snprintf(buf, size, "%s%sbuilt-in %sdefaults", origin.environment ? "environment over " : "",
                  origin.file ? "quorra_link.ini over " : "", kBuiltinDefaults.community ? "community " : "");
    return buf;
}
