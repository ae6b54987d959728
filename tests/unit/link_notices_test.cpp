#include "falloff/link_notices.h"

#include <gtest/gtest.h>

#include <string>

namespace {
// What report or due gave: the state's letter, its detail and, for a
// flapping link, its count of breaks; "" when nothing is to be written.
struct Told {
    LinkNotices& n;
    static std::string text(const LinkNotice& out) {
        std::string s(1, "?urncbf"[static_cast<int>(out.state)]);
        return s + out.detail + (out.state == LinkState::flapping ? std::to_string(out.breaks) : "");
    }
    std::string operator()(LinkState s, const char* detail, uint32_t now) {
        LinkNotice out;
        return n.report(s, detail, now, &out) ? text(out) : "";
    }
    std::string due(uint32_t now) {
        LinkNotice out;
        return n.due(now, &out) ? text(out) : "";
    }
};
constexpr uint32_t kMinute = 60000, kSpacing = kMinute / LinkNotices::kBurst;  // 20 s
}  // namespace

TEST(LinkNotices, OneLinePerChangeNeverOnePerAttemptConnectedIncluded) {
    LinkNotices n(kMinute);
    Told tell{n};
    EXPECT_EQ(tell(LinkState::unreachable, "", 0), "u");
    EXPECT_EQ(tell(LinkState::unreachable, "", 10), "");
    EXPECT_EQ(tell(LinkState::refused, "ERR a", 20), "rERR a");
    EXPECT_EQ(tell(LinkState::refused, "ERR a", 30), "");
    EXPECT_EQ(tell(LinkState::connected, "", 40), "c");  // limited like the others: the burst is spent
    EXPECT_EQ(tell(LinkState::broken, "", 50), "");
    n.reset();
    EXPECT_EQ(n.wait_ms(60), UINT32_MAX);  // a new session holds nothing back
}

// Held back, never dropped: the latest state is told within a spacing, and
// the last line then describes the link as it is.
TEST(LinkNotices, AHeldChangeIsToldWithinASpacingAndTheLatestWins) {
    LinkNotices n(kMinute);
    Told tell{n};
    EXPECT_EQ(tell(LinkState::unreachable, "", 1000), "u");
    EXPECT_EQ(tell(LinkState::connected, "", 1100), "c");
    EXPECT_EQ(tell(LinkState::broken, "", 1200), "b");
    EXPECT_EQ(tell(LinkState::unreachable, "", 1300), "");
    EXPECT_EQ(n.wait_ms(1300), 19700u);  // the first line's spacing is over at 21000
    // A change undone before it could show is not shown.
    EXPECT_EQ(tell(LinkState::broken, "", 1400), "");
    EXPECT_EQ(n.wait_ms(1400), UINT32_MAX);
    EXPECT_EQ(tell(LinkState::refused, "x", 1460), "");
    EXPECT_EQ(tell(LinkState::unanswered, "", 1500), "");  // the latest replaces the held one
    EXPECT_EQ(tell.due(20999), "");
    EXPECT_EQ(tell.due(21000), "n");
    EXPECT_EQ(n.wait_ms(21000), UINT32_MAX);
    // From here one line a spacing, however often the link changes.
    EXPECT_EQ(tell(LinkState::unreachable, "", 21500), "");
    EXPECT_EQ(n.wait_ms(21500), kSpacing - 500);
    EXPECT_EQ(tell.due(41000), "u");
    // After a quiet spell the burst is there again.
    EXPECT_EQ(tell(LinkState::connected, "", 200000), "c");
    EXPECT_EQ(tell(LinkState::broken, "", 200001), "b");
    // The limit counts on the wrapping tick.
    LinkNotices w(300);
    Told tell_w{w};
    for (uint32_t t : {0xFFFFFFF0u, 0xFFFFFFF1u, 0xFFFFFFF2u})
        EXPECT_NE(tell_w(t & 1 ? LinkState::broken : LinkState::unreachable, "", t), "");
    EXPECT_EQ(tell_w(LinkState::refused, "", 0x40u), "");
    EXPECT_EQ(tell_w.due(0x53u), "");
    EXPECT_EQ(tell_w.due(0x54u), "r");  // 0xFFFFFFF0 + 100: the first line's spacing is over
}

// A server that accepts and drops the link every second: the window says
// it keeps breaking, with the count, rather than "connected" and "broke" in
// turn; once the link holds for a spacing, it says so.
TEST(LinkNotices, AFlappingLinkIsSummarisedAndToldAsWorkingOnlyOnceItHolds) {
    LinkNotices n(kMinute);
    Told tell{n};
    std::string told;
    uint32_t t = 0;
    for (int i = 0; i < 10; ++i, t += 1000) {
        told += tell(LinkState::connected, "", t);
        told += tell(LinkState::broken, "", t + 500);
    }
    EXPECT_EQ(told, "cbc");  // the burst, before it was seen to flap
    EXPECT_EQ(tell(LinkState::connected, "", t), "");
    EXPECT_EQ(n.wait_ms(t), kSpacing - t);
    EXPECT_EQ(tell.due(kSpacing), "f10");  // up at this moment, but flapping all the same
    // It keeps flapping: nothing new to say.
    for (t = kSpacing; t < kSpacing + 5000; t += 1000) {
        EXPECT_EQ(tell(LinkState::broken, "", t), "");
        EXPECT_EQ(tell(LinkState::connected, "", t + 500), "");
    }
    // Up for good since kSpacing + 4500: told once it has lasted a spacing.
    const uint32_t up = kSpacing + 4500;
    EXPECT_EQ(n.wait_ms(up + 100), kSpacing - 100);
    EXPECT_EQ(tell.due(up + kSpacing - 1), "");
    EXPECT_EQ(tell.due(up + kSpacing), "c");
    // One break later on is told as a break.
    EXPECT_EQ(tell(LinkState::broken, "", 3 * kMinute), "b");
    EXPECT_EQ(tell(LinkState::connected, "", 3 * kMinute + 1000), "c");
    // A link that flaps until the server refuses: the refusal shows.
    for (t = 4 * kMinute; t < 4 * kMinute + 6000; t += 1000) {
        tell(LinkState::connected, "", t);
        tell(LinkState::broken, "", t + 500);
    }
    tell(LinkState::refused, "ERR refused", t);
    LinkNotice out;
    for (uint32_t at = t; at <= t + kSpacing; at += 100) n.due(at, &out);
    EXPECT_EQ(Told::text(out), "rERR refused");
}
