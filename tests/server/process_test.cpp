// The program as an operator runs it: --check-config's report and exit
// status, and a link answered "linked" that survives the process being
// killed at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <regex>

#include "server_fixture.h"

extern char** environ;

namespace {

// falloff_server with args, its standard error going to err_path.
pid_t spawn_server(const std::vector<std::string>& args, const std::string& err_path) {
    const std::string program = test_os::join(test_os::exe_dir(), "falloff_server");
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int exit_status(pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
}

// The ports a started server names in its first log line.
bool ports_of(const std::string& err_path, uint16_t* plugins, uint16_t* ingest) {
    std::string log;
    test_os::read_file(err_path, &log);
    std::smatch m;
    static const std::regex started("plug-ins on 127\\.0\\.0\\.1:(\\d+), game side on 127\\.0\\.0\\.1:(\\d+)");
    if (!std::regex_search(log, m, started)) return false;
    *plugins = static_cast<uint16_t>(std::stoi(m[1]));
    *ingest = static_cast<uint16_t>(std::stoi(m[2]));
    return true;
}

class Program : public ::testing::Test {
protected:
    void TearDown() override { test_os::remove_tree(dir); }
    std::string dir = test_os::make_temp_dir("ql-program-");
    std::string config = test_os::join(dir, "falloff.toml");
    std::string err = test_os::join(dir, "stderr.txt");
};

}  // namespace

TEST_F(Program, CheckConfigNamesEveryErrorByLineAndFails) {
    ASSERT_TRUE(test_os::write_file(config, "[plugins]\nkeys = []\n[falloff]\ncurve = \"log\"\n"));
    EXPECT_EQ(exit_status(spawn_server({"--check-config", "--config", config}, err)), 1);
    std::string out;
    test_os::read_file(err, &out);
    EXPECT_NE(out.find(config + ":2: plugins.keys is empty"), std::string::npos) << out;
    EXPECT_NE(out.find(config + ":4: falloff.curve must be"), std::string::npos) << out;
    ASSERT_TRUE(test_os::write_file(config, "[plugins]\nkeys = [\"k\"]\n"));
    EXPECT_EQ(exit_status(spawn_server({"--check-config", "--config", config}, err)), 0);
}

TEST_F(Program, ALinkAnsweredLinkedSurvivesAKillAtOnce) {
    ASSERT_TRUE(test_os::write_file(config, "[plugins]\nlisten = \"127.0.0.1:0\"\nkeys = [\"k3y\"]\n"
                                            "[ingest]\nlisten = \"127.0.0.1:0\"\n[store]\npath = \"kept.sqlite3\"\n"));
    const std::string rex = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
    pid_t pid = spawn_server({"--config", config}, err);
    ASSERT_GT(pid, 0);
    uint16_t plugins = 0, ingest = 0;
    ASSERT_TRUE(eventually([&] { return ports_of(err, &plugins, &ingest); }, 10000));
    PluginPeer peer;
    ASSERT_TRUE(peer.connect(plugins));
    ASSERT_EQ(peer.greet(rex), "OK");
    httplib::Client http("127.0.0.1", ingest);
    auto r = http.Post("/v1/chat", R"({"id":"rex","text":"!verify a1b2c3d4"})", "application/json");
    ASSERT_TRUE(r);
    EXPECT_EQ(json::parse(r->body)["linked"], true) << r->body;
    kill(pid, SIGKILL);
    EXPECT_EQ(exit_status(pid), -SIGKILL);

    pid = spawn_server({"--config", config}, err);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(eventually([&] { return ports_of(err, &plugins, &ingest); }, 10000));
    httplib::Client again("127.0.0.1", ingest);
    r = again.Get("/v1/status");
    ASSERT_TRUE(r);
    EXPECT_EQ(json::parse(r->body)["links"], 1) << r->body;
    kill(pid, SIGTERM);  // and a clean stop
    EXPECT_EQ(exit_status(pid), 0);
    std::string log;
    test_os::read_file(err, &log);
    EXPECT_NE(log.find("falloff server stopped"), std::string::npos) << log;
}
