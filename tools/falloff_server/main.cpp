// falloff_server: the reference falloff server as a program.
//
//   falloff_server [--port N] [--key KEY] [--scenario FILE] [--exit-after-scenario]
//
// A scenario is a text file of timed lines, "<ms> <line>", played to each
// client after its greeting was accepted: <ms> counts from the greeting,
// <line> is sent with a line feed. "<ms> !close" closes the connection.
// Lines starting with # are comments.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "server.h"

namespace {
struct Step {
    long ms;
    std::string line;
};

std::vector<Step> read_scenario(const std::string& path) {
    std::vector<Step> steps;
    std::ifstream f(path);
    std::string text;
    while (std::getline(f, text)) {
        if (text.empty() || text[0] == '#') continue;
        std::istringstream in(text);
        Step s;
        if (!(in >> s.ms)) continue;
        std::getline(in >> std::ws, s.line);
        steps.push_back(s);
    }
    return steps;
}
}  // namespace

int main(int argc, char** argv) {
    uint16_t port = 8890;
    std::string key, scenario;
    bool exit_after = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--port" && i + 1 < argc) port = static_cast<uint16_t>(std::atoi(argv[++i]));
        else if (a == "--key" && i + 1 < argc) key = argv[++i];
        else if (a == "--scenario" && i + 1 < argc) scenario = argv[++i];
        else if (a == "--exit-after-scenario") exit_after = true;
        else {
            std::fprintf(stderr, "usage: %s [--port N] [--key KEY] [--scenario FILE] [--exit-after-scenario]\n", argv[0]);
            return 2;
        }
    }
    std::vector<Step> steps = scenario.empty() ? std::vector<Step>{} : read_scenario(scenario);
    std::atomic<bool> done{false};
    FalloffServer server;
    server.set_expected_key(key);
    server.set_on_client([&](FalloffServer& s) {
        std::thread([&s, &steps, &done] {
            auto start = std::chrono::steady_clock::now();
            for (const Step& st : steps) {
                std::this_thread::sleep_until(start + std::chrono::milliseconds(st.ms));
                if (st.line == "!close") {
                    s.close_client();
                } else {
                    s.send_line(st.line);
                }
            }
            done = true;
        }).detach();
    });
    if (!server.start(port)) {
        std::fprintf(stderr, "falloff_server: cannot listen on 127.0.0.1:%u\n", port);
        return 1;
    }
    std::printf("falloff_server listening on 127.0.0.1:%u\n", server.port());
    std::fflush(stdout);
    while (!(exit_after && done)) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    server.stop();
    return 0;
}
