// The checker's two outputs: a text for a person and one JSON object. Every
// text from the server is escaped already (printable ASCII), so both are
// plain ASCII whatever the server sent.
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "check.h"

namespace {
const char* severity_name(Severity s) { return s == Severity::error ? "error" : "warning"; }

// A figure for the text; numbers in it use the full stop whatever the locale
// (printf's %f follows LC_NUMERIC, which the checker never sets).
std::string figure(const char* fmt, double v) {
    char s[64];
    std::snprintf(s, sizeof s, fmt, v);
    return s;
}

size_t errors(const CheckResult& r) {
    size_t n = 0;
    for (const Finding& f : r.findings) n += f.severity == Severity::error;
    return n;
}

// A JSON number, or null for what is not one.
nlohmann::ordered_json number(double v) {
    return std::isfinite(v) ? nlohmann::ordered_json(v) : nlohmann::ordered_json(nullptr);
}

std::string client_line(const ClientSummary& c) {
    std::string s = "  connection " + std::to_string(c.number) + (c.reported ? " (this report)" : "") + ", id " +
                    c.id + ": ";
    if (!c.greeted)
        return s + (c.reply.empty() ? "not accepted, no answer\n" : "not accepted, answer \"" + c.reply + "\"\n");
    s += "accepted after " + figure("%.1f", c.greeting_s) + " s, ";
    if (c.stalled) {
        s += "then never read; the server had queued at least " + std::to_string(c.unread_bytes) +
             " bytes for it";
        return s + (c.closed_at_s >= 0 ? " and had closed it\n" : " and kept it open\n");
    }
    s += std::to_string(c.updates) + " updates, at most " + figure("%.1f", c.longest_silence_s) +
         " s without a line";
    return s + (c.closed_at_s >= 0 ? ", closed by the server after " + figure("%.1f", c.closed_at_s) + " s\n" : "\n");
}
}  // namespace

std::string human_report(const CheckOptions& o, const CheckResult& r) {
    std::string s = "falloff_check: " + o.host + " port " + o.port + ", " + figure("%g", o.run_ms / 1000.0) + " s\n";
    if (!r.ran) return s + "could not run: " + r.failure + "\n";
    s += "greeting: " + std::string(r.greeted ? "accepted" : "not accepted") +
         (r.reply.empty() ? std::string(", no answer") : ", answer \"" + r.reply + "\"") + "\n";
    if (r.greeted)
        s += "received in " + figure("%.1f", r.seconds) + " s: " + std::to_string(r.lines) + " lines, " +
             std::to_string(r.bytes) + " bytes: " + std::to_string(r.updates) + " updates, " +
             std::to_string(r.pings_received) + " PING lines (each answered OK); sent " +
             std::to_string(r.pings_sent) + " PING lines\n";
    if (r.partial_at_end)
        s += "at the end: " + std::to_string(r.partial_at_end) + " characters of a line still without its line feed\n";
    if (r.mean_interval_ms > 0)
        s += "update rate: " + figure("%.2f", 1000.0 / r.mean_interval_ms) + " per second (every " +
             figure("%.1f", r.mean_interval_ms) + " ms on average, jitter " + figure("%.1f", r.jitter_ms) + " ms)\n";
    if (r.updates > 0) {
        s += "last update (line " + std::to_string(r.last_update_line) + ") as the plug-in applies it: " +
             std::to_string(r.last_update.size()) + (r.last_update.size() == 1 ? " speaker" : " speakers") +
             ", everyone else silent (the most in one update: " + std::to_string(r.most_speakers) + ")\n";
        if (!r.last_update.empty())
            s += "  hash                                      gain    pan   left  right\n";
        for (const SpeakerRow& row : r.last_update) {
            // The hash may be long (escaped, up to 508 characters): it is not
            // put through a fixed buffer.
            char values[96];
            std::snprintf(values, sizeof values, " %5.3f %6.3f %6.3f %6.3f\n", row.gain, row.pan, row.left,
                          row.right);
            s += "  " + row.hash + std::string(row.hash.size() < 40 ? 40 - row.hash.size() : 0, ' ') + values;
        }
    }
    if (!r.clients.empty()) {
        s += "connections, in the order they greeted:\n";
        for (const ClientSummary& c : r.clients) s += client_line(c);
    }
    const size_t e = errors(r);
    if (r.findings.empty()) return s + "findings: none\n";
    s += "findings: " + std::to_string(e) + " errors, " + std::to_string(r.findings.size() - e) + " warnings\n";
    for (const Finding& f : r.findings) {
        s += "  " + std::string(severity_name(f.severity)) + " " + f.code;
        if (f.line) s += " (line " + std::to_string(f.line) + ")";
        s += ": " + f.message + "\n";
    }
    return s;
}

std::string json_report(const CheckOptions& o, const CheckResult& r) {
    using json = nlohmann::ordered_json;
    const size_t e = errors(r);
    json j = {
        {"host", o.host},
        {"port", o.port.empty() ? json(nullptr) : json(std::stoi(o.port))},
        {"seconds", o.run_ms / 1000.0},
        {"ran", r.ran},
        {"failure", r.ran ? json(nullptr) : json(r.failure)},
        {"greeted", r.greeted},
        {"reply", r.reply},
        {"exchange_seconds", number(r.seconds)},
        {"lines", r.lines},
        {"bytes", r.bytes},
        {"updates", r.updates},
        {"pings_received", r.pings_received},
        {"pings_sent", r.pings_sent},
        {"partial_line_at_end", r.partial_at_end},
        {"most_speakers", r.most_speakers},
        {"updates_per_second", number(r.mean_interval_ms > 0 ? 1000.0 / r.mean_interval_ms : 0)},
        {"update_interval_ms", number(r.mean_interval_ms)},
        {"update_jitter_ms", number(r.jitter_ms)},
        {"last_update_line", r.last_update_line},
        {"errors", e},
        {"warnings", r.findings.size() - e},
    };
    json& rows = j["last_update"] = json::array();
    for (const SpeakerRow& row : r.last_update)
        rows.push_back({{"hash", row.hash},
                        {"gain", number(row.gain)},
                        {"pan", number(row.pan)},
                        {"left", number(row.left)},
                        {"right", number(row.right)}});
    json& clients = j["clients"] = json::array();
    for (const ClientSummary& c : r.clients)
        clients.push_back({{"number", c.number},
                           {"id", c.id},
                           {"reported", c.reported},
                           {"stalled", c.stalled},
                           {"greeted", c.greeted},
                           {"reply", c.reply},
                           {"greeting_seconds", number(c.greeting_s)},
                           {"updates", c.updates},
                           {"longest_silence_seconds", number(c.longest_silence_s)},
                           {"closed_after_seconds", c.closed_at_s >= 0 ? number(c.closed_at_s) : json(nullptr)},
                           {"unread_bytes", c.unread_bytes}});
    json& findings = j["findings"] = json::array();
    for (const Finding& f : r.findings)
        findings.push_back({{"code", f.code},
                            {"severity", severity_name(f.severity)},
                            {"message", f.message},
                            {"line", f.line ? json(f.line) : json(nullptr)}});
    // ensure_ascii: the output is ASCII even for a host name given in UTF-8.
    return j.dump(-1, ' ', true) + "\n";
}
