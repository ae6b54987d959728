// Counts the status call reports (and a metrics page can): written by the
// listener's thread, read by the ingest's.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

namespace server {

struct Metrics {
    using Counter = std::atomic<uint64_t>;
    Counter connections{0};         // plug-in connections accepted
    Counter connections_capped{0};  // refused at once: too many in all or from one address
    Counter greetings_accepted{0};
    Counter refused_key{0}, refused_version{0}, refused_malformed{0};
    Counter closed_greeting_timeout{0}, closed_silent{0}, closed_slow_reader{0}, closed_replaced{0};
    Counter closed_long_line{0}, closed_flood{0};
    Counter lines_sent{0}, bytes_sent{0};
    Counter lines_replaced{0};      // a newer line took an unsent one's place (a slow reader)
    Counter speakers_left_out{0};   // beyond a line's 8191 characters
    Counter ticks{0};
    Counter last_tick_us{0};
    Counter last_tick_build_us{0};  // of it, making the lines (the rest: writing them to the sockets)
    Counter tick_us_total{0}, max_tick_us{0};
    Counter worlds_sent{0}, post_to_sent_us{0};  // worlds sent out, and the last one's post to its last line
    Counter links_made{0};          // "!verify" answered linked
    // Gauges the listener keeps: its connections by state.
    Counter greeting_now{0}, ready_now{0};
};

// GET /metrics: the counts above in the Prometheus text format, with the
// number of links held and the age of the world (negative: none posted).
std::string metrics_page(const Metrics& m, size_t links, double world_age_s);

}  // namespace server
