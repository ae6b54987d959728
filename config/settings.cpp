#include "config/settings.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "config/builtin_defaults.h"
#include "common/decimal.h"
#include "common/text.h"
#include "platform/platform.h"

namespace {
bool parse_switch(const char* v) {
    return equal_ignore_case(v, "1") || equal_ignore_case(v, "true") || equal_ignore_case(v, "yes") ||
           equal_ignore_case(v, "on");
}

// Not a number leaves *out as it was; infinities clamp like any number.
void parse_unit(const char* v, float* out) {
    const float f = static_cast<float>(parse_double_or_zero(v));
    if (std::isnan(f)) return;
    *out = f < 0.0f ? 0.0f : f > 1.0f ? 1.0f : f;
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
        parse_unit(value, &s->smoothing);
    } else if (equal_ignore_case(key, "pan_smoothing")) {
        parse_unit(value, &s->pan_smoothing);
    } else if (equal_ignore_case(key, "reconnect_sec")) {
        int32_t v = parse_int_prefix(value);
        s->reconnect_sec = v < 1 ? 1 : v;
    }
}

namespace {
// A line longer than a piece arrives as several pieces, each read as a line
// of its own, except that the pieces of a comment line stay comment.
struct PieceReader {
    char piece[1024];
    size_t len = 0;
    bool line_start = true;  // the next piece begins a line
    bool blank = true;       // the line so far is white space
    bool comment = false;    // the line's first other character is '#' or ';'

    void end_piece(PluginSettings* s, bool ends_line) {
        piece[len] = 0;
        if (line_start) {
            blank = true;
            comment = false;
        }
        if (!comment && blank) {
            const char* c = piece;  // as settings_apply_line sees it: up to a NUL
            while (is_space(*c)) ++c;
            if (*c) {
                blank = false;
                comment = *c == '#' || *c == ';';
            }
        }
        if (!comment) settings_apply_line(s, piece);
        len = 0;
        line_start = ends_line;
    }
};
}  // namespace

bool settings_read_file(PluginSettings* s, const char* path) {
    std::FILE* f = plat::file_open_regular(path);
    if (!f) return false;
    PieceReader r;
    char chunk[4096];
    size_t left = kSettingsReadLimit;
    while (left > 0) {
        const size_t got = std::fread(chunk, 1, left < sizeof chunk ? left : sizeof chunk, f);
        if (got == 0) break;
        left -= got;
        for (size_t i = 0; i < got; ++i) {
            r.piece[r.len++] = chunk[i];
            if (chunk[i] == '\n' || r.len == sizeof r.piece - 1) r.end_piece(s, chunk[i] == '\n');
        }
    }
    if (r.len) r.end_piece(s, true);
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
