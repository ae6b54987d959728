#include "falloff/link_notices.h"

#include <cstring>

#include "common/text.h"

namespace {
bool same(const LinkNotice& a, LinkState s, const char* detail) {
    return a.state == s && std::strncmp(a.detail, detail, sizeof a.detail - 1) == 0;
}
// How far t lies ahead of now on the wrapping tick (negative: behind).
int64_t ahead(uint32_t t, uint32_t now) { return static_cast<int32_t>(t - now); }
}  // namespace

void LinkNotices::reset() {
    shown_ = LinkNotice{};
    now_ = LinkNotice{};
    break_count_ = 0;
}

uint32_t LinkNotices::breaks_in_window(uint32_t now) const {
    uint32_t n = 0;
    for (int i = 0; i < break_count_; ++i) n += now - break_stamps_[i] < window_ms_;
    return n;
}

// How far the limit's schedule runs ahead of now. It is never more than
// kBurst spacings ahead; anything else is a schedule from long ago, read
// across a wrap of the tick.
uint32_t LinkNotices::booked_ms(uint32_t now) const {
    const int64_t a = ahead(next_free_, now);
    return !limited_ || a < 0 || a > static_cast<int64_t>(kBurst) * spacing_ms() ? 0 : static_cast<uint32_t>(a);
}

uint32_t LinkNotices::limit_wait(uint32_t now) const {
    const int64_t over = static_cast<int64_t>(booked_ms(now)) - static_cast<int64_t>(kBurst - 1) * spacing_ms();
    return over > 0 ? static_cast<uint32_t>(over) : 0;
}

bool LinkNotices::settling(uint32_t now) const {
    return now_.state == LinkState::connected && up_in_flap_ && now - up_since_ < spacing_ms();
}

LinkState LinkNotices::to_tell(uint32_t now) const { return settling(now) ? LinkState::flapping : now_.state; }

bool LinkNotices::report(LinkState s, const char* detail, uint32_t now, LinkNotice* out) {
    if (s == LinkState::broken) {
        break_stamps_[next_break_] = now;
        next_break_ = (next_break_ + 1) % kBreakStamps;
        if (break_count_ < kBreakStamps) ++break_count_;
        if (breaks_in_window(now) >= kFlapBreaks) s = LinkState::flapping;
    } else if (s == LinkState::connected && now_.state != LinkState::connected) {
        up_since_ = now;
        up_in_flap_ = breaks_in_window(now) >= kFlapBreaks;
    }
    now_ = LinkNotice{};
    now_.state = s;
    copy_text(now_.detail, sizeof now_.detail, detail ? detail : "");
    return due(now, out);
}

bool LinkNotices::due(uint32_t now, LinkNotice* out) {
    const LinkState s = to_tell(now);
    const char* detail = s == now_.state ? now_.detail : "";
    if (same(shown_, s, detail) || limit_wait(now) > 0) return false;
    shown_ = LinkNotice{};
    shown_.state = s;
    copy_text(shown_.detail, sizeof shown_.detail, detail);
    if (s == LinkState::flapping) shown_.breaks = breaks_in_window(now);
    *out = shown_;
    next_free_ = now + booked_ms(now) + spacing_ms();
    limited_ = true;
    return true;
}

uint32_t LinkNotices::wait_ms(uint32_t now) const {
    const LinkState s = to_tell(now);
    if (!same(shown_, s, s == now_.state ? now_.detail : "")) return limit_wait(now);
    // The window says flapping while the link settles: working, once it
    // has lasted a spacing.
    if (!settling(now)) return UINT32_MAX;
    const uint32_t settled = spacing_ms() - (now - up_since_);
    const uint32_t limit = limit_wait(now);
    return settled > limit ? settled : limit;
}
