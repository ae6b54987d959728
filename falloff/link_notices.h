// What the player is told about the falloff link in the log window: one
// line when the link's state changes, never one per attempt, and never more
// than a few a minute whatever the server does. A change held back by that
// limit is told as soon as the limit allows (within a spacing, 20 s in the
// plug-in), so the last line always describes the link as it is by then. A
// link that keeps breaking is summarised rather than told break by break.
// Pure bookkeeping: the caller gives the time and writes the line.
#pragma once
#include <cstddef>
#include <cstdint>

enum class LinkState {
    unknown,      // nothing said yet in this session
    unreachable,  // no connection could be made
    refused,      // the server answered the greeting with something but OK
    unanswered,   // no complete answer to the greeting in time
    connected,    // the link is up
    broken,       // an accepted link ended
    flapping,     // accepted links keep ending: kFlapBreaks or more in a window
};

struct LinkNotice {
    LinkState state = LinkState::unknown;
    char detail[512] = {};  // the refusal's reply, escaped
    uint32_t breaks = 0;    // flapping: the breaks in the last window when told
};

class LinkNotices {
public:
    static constexpr int kBurst = 3;       // lines that may come at once
    static constexpr int kFlapBreaks = 3;  // breaks in a window that make a link flapping
    static constexpr int kBreakStamps = 64;  // breaks counted in a window, at most

    // window_ms: the window of the count of breaks; a line may follow the
    // burst every window_ms / kBurst (the spacing), so a minute holds a few.
    explicit LinkNotices(uint32_t window_ms = 60000) : window_ms_(window_ms) {}
    void set_window(uint32_t window_ms) { window_ms_ = window_ms; }
    uint32_t spacing_ms() const { return window_ms_ / kBurst; }

    // A new session: nothing has been said of it yet, and its link has not
    // broken. The limit's history stays, so re-enabling does not open the
    // flood gates.
    void reset();

    // The link is in state s now (detail: the refusal's escaped reply). A
    // break when the link broke kFlapBreaks times in the window is told as
    // flapping, and so is a link up again after it until it has lasted a
    // spacing. True, with *out filled, when a line is to be written now.
    bool report(LinkState s, const char* detail, uint32_t now, LinkNotice* out);

    // A line held back by the limit, or a link up long enough to be told
    // as working again, whose time has come.
    bool due(uint32_t now, LinkNotice* out);

    // Milliseconds until a line may be due; 0 when one is due now;
    // UINT32_MAX when nothing is waiting to be told.
    uint32_t wait_ms(uint32_t now) const;

private:
    LinkState to_tell(uint32_t now) const;  // what the window should say now
    bool settling(uint32_t now) const;      // up again after breaks, not for a spacing yet
    uint32_t booked_ms(uint32_t now) const;
    uint32_t limit_wait(uint32_t now) const;
    uint32_t breaks_in_window(uint32_t now) const;

    uint32_t window_ms_;
    LinkNotice shown_;  // the state last shown to the player
    LinkNotice now_;    // the link's state as last reported
    uint32_t up_since_ = 0;     // now_ is connected: since when
    bool up_in_flap_ = false;   // and it came up while the link kept breaking
    // The limit, as a schedule: a line may go when next_free_ is at most
    // (kBurst - 1) spacings ahead of now; each line moves it a spacing on.
    uint32_t next_free_ = 0;
    bool limited_ = false;  // a line has been written: next_free_ holds
    uint32_t break_stamps_[kBreakStamps] = {};
    int break_count_ = 0;  // stamps held, up to kBreakStamps
    int next_break_ = 0;
};
