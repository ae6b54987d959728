// The server's configuration: one TOML file. Every key has a default but
// plugins.keys; a relative store path is relative to the file's directory.
// Loading reports every error it finds, each with its line, not the first
// only.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace server {

struct ListenAddress {
    std::string host;
    uint16_t port = 0;  // 0: any free port (the log says which)
};

enum class Curve { linear, db };

struct VoiceRange {
    std::string name;
    double metres;
};

struct Config {
    // [plugins]: the plug-ins' TCP port
    ListenAddress plugins_listen{"0.0.0.0", 8890};
    std::vector<std::string> keys;   // the current key and, during a rotation, the previous one
    std::string min_plugin_version;  // "major.minor.patch"; empty: any
    size_t max_connections = 4096;   // plug-in connections in all
    size_t max_per_address = 64;     // plug-in connections from one address

    // [ingest]: the game side's HTTP
    ListenAddress ingest_listen{"127.0.0.1", 8891};
    std::string token;                          // Authorization: Bearer <token>; empty: none asked
    size_t max_body_bytes = 8 * 1024 * 1024;    // a larger request is refused
    size_t max_players = 5000;                  // a larger world is refused

    // [falloff]
    double rate_hz = 10;
    double units_per_metre = 100;
    double near_m = 2;
    Curve curve = Curve::linear;
    double min_db = -30;
    std::vector<VoiceRange> ranges{{"whisper", 10}, {"normal", 40}, {"shout", 80}};

    // [store]
    std::string store_path = "links.sqlite3";  // resolved against the file's directory on load

    // The range a player without one uses.
    static constexpr const char* kDefaultRange = "normal";
};

struct ConfigError {
    int line = 0;  // 0: the file as a whole
    std::string message;
};

struct ConfigLoad {
    Config config;
    std::vector<ConfigError> errors;  // in the order of the file
    bool ok() const { return errors.empty(); }
};

// Reads the file at path.
ConfigLoad load_config_file(const std::string& path);
// The same from text; base_dir resolves a relative store path.
ConfigLoad parse_config(const std::string& text, const std::string& base_dir, const std::string& source_name);

// "host:port" or "[v6]:port".
bool parse_listen_address(const std::string& text, ListenAddress* out, std::string* why);
bool is_loopback_host(const std::string& host);

// "a.b.c", with anything after the third number ignored ("0.1.0-alpha").
bool parse_version(const std::string& text, int out[3]);

}  // namespace server
