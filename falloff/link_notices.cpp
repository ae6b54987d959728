#include "falloff/link_notices.h"

#include <cstring>

#include "common/text.h"

namespace {
bool same(const LinkNotice& a, LinkState s, const char* detail) {
    return a.state == s && std::strncmp(a.detail, detail, sizeof a.detail - 1) == 0;
}
}  // namespace

void LinkNotices::reset() {
    shown_ = LinkNotice{};
    has_pending_ = false;
}

bool LinkNotices::allowed(uint32_t now) const {
    if (stamp_count_ < kPerWindow) return true;
    // The oldest of the last kPerWindow lines has left the window.
    return now - stamps_[next_stamp_] >= window_ms_;
}

void LinkNotices::emit(uint32_t now, LinkNotice* out) {
    *out = pending_;
    shown_ = pending_;
    has_pending_ = false;
    stamps_[next_stamp_] = now;
    next_stamp_ = (next_stamp_ + 1) % kPerWindow;
    if (stamp_count_ < kPerWindow) ++stamp_count_;
}

bool LinkNotices::report(LinkState s, const char* detail, uint32_t now, LinkNotice* out) {
    if (!detail) detail = "";
    if (s == LinkState::connected) {
        shown_ = LinkNotice{};
        shown_.state = s;
        has_pending_ = false;
        return false;
    }
    if (same(shown_, s, detail)) {
        has_pending_ = false;  // back to what the player last read
        return false;
    }
    pending_.state = s;
    copy_text(pending_.detail, sizeof pending_.detail, detail);
    has_pending_ = true;
    return due(now, out);
}

bool LinkNotices::due(uint32_t now, LinkNotice* out) {
    if (!has_pending_ || !allowed(now)) return false;
    emit(now, out);
    return true;
}

uint32_t LinkNotices::wait_ms(uint32_t now) const {
    if (!has_pending_) return UINT32_MAX;
    if (allowed(now)) return 0;
    return window_ms_ - (now - stamps_[next_stamp_]);
}
