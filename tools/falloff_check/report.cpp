// The checker's two outputs: a text for a person and one JSON object. Every
// text from the server is escaped already; JSON escapes it again as a string.
#include <cmath>
#include <cstdio>
#include <string>

#include "check.h"

namespace {
const char* severity_name(Severity s) { return s == Severity::error ? "error" : "warning"; }

std::string json_string(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char e[8];
            std::snprintf(e, sizeof e, "\\u%04x", c);
            out += e;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string number(double v) {
    if (!std::isfinite(v)) return "null";
    char s[32];
    std::snprintf(s, sizeof s, "%.6g", v);
    return s;
}

size_t errors(const CheckResult& r) {
    size_t n = 0;
    for (const Finding& f : r.findings) n += f.severity == Severity::error;
    return n;
}
}  // namespace

std::string human_report(const CheckOptions& o, const CheckResult& r) {
    std::string s = "falloff_check: " + o.host + " port " + o.port + ", " + number(o.run_ms / 1000.0) + " s\n";
    if (!r.ran) return s + "could not run: " + r.failure + "\n";
    char l[256];
    s += "greeting: " + std::string(r.greeted ? "accepted" : "not accepted") +
         (r.reply.empty() ? std::string(", no answer") : ", answer \"" + r.reply + "\"") + "\n";
    if (r.greeted) {
        std::snprintf(l, sizeof l,
                      "received in %.1f s: %llu lines, %llu bytes: %llu updates, %llu PING lines (each answered "
                      "OK); sent %llu PING lines\n",
                      r.seconds, static_cast<unsigned long long>(r.lines), static_cast<unsigned long long>(r.bytes),
                      static_cast<unsigned long long>(r.updates), static_cast<unsigned long long>(r.pings_received),
                      static_cast<unsigned long long>(r.pings_sent));
        s += l;
    }
    if (r.partial_at_end)
        s += "at the end: " + std::to_string(r.partial_at_end) + " characters of a line still without its line feed\n";
    if (r.mean_interval_ms > 0) {
        std::snprintf(l, sizeof l, "update rate: %.2f per second (every %.1f ms on average, jitter %.1f ms)\n",
                      1000.0 / r.mean_interval_ms, r.mean_interval_ms, r.jitter_ms);
        s += l;
    }
    if (r.updates > 0) {
        s += "last update (line " + std::to_string(r.last_update_line) + ") as the plug-in applies it: " +
             std::to_string(r.last_update.size()) + (r.last_update.size() == 1 ? " speaker" : " speakers") +
             ", everyone else silent\n";
        if (!r.last_update.empty())
            s += "  hash                                      gain    pan   left  right\n";
        for (const SpeakerRow& row : r.last_update) {
            std::snprintf(l, sizeof l, "  %-40s %5.3f %6.3f %6.3f %6.3f\n", row.hash.c_str(), row.gain, row.pan,
                          row.left, row.right);
            s += l;
        }
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
    const size_t e = errors(r);
    std::string s = "{\"host\":" + json_string(o.host) + ",\"port\":" + json_string(o.port) +
                    ",\"seconds\":" + number(o.run_ms / 1000.0) + ",\"ran\":" + (r.ran ? "true" : "false");
    if (!r.ran) s += ",\"failure\":" + json_string(r.failure);
    s += ",\"greeted\":" + std::string(r.greeted ? "true" : "false") + ",\"reply\":" + json_string(r.reply) +
         ",\"exchange_seconds\":" + number(r.seconds) + ",\"lines\":" + std::to_string(r.lines) +
         ",\"bytes\":" + std::to_string(r.bytes) + ",\"updates\":" + std::to_string(r.updates) +
         ",\"pings_received\":" + std::to_string(r.pings_received) +
         ",\"pings_sent\":" + std::to_string(r.pings_sent) +
         ",\"partial_line_at_end\":" + std::to_string(r.partial_at_end) +
         ",\"updates_per_second\":" + number(r.mean_interval_ms > 0 ? 1000.0 / r.mean_interval_ms : 0) +
         ",\"update_interval_ms\":" + number(r.mean_interval_ms) + ",\"update_jitter_ms\":" + number(r.jitter_ms) +
         ",\"last_update_line\":" + std::to_string(r.last_update_line) + ",\"last_update\":[";
    for (size_t i = 0; i < r.last_update.size(); ++i) {
        const SpeakerRow& row = r.last_update[i];
        s += std::string(i ? "," : "") + "{\"hash\":" + json_string(row.hash) + ",\"gain\":" + number(row.gain) +
             ",\"pan\":" + number(row.pan) + ",\"left\":" + number(row.left) + ",\"right\":" + number(row.right) +
             "}";
    }
    s += "],\"errors\":" + std::to_string(e) + ",\"warnings\":" + std::to_string(r.findings.size() - e) +
         ",\"findings\":[";
    for (size_t i = 0; i < r.findings.size(); ++i) {
        const Finding& f = r.findings[i];
        s += std::string(i ? "," : "") + "{\"code\":" + json_string(f.code) +
             ",\"severity\":" + json_string(severity_name(f.severity)) + ",\"message\":" + json_string(f.message) +
             ",\"line\":" + (f.line ? std::to_string(f.line) : "null") + "}";
    }
    return s + "]}\n";
}
