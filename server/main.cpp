// falloff_server: positions in from the game side, every player's voice
// levels out to their plug-in.
//
//   falloff_server --config FILE                 serve
//   falloff_server --check-config --config FILE  say what is wrong with FILE, by line
#include <CLI/CLI.hpp>
#include <cstdio>

#include "common/version.h"
#include "server/app.h"
#include "server/config.h"

namespace {

int report_errors(const std::string& path, const server::ConfigLoad& load) {
    for (const server::ConfigError& e : load.errors) {
        if (e.line > 0) std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), e.line, e.message.c_str());
        else std::fprintf(stderr, "%s: %s\n", path.c_str(), e.message.c_str());
    }
    return load.errors.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App cli{"falloff_server: takes the players' positions from the game side (HTTP, JSON) and sends each\n"
                 "player's plug-in the gain and pan of every speaker they hear (TCP).\n"
                 "See docs/server-operators.md and docs/falloff_server.example.toml."};
    std::string config_path;
    bool check_only = false;
    cli.add_option("--config", config_path, "the configuration file (TOML)")->required();
    cli.add_flag("--check-config", check_only, "read the configuration, report every error with its line, and exit");
    cli.set_version_flag("--version", "falloff_server " QL_VERSION_BUILD);
    CLI11_PARSE(cli, argc, argv);

    const server::ConfigLoad load = server::load_config_file(config_path);
    if (!load.ok()) {
        report_errors(config_path, load);
        std::fprintf(stderr, "%zu error%s in %s\n", load.errors.size(), load.errors.size() == 1 ? "" : "s",
                     config_path.c_str());
        return 1;
    }
    if (check_only) {
        std::printf("%s: no errors\n", config_path.c_str());
        return 0;
    }

    server::SystemTime time;
    server::Log log;
    {
        server::App app(load.config, time, log);
        std::string error;
        if (!app.start(&error)) {
            log.write("falloff server not started: %s", error.c_str());
            return 1;
        }
        app.stop_on_signals();
        app.run();
    }
    log.write("falloff server stopped: every connection closed, the store closed");
    return 0;
}
