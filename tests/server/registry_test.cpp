// Links: "!verify CODE" against the connected clients, codes typed before
// their client connects, and links kept in a real SQLite file.
#include <gtest/gtest.h>

#include "server/registry.h"
#include "server_fixture.h"

using namespace server;

namespace {

const std::string kAna = "5eed1e55c0ffee00d15ea5e0123456789abcdef0";
const std::string kRex = "a1b2c3d4e5f60718293a4b5c6d7e8f9012345678";
const std::string kRexTwin = "a1b2c3d4ffffffffffffffffffffffffffffffff";  // same banner code as kRex

class Links : public ::testing::Test {
protected:
    void SetUp() override { open(); }
    void TearDown() override {
        registry.reset();
        store.reset();
        test_os::remove_tree(dir);
    }
    void open() {
        registry.reset();
        store.reset();
        std::string error;
        store = LinkStore::open(test_os::join(dir, "links.sqlite3"), &error);
        ASSERT_TRUE(store) << error;
        registry = std::make_unique<Registry>(*store, time, log);
        ASSERT_TRUE(registry->load(&error)) << error;
    }
    std::string client_of(const std::string& player) {
        auto links = registry->links();
        auto it = links->client_of_player.find(player);
        return it == links->client_of_player.end() ? "" : it->second;
    }

    std::string dir = test_os::make_temp_dir("ql-links-");
    SteppedTime time;
    Log log;
    std::unique_ptr<LinkStore> store;
    std::unique_ptr<Registry> registry;
};

}  // namespace

TEST_F(Links, TheBannersCodeLinksItsConnectedClientWhateverTheCase) {
    registry->client_connected(kAna);
    registry->client_connected(kRex);
    VerifyResult r = registry->verify("player-1", "A1B2C3D4");
    EXPECT_TRUE(r.linked) << r.reason;
    EXPECT_EQ(r.client_id, kRex);
    r = registry->verify("player-2", kAna.substr(0, 12));  // a longer beginning of the id
    EXPECT_TRUE(r.linked) << r.reason;
    EXPECT_EQ(client_of("player-1"), kRex);
    EXPECT_EQ(client_of("player-2"), kAna);
}

TEST_F(Links, CodesThatAreNotOneOrMatchNobodyOrSeveralLinkNone) {
    registry->client_connected(kRex);
    registry->client_connected(kRexTwin);
    for (const char* bad : {"a1b2c3", "a1b2c3dz", "", "a1b2 c3d4"}) {
        const VerifyResult r = registry->verify("p", bad);
        EXPECT_FALSE(r.linked || r.pending) << bad;
        EXPECT_NE(r.reason.find("not a link code"), std::string::npos) << bad;
    }
    VerifyResult r = registry->verify("p", "a1b2c3d4");
    EXPECT_FALSE(r.linked || r.pending);
    EXPECT_NE(r.reason.find("two voice clients share that code"), std::string::npos) << r.reason;
    r = registry->verify("p", kRexTwin.substr(0, 10));  // longer: one of them again
    EXPECT_TRUE(r.linked) << r.reason;
    EXPECT_EQ(r.client_id, kRexTwin);
}

TEST_F(Links, ACodeTypedBeforeItsClientConnectsLinksOnItsGreetingWithinTenMinutes) {
    VerifyResult r = registry->verify("early", "A1B2C3D4");
    EXPECT_FALSE(r.linked);
    EXPECT_TRUE(r.pending);
    EXPECT_NE(r.reason.find("no voice client with that code is connected"), std::string::npos);
    EXPECT_EQ(registry->client_connected(kAna), "");  // another client: not its code
    time.advance(std::chrono::minutes(9));
    EXPECT_EQ(registry->client_connected(kRex), "early");
    EXPECT_EQ(client_of("early"), kRex);
    EXPECT_EQ(registry->pending_codes(), 0u);

    registry->verify("late", kAna.substr(0, 8));  // connected: linked at once
    registry->verify("too-late", "0badc0de");
    time.advance(std::chrono::minutes(10));
    EXPECT_EQ(registry->client_connected("0badc0debeef00112233445566778899aabbccdd"), "");
    EXPECT_EQ(client_of("too-late"), "");
}

TEST_F(Links, WhenTwoPlayersTypeTheSameEarlyCodeTheLaterWins) {
    registry->verify("first", "a1b2c3d4");
    registry->verify("second", "A1B2C3D4");
    EXPECT_EQ(registry->client_connected(kRex), "second");
    EXPECT_EQ(client_of("first"), "");
}

// A client is one player's voice and a player has one: a new link ends the
// old ones on both sides, in memory and in the file, which a restart reads.
TEST_F(Links, ANewLinkReplacesTheOldOnesAndAllOfItSurvivesReopening) {
    registry->client_connected(kRex);
    registry->client_connected(kAna);
    ASSERT_TRUE(registry->verify("ann", kRex.substr(0, 8)).linked);
    ASSERT_TRUE(registry->verify("bob", kRex.substr(0, 8)).linked);  // bob proves he holds that client
    ASSERT_TRUE(registry->verify("cid", kAna.substr(0, 8)).linked);
    ASSERT_TRUE(registry->verify("cid", kRex.substr(0, 8)).linked);  // cid moves to another client
    EXPECT_EQ(client_of("ann"), "");
    EXPECT_EQ(client_of("bob"), "");
    EXPECT_EQ(client_of("cid"), kRex);
    bool removed = false;
    std::string error;
    registry->client_connected(kAna);
    ASSERT_TRUE(registry->verify("dee", kAna.substr(0, 8)).linked);
    ASSERT_TRUE(registry->unlink("dee", &removed, &error));
    EXPECT_TRUE(removed);

    open();  // as a restart does
    auto links = registry->links();
    EXPECT_EQ(links->client_of_player.size(), 1u);
    EXPECT_EQ(client_of("cid"), kRex);
    EXPECT_EQ(links->player_of_client.at(kRex), "cid");
}
