// A community's build: the library whose server, port and key were built in
// at configure time (quorra_link_test_community, see the root CMakeLists),
// with no quorra_link.ini and no environment, and with each source
// overriding only the keys it sets.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/falloff_fixture.h"

namespace pt = test_os;

namespace {
// The community test library's built-in values, byte for byte: the key holds
// what a C literal, a CMake list and a configure_file template must not
// mistake for their own syntax.
constexpr uint16_t kBuiltinPort = 18919;
const std::string kBuiltinKey = R"(c0mmunity"k\ey;??=${x}@QL_x@\)";

class Community : public FalloffFixture {
protected:
    explicit Community(uint16_t port = kBuiltinPort) : FalloffFixture("quorra_link_test_community", port) {}

    std::string loaded(const std::string& host, int port) {
        return "[quorra_link] loaded version=0.1.0 config=" + dir.file("quorra_link.ini") + " host=" + host +
               " port=" + std::to_string(port) + " enabled=1";
    }
    // The line after the last loaded line.
    std::string origin_line() {
        auto lines = FakeHost::get().log_lines();
        for (size_t i = lines.size(); i-- > 1;)
            if (lines[i - 1].find("[quorra_link] loaded ") == 0) return lines[i];
        return "";
    }
    void ini(const std::string& text) { ASSERT_TRUE(pt::write_file(dir.file("quorra_link.ini"), "# test\n" + text)); }
    void greeted_with(const std::string& key, int nth) {
        synchronise();
        ASSERT_TRUE(eventually([&] { return server.accepted_hellos() >= nth; }));
        EXPECT_EQ(server.hellos()[nth - 1].rfind("HELLO " + key + " " + kLocalHash + " {", 0), 0u)
            << server.hellos()[nth - 1];
    }
};

// The server listens on a port of its own, not the built-in one.
class CommunityOverrides : public Community {
protected:
    CommunityOverrides() : Community(0) {}
};
}  // namespace

TEST_F(Community, WithoutIniTheBuiltInServerAndKeyAreUsedAndTheKeyOnlyInTheHello) {
    enable();
    EXPECT_TRUE(FakeHost::get().has_log_line(loaded("127.0.0.1", kBuiltinPort))) << loaded("127.0.0.1", kBuiltinPort);
    EXPECT_EQ(origin_line(), "[quorra_link] settings=built-in community defaults");
    greeted_with(kBuiltinKey, 1);
    shutdown();
    for (const auto& l : FakeHost::get().log_lines()) EXPECT_EQ(l.find(kBuiltinKey), std::string::npos) << l;
    EXPECT_TRUE(log_has("settings=built-in community defaults"));
    EXPECT_EQ(log_file().find(kBuiltinKey), std::string::npos);

    // An ini with only the key: the built-in server stays.
    ini("api_key=from-ini\n");
    enable();
    EXPECT_TRUE(FakeHost::get().has_log_line(loaded("127.0.0.1", kBuiltinPort)));
    EXPECT_EQ(origin_line(), "[quorra_link] settings=quorra_link.ini over built-in community defaults");
    greeted_with("from-ini", 2);
}

TEST_F(CommunityOverrides, IniAndEnvironmentOverrideOnlyTheKeysTheySet) {
    ini("server_host=localhost\n");
    enable();
    EXPECT_TRUE(FakeHost::get().has_log_line(loaded("localhost", kBuiltinPort)));
    shutdown();

    // The port from the ini, the key still built in.
    ini("server_port=" + std::to_string(server.port()) + "\n");
    enable();
    EXPECT_TRUE(FakeHost::get().has_log_line(loaded("127.0.0.1", server.port())));
    greeted_with(kBuiltinKey, 1);
    shutdown();

    // The environment over the ini, the ini over the built-in values.
    ini("server_host=ini.invalid\nserver_port=1\n");
    pt::env_set("QUORRA_LINK_HOST", "127.0.0.1");
    pt::env_set("QUORRA_LINK_PORT", std::to_string(server.port()).c_str());
    enable();
    pt::env_set("QUORRA_LINK_HOST", nullptr);
    pt::env_set("QUORRA_LINK_PORT", nullptr);
    EXPECT_TRUE(FakeHost::get().has_log_line(loaded("127.0.0.1", server.port())));
    EXPECT_EQ(origin_line(), "[quorra_link] settings=environment over quorra_link.ini over built-in community defaults");
    greeted_with(kBuiltinKey, 2);
}

// Its players did not choose the key: a refusal sends them to the community
// rather than into quorra_link.ini.
TEST_F(CommunityOverrides, ARefusalSendsThePlayerToTheCommunity) {
    ini("server_port=" + std::to_string(server.port()) + "\n");
    server.set_hello_reply(HelloReply::error_line);
    enable();
    synchronise();
    const std::string line = "[quorra_link] the falloff server at 127.0.0.1:" + std::to_string(server.port()) +
                             " refused the link: ERR refused; voices stay silent, retrying every 8 s; ask your "
                             "community about the key, then untick and tick the plug-in";
    EXPECT_TRUE(eventually([&] { return FakeHost::get().has_log_line(line); })) << line;
}
