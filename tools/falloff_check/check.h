// falloff_check: speaks to a falloff server as the plug-in does (its HELLO,
// its PING, its answer to PING) and judges every line the server sends with
// the plug-in's own splitter and parser, so what it reports as applied is
// what the plug-in applies. Findings beyond the plug-in's rules are lint.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

enum class Severity { error, warning };

struct Finding {
    std::string code;
    Severity severity;
    std::string message;  // outside bytes in it are escaped (printable ASCII, \xHH)
    uint64_t line = 0;    // the server's line it is about (the reply to HELLO is line 1); 0: none
};

// The fixed id the checker greets with unless told another.
constexpr char kCheckId[] = "0123456789abcdef0123456789abcdef01234567";

struct CheckOptions {
    std::string host, port, key;
    std::string id = kCheckId;
    uint32_t run_ms = 15000;     // the whole run, greeting included (--seconds)
    uint32_t min_speakers = 0;   // some update must name at least this many (--min-speakers)
    uint32_t clients = 1;        // connections that read, greeting one after the other (--clients)
    bool stalled_client = false; // one more that greets and then never reads (--stalled-client)
    bool same_id = false;        // every connection greets with the same id (--same-id)
    // The plug-in's constants; the tests shorten them.
    uint32_t greeting_ms = 5000;         // the whole answer to HELLO must be in by then
    uint32_t receive_timeout_ms = 5000;  // silence after part of a line makes it a line
    uint32_t ping_interval_ms = 20001;
    // The checker's own: how long a refused or unanswered connect is tried
    // again (the plug-in tries again after its reconnect pause), and the
    // pause between two tries.
    uint32_t connect_ms = 10000;
    uint32_t connect_retry_ms = 250;
};

// One speaker of the last update, as the plug-in would apply it.
struct SpeakerRow {
    std::string hash;  // escaped
    float gain, pan, left, right;
};

// What one of several connections saw, for a run with more than one.
struct ClientSummary {
    uint32_t number = 0;  // in the order of their greetings
    std::string id;
    bool stalled = false;   // greeted, then never read
    bool reported = false;  // the one the rest of the report is about
    bool greeted = false;
    std::string reply;     // the answer to HELLO, escaped
    std::string failure;   // when it was not served: its first finding
    double greeting_s = 0;  // from its HELLO to the end of the greeting
    uint64_t updates = 0;
    double longest_silence_s = 0;  // longest time without a line, the run's end included
    double closed_at_s = -1;       // when the server closed it, seconds after its greeting; -1: it did not
    uint64_t unread_bytes = 0;     // a stalled one: what the server had queued for it by the end
};

struct CheckResult {
    bool ran = false;  // false: could not connect (failure says why, and so does a finding)
    std::string failure;
    bool greeted = false;
    std::string reply;  // the answer to HELLO, escaped
    uint64_t lines = 0, bytes = 0, updates = 0, pings_received = 0, pings_sent = 0;
    uint64_t partial_at_end = 0;    // characters of a line without its line feed when the run ended
    uint64_t most_speakers = 0;     // the most speakers one update named
    std::vector<Finding> findings;  // one per code: the first case, with a count of the others
    std::vector<SpeakerRow> last_update;
    uint64_t last_update_line = 0;
    double seconds = 0;                          // how long the exchange lasted
    double mean_interval_ms = 0, jitter_ms = 0;  // between updates; 0 with fewer than two
    std::vector<ClientSummary> clients;          // every connection of a run with more than one
    bool has_error() const;
};

CheckResult run_check(const CheckOptions& o);

std::string human_report(const CheckOptions& o, const CheckResult& r);
std::string json_report(const CheckOptions& o, const CheckResult& r);
