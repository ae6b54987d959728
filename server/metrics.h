// Counts the status call reports (and a metrics page can): written by the
// listener's thread, read by the ingest's.
#pragma once
#include <atomic>
#include <cstdint>

namespace server {

struct Metrics {
    using Counter = std::atomic<uint64_t>;
    Counter connections{0};         // plug-in connections accepted
    Counter connections_capped{0};  // refused at once: too many in all or from one address
    Counter greetings_accepted{0};
    Counter refused_key{0}, refused_version{0}, refused_malformed{0};
    Counter closed_greeting_timeout{0}, closed_silent{0}, closed_slow_reader{0}, closed_replaced{0};
    Counter closed_long_line{0};
    Counter lines_sent{0}, bytes_sent{0};
    Counter lines_replaced{0};      // a newer line took an unsent one's place (a slow reader)
    Counter speakers_left_out{0};   // beyond a line's 8191 characters
    Counter ticks{0};
    Counter last_tick_us{0};
};

}  // namespace server
