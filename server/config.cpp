#include "server/config.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <toml++/toml.h>

namespace server {

namespace {

// Collects errors and knows which keys each section may hold.
class Reader {
public:
    Reader(ConfigLoad* load) : load_(load) {}

    void error(const toml::node* node, const std::string& message) {
        int line = node ? static_cast<int>(node->source().begin.line) : 0;
        load_->errors.push_back({line, message});
    }

    // Flags keys that no section knows, so that a misspelt key does not pass
    // silently as its default.
    void only_keys(const toml::table& table, const std::string& section, const std::set<std::string>& known) {
        for (const auto& [key, node] : table) {
            if (!known.count(std::string(key.str())))
                error(&node, "unknown key " + section + "." + std::string(key.str()));
        }
    }

    bool number(const toml::table& t, const std::string& section, const char* key, double* out, double min,
                double max, bool min_open = false) {
        const toml::node* n = t.get(key);
        if (!n) return true;
        std::optional<double> v;
        if (n->is_integer()) v = static_cast<double>(*n->value<int64_t>());
        else if (n->is_floating_point()) v = *n->value<double>();
        const std::string name = section + "." + key;
        if (!v) {
            error(n, name + " must be a number");
            return false;
        }
        if (!std::isfinite(*v) || (min_open ? *v <= min : *v < min) || *v > max) {
            std::ostringstream m;
            m << name << " must be " << (min_open ? "above " : "at least ") << min << " and at most " << max;
            error(n, m.str());
            return false;
        }
        *out = *v;
        return true;
    }

    bool count(const toml::table& t, const std::string& section, const char* key, size_t* out, int64_t min,
               int64_t max) {
        const toml::node* n = t.get(key);
        if (!n) return true;
        const std::string name = section + "." + key;
        if (!n->is_integer() || *n->value<int64_t>() < min || *n->value<int64_t>() > max) {
            error(n, name + " must be a whole number from " + std::to_string(min) + " to " + std::to_string(max));
            return false;
        }
        *out = static_cast<size_t>(*n->value<int64_t>());
        return true;
    }

    bool text(const toml::table& t, const std::string& section, const char* key, std::string* out) {
        const toml::node* n = t.get(key);
        if (!n) return true;
        if (!n->is_string()) {
            error(n, section + "." + key + " must be a string (in quotes)");
            return false;
        }
        *out = *n->value<std::string>();
        return true;
    }

    void listen(const toml::table& t, const std::string& section, ListenAddress* out) {
        std::string value;
        if (!text(t, section, "listen", &value) || !t.get("listen")) return;
        std::string why;
        if (!parse_listen_address(value, out, &why)) error(t.get("listen"), section + ".listen: " + why);
    }

