// What the plug-in would make of each line a server sends, as findings and
// figures: the plug-in's own classification and parse (told what they drop,
// clamp, merge and ignore), and a little lint beyond its rules. No socket.
// Where one cause has several effects (a decimal comma, a line cut at its
// limit), the cause is told once, first, and the effects are not.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "check.h"
#include "falloff/line_splitter.h"
#include "falloff/protocol.h"
#include "falloff/speaker_table.h"

class Judge : public UpdateObserver {
public:
    Judge(CheckResult* r, uint32_t min_speakers);
    ~Judge();

    // A finding at the line in hand (at_line 0: at none). One per code is
    // kept, the first; later ones are counted into its message by finish.
    void add(const char* code, Severity sev, std::string message);
    void at_line(uint64_t n) { line_ = n; }

    // The answer to HELLO, complete: whether it accepts.
    bool reply(const LineSplitter& s);
    // What had come of the answer when the greeting's time ran out, without
    // a line feed: the plug-in takes it as the answer.
    bool part_reply(const LineSplitter& s);
    // One line after the greeting, received at now_ms; the caller answers a PING.
    LineKind line(const LineSplitter& s, uint32_t now_ms);
    // The run is over: pending judgements, counts, figures.
    void finish();

    void dropped(const char* item, size_t n, Drop why) override;
    void clamped(const char* item, size_t n, bool pan, float from, float to) override;
    void repeated(const char* item, size_t n, size_t entry) override;
    void table_full(const char* item, size_t n) override;
    void rest_ignored(const char* item, size_t n, const char* rest, size_t rest_n) override;

private:
    void received(const LineSplitter& s, bool tell_silence);
    LineKind judge_text(const char* text, uint32_t now_ms);
    void update(const char* payload, UpdateKind kind);
    void judge_held(bool whole);

    CheckResult* r_;
    uint32_t min_speakers_;
    std::vector<uint64_t> counts_;
    uint64_t line_ = 0;
    // A line cut at 8191 characters is judged when the next one shows
    // whether its line feed came right after (then it was whole).
    struct Held {
        std::string text;
        uint64_t line = 0;
        uint32_t at = 0;
        bool continuation = false;
    } held_;
    bool holding_ = false;
    bool continuation_ = false;  // the line in hand is the rest of a cut one
    bool reply_rest_ = false;    // the line in hand is the rest of an answer taken in part
    bool quiet_ = false;         // the effects of a cause already told: not told again
    UpdateKind kind_ = UpdateKind::update;
    SpeakerTable* table_;
    uint32_t last_update_at_ = 0;
    std::vector<double> intervals_;
};

// An excerpt of outside bytes, escaped, cut to a readable length ("..."
// when cut).
std::string excerpt(const char* p, size_t n, size_t most = 60);
