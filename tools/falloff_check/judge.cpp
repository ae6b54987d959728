#include "judge.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "audio/mix_table.h"
#include "common/escape.h"
#include "common/text.h"

namespace {
bool digit(char c) { return c >= '0' && c <= '9'; }
bool hex_digit(char c) { return digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool blank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f'; }

// Words of [p, p + n), cut at blanks.
size_t words(const char* p, size_t n) {
    size_t count = 0;
    for (size_t i = 0; i < n; ++i)
        if (!is_space(p[i]) && (i == 0 || is_space(p[i - 1]))) ++count;
    return count;
}

std::string number_text(const char* fmt, double a, double b = 0) {
    char s[160];
    std::snprintf(s, sizeof s, fmt, a, b);
    return s;
}

std::string quoted(const char* p, size_t n) { return "\"" + excerpt(p, n) + "\""; }

// An item as cut at commas, without the blanks around it.
std::string quoted_item(const char* p, size_t n) {
    while (n > 0 && is_space(*p)) ++p, --n;
    while (n > 0 && is_space(p[n - 1])) --n;
    return quoted(p, n);
}

bool certificate_hash(const char* h) {
    size_t n = 0;
    for (; h[n]; ++n)
        if (!hex_digit(h[n])) return false;
    return n == 40;
}

// Digits, a comma and digits that end there: the "0,5" of "h 0,5 -1". A
// run of 40 digits after the comma is taken for a hash written without a
// blank, not for decimals.
const char* decimal_comma(const char* p) {
    for (const char* c = std::strchr(p, ','); c; c = std::strchr(c + 1, ',')) {
        if (c == p || !digit(c[-1])) continue;
        const char* d = c + 1;
        while (digit(*d)) ++d;
        const size_t run = static_cast<size_t>(d - c - 1);
        if (run == 0 || run == 40 || !(*d == 0 || *d == ',' || blank(*d))) continue;
        const char* s = c - 1;
        while (s > p && (digit(s[-1]) || s[-1] == '-' || s[-1] == '+')) --s;
        return s;
    }
    return nullptr;
}

// Starts with the letters of word, in any case.
bool begins_folded(const char* s, const char* word) {
    for (; *word; ++s, ++word)
        if ((*s | 0x20) != (*word | 0x20)) return false;
    return true;
}
}  // namespace

std::string excerpt(const char* p, size_t n, size_t most) {
    const bool cut = n > most;
    const size_t take = cut ? most : n;
    std::string out(4 * take + 1, '\0');  // every byte may become \xHH
    out.resize(escape_bytes(p, take, out.data(), out.size()));
    return cut ? out + "..." : out;
}

bool CheckResult::has_error() const {
    for (const Finding& f : findings)
        if (f.severity == Severity::error) return true;
    return false;
}

Judge::Judge(CheckResult* r, uint32_t min_speakers) : r_(r), min_speakers_(min_speakers), table_(new SpeakerTable) {}
Judge::~Judge() { delete table_; }

void Judge::add(const char* code, Severity sev, std::string message) {
    if (quiet_) return;
    for (size_t i = 0; i < r_->findings.size(); ++i) {
        if (r_->findings[i].code == code) {
            ++counts_[i];
            return;
        }
    }
    r_->findings.push_back({code, sev, std::move(message), line_});
    counts_.push_back(1);
}

// What every line gets, the reply included: its number and how it ended.
void Judge::received(const LineSplitter& s, bool tell_silence) {
    line_ = ++r_->lines;
    r_->bytes += s.len;
    if (tell_silence && s.end == LineEnd::silence)
        add("line_unterminated", Severity::warning,
            quoted(s.line, s.len) +
                " had no line feed: the plug-in took it as a line only after 5 s in which nothing more came");
    const size_t text = std::strlen(s.line);
    if (text < s.len)
        add("text_ignored", Severity::warning,
            "a NUL byte ends the line's text after " + std::to_string(text) + " characters: the plug-in ignores " +
                quoted(s.line + text, s.len - text) + " after it");
}

bool Judge::reply(const LineSplitter& s) {
    received(s, true);
    r_->reply = excerpt(s.line, s.len, 200);
    if (hello_accepted(s.line)) return true;
    const char* ignored;
    std::string why = "it does not begin with OK in capitals";
    if (classify_line(s.line, &ignored) != LineKind::ignored)
        why = "a PING or an update in place of the answer refuses the greeting";
    add("greeting_refused", Severity::error,
        "the answer to HELLO " + quoted(s.line, s.len) + " refuses the greeting (" + why +
            "): the plug-in closes and tries again after its pause");
    return false;
}

// The plug-in does not wait for the line feed of its answer: whatever has
// come 5 s after HELLO is the answer, and it accepts when that begins with OK.
bool Judge::part_reply(const LineSplitter& s) {
    received(s, false);
    r_->reply = excerpt(s.line, s.len, 200);
    const std::string came = "only " + quoted(s.line, s.len) +
                             ", without a line feed, had come when the greeting's time ran out (5 s after HELLO): "
                             "the plug-in takes what has come by then as the answer";
    if (hello_accepted(s.line)) {
        add("greeting_unterminated", Severity::warning,
            came + ", so it accepts, but only then, and reads any rest of that line as a line of its own; "
                   "send OK and its line feed at once");
        reply_rest_ = true;
        return true;
    }
    add("greeting_refused", Severity::error,
        came + ", and as it does not begin with OK, as a refusal: it closes and tries again after its pause; "
               "send the whole answer and its line feed at once");
    return false;
}

LineKind Judge::line(const LineSplitter& s, uint32_t now_ms) {
    received(s, true);
    const bool rest_of_reply = reply_rest_;
    reply_rest_ = false;
    if (holding_) {
        // 8191 characters and then the line feed: an empty line follows, and
        // nothing was lost.
        const bool whole = s.len == 0 && s.end == LineEnd::line_feed;
        judge_held(whole);
        if (whole) return LineKind::ignored;
        continuation_ = true;
    }
    if (s.end == LineEnd::cut) {
        held_ = {std::string(s.line), line_, now_ms, continuation_};
        holding_ = true;
        continuation_ = false;
        const char* payload = nullptr;
        return classify_line(s.line, &payload);
    }
    quiet_ = continuation_;
    const char* payload = nullptr;
    LineKind kind = classify_line(s.line, &payload);
    if (kind != LineKind::ignored || !rest_of_reply) kind = judge_text(s.line, now_ms);
    quiet_ = continuation_ = false;
    return kind;
}

// A cut line, judged once the next line shows whether it was whole; when it
// was not, what the cut does to it is told as the cut, not item by item.
void Judge::judge_held(bool whole) {
    const uint64_t now_line = line_;
    line_ = held_.line;
    if (!whole && !held_.continuation)
        add("line_too_long", Severity::error,
            "over 8191 characters: the plug-in handles the first 8191 as this line and the rest as further lines, "
            "so the update breaks");
    quiet_ = !whole || held_.continuation;
    judge_text(held_.text.c_str(), held_.at);
    quiet_ = false;
    line_ = now_line;
    holding_ = false;
}

LineKind Judge::judge_text(const char* text, uint32_t now_ms) {
    const char* payload = nullptr;
    const LineKind kind = classify_line(text, &payload);
    switch (kind) {
        case LineKind::ping:
            ++r_->pings_received;
            break;
        case LineKind::update:
        case LineKind::update2:
            if (r_->updates++) intervals_.push_back(static_cast<double>(now_ms - last_update_at_));
            last_update_at_ = now_ms;
            update(payload, kind == LineKind::update2 ? UpdateKind::update2 : UpdateKind::update);
            break;
        case LineKind::ignored:
            // Empty lines and the answer to the plug-in's own PING are
            // ignored by design.
            if (!text[0] || std::strcmp(text, "OK") == 0) break;
            if (begins_folded(text, "ping"))
                add("line_ignored", Severity::warning,
                    quoted(text, std::strlen(text)) +
                        " is not exactly PING (four capitals, nothing after): the plug-in ignores it and does not "
                        "answer");
            else
                add("line_ignored", Severity::warning,
                    quoted(text, std::strlen(text)) +
                        " ignored: the plug-in knows only PING, UPDATE and UPDATE2, in capitals at the start of "
                        "the line");
            break;
    }
    return kind;
}

void Judge::update(const char* payload, UpdateKind kind) {
    const bool was_quiet = quiet_;
    kind_ = kind;
    if (const char* at = decimal_comma(payload)) {
        add("decimal_comma", Severity::error,
            quoted(at, std::strcspn(at, " \t")) +
                " looks like a decimal comma (lint): the plug-in cuts items at every comma, so the digits after "
                "it become a speaker of their own and the number before it loses its decimals; write numbers "
                "with a full stop");
        quiet_ = true;  // what the comma does to the items is its effect
    }
    build_speaker_table(payload, kind, table_, this);
    r_->last_update.clear();
    r_->last_update_line = line_;
    if (table_->count > r_->most_speakers) r_->most_speakers = table_->count;
    for (uint64_t i = 0; i < table_->count; ++i) {
        const SpeakerEntry& e = table_->entries[i];
        float left, right;
        pan_factors(e.pan, &left, &right);
        r_->last_update.push_back({excerpt(e.hash, std::strlen(e.hash), kHashField), e.gain, e.pan, e.gain * left,
                                   e.gain * right});
        if (!certificate_hash(e.hash))
            add("not_a_certificate_hash", Severity::warning,
                "speaker " + quoted(e.hash, std::strlen(e.hash)) +
                    " is not 40 hexadecimal digits (lint): Mumble's certificate hashes are, so no user matches it");
    }
    quiet_ = was_quiet;
}

void Judge::dropped(const char* item, size_t n, Drop why) {
    const char* reason = why == Drop::no_gain             ? "it has no gain"
                         : why == Drop::gain_not_a_number ? "its gain is not a number"
                                                          : "a value reads as nan";
    add("item_dropped", Severity::error,
        "item " + quoted_item(item, n) + " dropped: " + reason + "; that speaker stays silent");
}

void Judge::clamped(const char* item, size_t n, bool pan, float from, float to) {
    if (!pan && from > 1) {
        // Full volume whatever the distance: no fade at all.
        add("gain_above_one", Severity::error,
            "gain " + number_text("%g applied as 1 in item ", from) + quoted_item(item, n) +
                ": gains run from 0 to 1, so this voice plays at full volume whatever the distance" +
                (from >= 2 ? number_text(" (a percentage? %g %% is %g)", from, from / 100) : std::string()));
        return;
    }
    add("value_clamped", Severity::warning,
        std::string(pan ? "pan " : "gain ") + number_text("%g applied as %g", from, to) + " in item " +
            quoted_item(item, n) + (pan ? " (pan runs from -1 to 1)" : " (gain runs from 0 to 1)"));
}

void Judge::repeated(const char* item, size_t n, size_t) {
    add("duplicate_speaker", Severity::warning,
        "item " + quoted_item(item, n) +
            " names a speaker listed before in the line (letter case aside): it keeps the first place and "
            "takes these values");
}

void Judge::table_full(const char* item, size_t n) {
    add("too_many_speakers", Severity::error,
        "more than 512 distinct speakers: item " + quoted_item(item, n) + " and every later new speaker dropped");
}

void Judge::rest_ignored(const char* item, size_t n, const char* rest, size_t rest_n) {
    // In an UPDATE2 item, text right after the gain is where the pan goes.
    if (kind_ == UpdateKind::update2 && words(item, static_cast<size_t>(rest - item)) == 2) {
        add("pan_not_a_number", Severity::error,
            "the pan " + quoted(rest, rest_n) + " of item " + quoted_item(item, n) +
                " is not a number: the plug-in applies the gain with the pan at 0 (centre) and ignores the rest");
        return;
    }
    add("text_ignored", Severity::warning,
        quoted(rest, rest_n) + " after the values of item " + quoted_item(item, n) + " is ignored" +
            (kind_ == UpdateKind::update ? " (UPDATE items carry a gain only; a pan needs UPDATE2)"
                                         : " (UPDATE2 items carry a gain and a pan)"));
}

void Judge::finish() {
    if (holding_) judge_held(false);
    line_ = 0;
    if (r_->greeted && r_->updates == 0)
        add("no_updates", Severity::error,
            "no UPDATE or UPDATE2 line in the whole run: the plug-in keeps every speaker silent");
    if (r_->updates > 0 && r_->most_speakers < min_speakers_)
        add("too_few_speakers", Severity::error,
            "no update named more than " + std::to_string(r_->most_speakers) + " speakers (--min-speakers " +
                std::to_string(min_speakers_) + "): the plug-in plays only the speakers an update names");
    else if (r_->updates > 0 && r_->most_speakers == 0 && !r_->has_error())  // an error tells why
        add("no_speakers", Severity::warning,
            "every update named nobody: the plug-in keeps everyone silent; right while nobody is near, but "
            "check a moment when players stand together (--min-speakers)");
    for (size_t i = 0; i < r_->findings.size() && i < counts_.size(); ++i)
        if (counts_[i] > 1) r_->findings[i].message += " (" + std::to_string(counts_[i] - 1) + " more like it)";
    if (intervals_.empty()) return;
    double sum = 0, sq = 0;
    for (double v : intervals_) sum += v;
    r_->mean_interval_ms = sum / static_cast<double>(intervals_.size());
    for (double v : intervals_) sq += (v - r_->mean_interval_ms) * (v - r_->mean_interval_ms);
    r_->jitter_ms = std::sqrt(sq / static_cast<double>(intervals_.size()));
}
