#include "falloff/link_notices.h"

#include <gtest/gtest.h>

#include <string>

namespace {
// What report or due gave: the state's first letter and detail, or "".
struct Told {
    LinkNotices& n;
    std::string operator()(LinkState s, const char* detail, uint32_t now) {
        LinkNotice out;
        return n.report(s, detail, now, &out) ? std::string(1, "?urncb"[static_cast<int>(out.state)]) + out.detail : "";
    }
    std::string due(uint32_t now) {
        LinkNotice out;
        return n.due(now, &out) ? std::string(1, "?urncb"[static_cast<int>(out.state)]) + out.detail : "";
    }
};
}  // namespace

TEST(LinkNotices, OneLinePerChangeNeverOnePerAttempt) {
    LinkNotices n(60000);
    Told tell{n};
    EXPECT_EQ(tell(LinkState::unreachable, "", 0), "u");
    EXPECT_EQ(tell(LinkState::unreachable, "", 10), "");
    EXPECT_EQ(tell(LinkState::refused, "ERR a", 20), "rERR a");
    EXPECT_EQ(tell(LinkState::refused, "ERR a", 30), "");
    EXPECT_EQ(tell(LinkState::refused, "ERR b", 40), "rERR b");  // the operator's new word
    // Connected is the caller's own line; what breaks after it is new.
    EXPECT_EQ(tell(LinkState::connected, "", 50), "");
    EXPECT_EQ(tell(LinkState::refused, "ERR b", 60), "");  // held: three lines this minute
    n.reset();
    EXPECT_EQ(n.wait_ms(60), UINT32_MAX);  // a new session holds nothing back
}

TEST(LinkNotices, TheLimitHoldsTheLatestStateBackUntilItMayShow) {
    LinkNotices n(60000);
    Told tell{n};
    EXPECT_EQ(tell(LinkState::unreachable, "", 1000), "u");
    EXPECT_EQ(tell(LinkState::connected, "", 1100), "");
    EXPECT_EQ(tell(LinkState::broken, "", 1200), "b");
    EXPECT_EQ(tell(LinkState::unreachable, "", 1300), "u");
    EXPECT_EQ(tell(LinkState::refused, "x", 1400), "");
    // A held change that is undone before it could show is not shown.
    EXPECT_EQ(tell(LinkState::unreachable, "", 1450), "");
    EXPECT_EQ(n.wait_ms(1450), UINT32_MAX);
    EXPECT_EQ(tell(LinkState::refused, "x", 1460), "");
    EXPECT_EQ(tell(LinkState::unanswered, "", 1500), "");  // the latest replaces the held one
    EXPECT_EQ(n.wait_ms(1500), 59500u);
    EXPECT_EQ(tell.due(60999), "");
    EXPECT_EQ(tell.due(61000), "n");
    EXPECT_EQ(n.wait_ms(61000), UINT32_MAX);
    // The limit counts on the wrapping tick.
    LinkNotices w(100);
    Told tell_w{w};
    for (uint32_t t : {0xFFFFFFF0u, 0xFFFFFFF1u, 0xFFFFFFF2u}) tell_w(t & 1 ? LinkState::broken : LinkState::unreachable, "", t);
    EXPECT_EQ(tell_w(LinkState::refused, "", 0x40u), "");
    EXPECT_EQ(tell_w.due(0x60u), "r");
}
