// The join of the user directory and the speaker table: who gets a row,
// in which order, at which factors.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "mixer/join.h"

namespace {
struct Tables {
    UserHashDirectory users{};
    SpeakerTable speakers{};
    MixTable mix;

    void user(uint32_t id, const char* hash) {
        users.entries[users.count].user_id = id;
        copy_text(users.entries[users.count].hash, kHashField, hash);
        ++users.count;
    }
    void update(const std::string& payload) { build_speaker_table(payload.c_str(), UpdateKind::update2, &speakers); }
    std::vector<uint32_t> rows() {
        join_mix(users, speakers, &mix);
        return {mix.ids, mix.ids + mix.count};
    }
};
}  // namespace

TEST(MixJoin, UsersInDirectoryOrderWhoseHashIsListedWhateverItsCase) {
    auto t = std::make_unique<Tables>();
    t->user(7, "CCCC");
    t->user(3, "aaaa");
    t->user(9, "nobody-lists-me");
    t->user(4, "AaAa");  // a second user with the same certificate
    t->update("bbbb 1 0, aaaa 0.5 -1, cccc 1 1");
    EXPECT_EQ(t->rows(), (std::vector<uint32_t>{7, 3, 4}));
    // Row 1 is user 3 at gain 0.5 panned fully left.
    EXPECT_EQ(t->mix.gain[1], 0.5f);
    EXPECT_FLOAT_EQ(t->mix.left[1], 0.5f);
    EXPECT_FLOAT_EQ(t->mix.right[1], 0.0f);
    EXPECT_FLOAT_EQ(t->mix.right[0], 1.0f);
    const float centre = std::sqrt(0.5f);
    t->update("aaaa 1 0");
    EXPECT_EQ(t->rows(), (std::vector<uint32_t>{3, 4}));
    EXPECT_FLOAT_EQ(t->mix.left[0], centre);
    EXPECT_FLOAT_EQ(t->mix.right[0], centre);
}

TEST(MixJoin, NoRowsWithoutSpeakersOrUsersAndTheOldRowsNeverLinger) {
    auto t = std::make_unique<Tables>();
    t->user(1, "aaaa");
    t->update("aaaa 1 0");
    ASSERT_EQ(t->rows().size(), 1u);
    t->update("");
    EXPECT_TRUE(t->rows().empty());
    t->update("aaaa 1 0");
    t->users.count = 0;
    EXPECT_TRUE(t->rows().empty());
}

TEST(MixJoin, AFullDirectoryMeetsAFullSpeakerTable) {
    auto t = std::make_unique<Tables>();
    std::string payload;
    for (uint32_t i = 0; i < kMaxUsers; ++i) {
        const std::string hash = "h" + std::to_string(i);
        t->user(1000 + i, hash.c_str());
        // Listed in the opposite order, so each look-up is by hash, not place.
        payload = hash + " 1 0" + (payload.empty() ? "" : ", ") + payload;
    }
    t->update(payload);
    const auto rows = t->rows();
    ASSERT_EQ(rows.size(), kMaxUsers);
    for (uint32_t i = 0; i < kMaxUsers; ++i) ASSERT_EQ(rows[i], 1000 + i);
}