    const toml::table* section(const toml::table& root, const char* name) {
        const toml::node* n = root.get(name);
        if (!n) return nullptr;
        if (!n->is_table()) {
            error(n, std::string("[") + name + "] must be a section");
            return nullptr;
        }
        return n->as_table();
    }

private:
    ConfigLoad* load_;
};

bool plain_key(const std::string& key) {
    if (key.empty() || key.size() > 255) return false;
    for (unsigned char c : key)
        if (c <= ' ' || c == 0x7f) return false;
    return true;
}

void read_plugins(Reader& r, const toml::table* t, Config* c) {
    if (!t) {
        r.error(nullptr, "[plugins] is missing: plugins.keys has no default (keys = [\"your-key\"])");
        return;
    }
    r.only_keys(*t, "plugins", {"listen", "keys", "min_plugin_version", "max_connections", "max_per_address"});
    r.listen(*t, "plugins", &c->plugins_listen);
    const toml::node* keys = t->get("keys");
    if (!keys) {
        r.error(t, "plugins.keys is missing: list the key your players' plug-ins send (it has no default)");
    } else if (!keys->is_array()) {
        r.error(keys, "plugins.keys must be a list of strings: keys = [\"the-current-key\"]");
    } else {
        for (const toml::node& k : *keys->as_array()) {
            if (!k.is_string()) {
                r.error(&k, "plugins.keys: every key must be a string");
            } else if (!plain_key(*k.value<std::string>())) {
                r.error(&k, "plugins.keys: a key has 1 to 255 characters and no spaces or control characters");
            } else {
                c->keys.push_back(*k.value<std::string>());
            }
        }
        if (keys->as_array()->empty()) r.error(keys, "plugins.keys is empty: list at least one key");
    }
    if (r.text(*t, "plugins", "min_plugin_version", &c->min_plugin_version) && !c->min_plugin_version.empty()) {
        int v[3];
        if (!parse_version(c->min_plugin_version, v))
            r.error(t->get("min_plugin_version"), "plugins.min_plugin_version must look like \"0.1.0\"");
    }
    r.count(*t, "plugins", "max_connections", &c->max_connections, 1, 1000000);
    r.count(*t, "plugins", "max_per_address", &c->max_per_address, 1, 1000000);
}

void read_ingest(Reader& r, const toml::table* t, Config* c) {
    if (t) {
        r.only_keys(*t, "ingest", {"listen", "token", "max_body_bytes", "max_players"});
        r.listen(*t, "ingest", &c->ingest_listen);
        r.text(*t, "ingest", "token", &c->token);
        r.count(*t, "ingest", "max_body_bytes", &c->max_body_bytes, 1024, int64_t(1) << 32);
        r.count(*t, "ingest", "max_players", &c->max_players, 1, 1000000);
    }
    if (c->token.empty() && !is_loopback_host(c->ingest_listen.host)) {
        const toml::node* at = t ? (t->get("token") ? t->get("token") : t->get("listen")) : nullptr;
        r.error(at, "ingest.token is required when ingest.listen is not a loopback address (" +
                        c->ingest_listen.host + "): anyone who reaches the port could move players");
    }
}

void read_falloff(Reader& r, const toml::table* t, Config* c) {
    if (!t) return;
    r.only_keys(*t, "falloff", {"rate_hz", "units_per_metre", "near_m", "curve", "min_db", "ranges"});
    r.number(*t, "falloff", "rate_hz", &c->rate_hz, 1, 100);
    r.number(*t, "falloff", "units_per_metre", &c->units_per_metre, 0, 1e9, true);
    r.number(*t, "falloff", "near_m", &c->near_m, 0, 1e6);
    r.number(*t, "falloff", "min_db", &c->min_db, -200, 0, false);
    if (t->get("min_db") && c->min_db >= 0) r.error(t->get("min_db"), "falloff.min_db must be below 0");
    std::string curve;
    if (r.text(*t, "falloff", "curve", &curve) && t->get("curve")) {
        if (curve == "linear") c->curve = Curve::linear;
        else if (curve == "db") c->curve = Curve::db;
        else r.error(t->get("curve"), "falloff.curve must be \"linear\" or \"db\", not \"" + curve + "\"");
    }
    if (const toml::node* n = t->get("ranges")) {
        if (!n->is_table()) {
            r.error(n, "falloff.ranges must be a table: ranges = { whisper = 10, normal = 40, shout = 80 }");
            return;
        }
        c->ranges.clear();
        for (const auto& [name, value] : *n->as_table()) {
            std::optional<double> m;
            if (value.is_integer()) m = static_cast<double>(*value.value<int64_t>());
            else if (value.is_floating_point()) m = *value.value<double>();
            if (!m || !std::isfinite(*m) || *m <= 0 || *m > 1e6) {
                r.error(&value, "falloff.ranges." + std::string(name.str()) + " must be a distance in metres above 0");
                continue;
            }
            c->ranges.push_back({std::string(name.str()), *m});
        }
        bool has_default = false;
        for (const VoiceRange& v : c->ranges) has_default |= v.name == Config::kDefaultRange;
        if (!has_default) r.error(n, "falloff.ranges must name a \"normal\" range: players without one use it");
    }
    for (const VoiceRange& v : c->ranges) {
        if (c->near_m >= v.metres)
            r.error(t->get("near_m") ? t->get("near_m") : t->get("ranges"),
                    "falloff.near_m must be below every range (" + v.name + " is " + std::to_string(v.metres) + " m)");
    }
}

void read_store(Reader& r, const toml::table* t, const std::string& base_dir, Config* c) {
    if (t) {
        r.only_keys(*t, "store", {"path"});
        r.text(*t, "store", "path", &c->store_path);
        if (t->get("path") && c->store_path.empty()) r.error(t->get("path"), "store.path must not be empty");
    }
    if (!c->store_path.empty() && c->store_path[0] != '/' && !base_dir.empty())
        c->store_path = base_dir + "/" + c->store_path;
}

}  // namespace

ConfigLoad parse_config(const std::string& text, const std::string& base_dir, const std::string& source_name) {
    ConfigLoad load;
    Reader r(&load);
    toml::table root;
    try {
        root = toml::parse(text, source_name);
    } catch (const toml::parse_error& e) {
        load.errors.push_back({static_cast<int>(e.source().begin.line), std::string(e.description())});
        return load;
    }
    r.only_keys(root, "", {"plugins", "ingest", "falloff", "store"});
    Config& c = load.config;
    read_plugins(r, r.section(root, "plugins"), &c);
    read_ingest(r, r.section(root, "ingest"), &c);
    read_falloff(r, r.section(root, "falloff"), &c);
    read_store(r, r.section(root, "store"), base_dir, &c);
    std::stable_sort(load.errors.begin(), load.errors.end(),
                     [](const ConfigError& a, const ConfigError& b) { return a.line < b.line; });
    return load;
}

ConfigLoad load_config_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ConfigLoad load;
        load.errors.push_back({0, "cannot read " + path});
        return load;
    }
    std::stringstream text;
    text << in.rdbuf();
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
    return parse_config(text.str(), dir, path);
}

bool parse_listen_address(const std::string& text, ListenAddress* out, std::string* why) {
    std::string host, port;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            *why = "write an IPv6 address as [address]:port";
            return false;
        }
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else {
        const size_t colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            *why = "expected address:port, such as 0.0.0.0:8890";
            return false;
        }
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    char* end = nullptr;
    const long p = port.empty() ? -1 : std::strtol(port.c_str(), &end, 10);
    if (host.empty() || port.empty() || *end != '\0' || p < 0 || p > 65535) {
        *why = "expected address:port with a port from 0 to 65535, such as 0.0.0.0:8890";
        return false;
    }
    out->host = host;
    out->port = static_cast<uint16_t>(p);
    return true;
}

bool is_loopback_host(const std::string& host) {
    return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

bool parse_version(const std::string& text, int out[3]) {
    size_t at = 0;
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (at >= text.size() || text[at] != '.') return false;
            ++at;
        }
        const size_t start = at;
        long v = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 6)
            v = v * 10 + (text[at++] - '0');
        if (at == start) return false;
        out[i] = static_cast<int>(v);
    }
    return at == text.size() || text[at] == '-' || text[at] == '+' || text[at] == ' ';
}

}  // namespace server
