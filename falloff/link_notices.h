// What the player is told about the falloff link in the log window: one
// line when the link's state changes, never one per attempt, and never more
// than a few a minute whatever the server does. A change held back by that
// limit is shown once the limit allows, so the latest state always shows in
// the end. Pure bookkeeping: the caller gives the time and writes the line.
#pragma once
#include <cstddef>
#include <cstdint>

enum class LinkState {
    unknown,      // nothing said yet in this session
    unreachable,  // no connection could be made
    refused,      // the server answered the greeting with something but OK
    unanswered,   // no complete answer to the greeting in time
    connected,    // the link is up (the caller says so itself, at once)
    broken,       // an accepted link ended
};

struct LinkNotice {
    LinkState state = LinkState::unknown;
    char detail[512] = {};  // the refusal's reply, escaped
};

class LinkNotices {
public:
    static constexpr int kPerWindow = 3;  // lines in any window_ms

    explicit LinkNotices(uint32_t window_ms = 60000) : window_ms_(window_ms) {}
    void set_window(uint32_t window_ms) { window_ms_ = window_ms; }

    // A new session: nothing has been said of it yet. The limit's history
    // stays, so re-enabling does not open the flood gates.
    void reset();

    // The link is in state s (detail: the refusal's escaped reply). True,
    // with *out filled, when a line is to be written now. A connected link
    // is the caller's own line, written at once and not counted here.
    bool report(LinkState s, const char* detail, uint32_t now, LinkNotice* out);

    // A held-back line whose time has come.
    bool due(uint32_t now, LinkNotice* out);

    // Milliseconds until a held-back line may be written; 0 when it may
    // now; UINT32_MAX when none is held back.
    uint32_t wait_ms(uint32_t now) const;

private:
    bool allowed(uint32_t now) const;
    void emit(uint32_t now, LinkNotice* out);

    uint32_t window_ms_;
    LinkNotice shown_;    // the state last shown to the player
    LinkNotice pending_;  // the latest state, when it differs from shown_
    bool has_pending_ = false;
    uint32_t stamps_[kPerWindow] = {};  // when the last lines were written
    int stamp_count_ = 0;
    int next_stamp_ = 0;
};
