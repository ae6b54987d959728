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
    char out[4 * 64 + 1];
    escape_bytes(p, cut ? most : n, out, sizeof out);
    return std::string(out) + (cut ? "..." : "");
}

bool CheckResult::has_error() const {
    for (const Finding& f : findings)
        if (f.severity == Severity::error) return true;
    return false;
}

Judge::Judge(CheckResult* r) : r_(r), table_(new SpeakerTable) {}
Judge::~Judge() { delete table_; }

void Judge::add(const char* code, Severity sev, std::string message) {
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
void Judge::received(const LineSplitter& s) {
    line_ = ++r_->lines;
    r_->bytes += s.len;
    continuation_ = cut_line_ != 0;
    if (cut_line_) {
        // 8191 characters and then the line feed: an empty line follows, and
        // nothing was lost.
        if (!(s.len == 0 && s.end == LineEnd::line_feed)) {
            line_ = cut_line_;
            add("line_too_long", Severity::error,
                "over 8191 characters: the plug-in handles the first 8191 as this line and the rest as "
                "further lines, so the update breaks");
            line_ = r_->lines;
        }
        cut_line_ = 0;
    }
    if (s.end == LineEnd::cut) cut_line_ = line_;
    if (s.end == LineEnd::silence)
        add("line_unterminated", Severity::warning,
            quoted(s.line, s.len) + " had no line feed: the plug-in took it as a line only after 5 s of silence");
    const size_t text = std::strlen(s.line);
    if (text < s.len)
        add("text_ignored", Severity::warning,
            "a NUL byte ends the line's text after " + std::to_string(text) + " characters: the plug-in ignores " +
                quoted(s.line + text, s.len - text) + " after it");
}

bool Judge::reply(const LineSplitter& s) {
    received(s);
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

LineKind Judge::line(const LineSplitter& s, uint32_t now_ms) {
    received(s);
    const char* payload = nullptr;
    const LineKind kind = classify_line(s.line, &payload);
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
            // Empty lines, the rest of a cut line (judged with it) and the
            // answer to the plug-in's own PING are ignored by design.
            if (!s.line[0] || continuation_ || std::strcmp(s.line, "OK") == 0) break;
            if (begins_folded(s.line, "ping"))
                add("line_ignored", Severity::warning,
                    quoted(s.line, s.len) +
                        " is not exactly PING (four capitals, nothing after): the plug-in ignores it and does not "
                        "answer");
            else
                add("line_ignored", Severity::warning,
                    quoted(s.line, s.len) +
                        " ignored: the plug-in knows only PING, UPDATE and UPDATE2, in capitals at the start of "
                        "the line");
            break;
    }
    return kind;
}

void Judge::update(const char* payload, UpdateKind kind) {
    if (const char* at = decimal_comma(payload))
        add("decimal_comma", Severity::error,
            quoted(at, std::strcspn(at, " \t")) +
                " looks like a decimal comma (lint): the plug-in cuts items at every comma, so the digits after "
                "it become a speaker of their own; write numbers with a full stop");
    build_speaker_table(payload, kind, table_, this);
    r_->last_update.clear();
    r_->last_update_line = line_;
    for (uint64_t i = 0; i < table_->count; ++i) {
        const SpeakerEntry& e = table_->entries[i];
        float left, right;
        pan_factors(e.pan, &left, &right);
        char shown[4 * kHashField + 1];
        escape_bytes(e.hash, std::strlen(e.hash), shown, sizeof shown);
        r_->last_update.push_back({shown, e.gain, e.pan, e.gain * left, e.gain * right});
        if (!certificate_hash(e.hash))
            add("not_a_certificate_hash", Severity::warning,
                "speaker " + quoted(e.hash, std::strlen(e.hash)) +
                    " is not 40 hexadecimal digits (lint): Mumble's certificate hashes are, so no user matches it");
    }
}

void Judge::dropped(const char* item, size_t n, Drop why) {
    const char* reason = why == Drop::no_gain             ? "it has no gain"
                         : why == Drop::gain_not_a_number ? "its gain is not a number"
                                                          : "a value reads as nan";
    add("item_dropped", Severity::error,
        "item " + quoted_item(item, n) + " dropped: " + reason + "; that speaker stays silent");
}

void Judge::clamped(const char* item, size_t n, bool pan, float from, float to) {
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
    add("text_ignored", Severity::warning,
        quoted(rest, rest_n) + " after the values of item " + quoted_item(item, n) +
            " is ignored (UPDATE items carry a gain, UPDATE2 items a gain and a pan)");
}

void Judge::finish() {
    if (cut_line_) {
        line_ = cut_line_;
        add("line_too_long", Severity::error,
            "8191 characters without a line feed: the plug-in cuts the line there and reads the rest as "
            "further lines, so the update breaks");
    }
    line_ = 0;
    if (r_->greeted && r_->updates == 0)
        add("no_updates", Severity::error,
            "no UPDATE or UPDATE2 line in the whole run: the plug-in keeps every speaker silent");
    for (size_t i = 0; i < r_->findings.size(); ++i)
        if (counts_[i] > 1) r_->findings[i].message += " (" + std::to_string(counts_[i] - 1) + " more like it)";
    if (intervals_.empty()) return;
    double sum = 0, sq = 0;
    for (double v : intervals_) sum += v;
    r_->mean_interval_ms = sum / static_cast<double>(intervals_.size());
    for (double v : intervals_) sq += (v - r_->mean_interval_ms) * (v - r_->mean_interval_ms);
    r_->jitter_ms = std::sqrt(sq / static_cast<double>(intervals_.size()));
}
