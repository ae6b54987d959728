#include "server/metrics.h"

#include "common/decimal.h"

namespace server {

namespace {

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

std::string fixed(double v, int places) {
    char text[64];
    char* end = format_fixed(text, text + sizeof text, v, places);
    return end ? std::string(text, end) : "0";
}

void sample(std::string& out, const char* name, const char* labels, uint64_t value) {
    out += name;
    out += labels;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

}  // namespace

std::string metrics_page(const Metrics& m, size_t links, double world_age_s) {
    std::string out;
    family(out, "falloff_connections", "gauge", "Plug-in connections open, by state.");
    sample(out, "falloff_connections", "{state=\"greeting\"}", m.greeting_now.load());
    sample(out, "falloff_connections", "{state=\"ready\"}", m.ready_now.load());

    family(out, "falloff_connections_accepted_total", "counter", "Plug-in connections taken.");
    sample(out, "falloff_connections_accepted_total", "", m.connections.load());
    family(out, "falloff_connections_capped_total", "counter",
           "Connections refused at once: too many in all or from one address.");
    sample(out, "falloff_connections_capped_total", "", m.connections_capped.load());

    family(out, "falloff_greetings_total", "counter", "Greetings, by result.");
    sample(out, "falloff_greetings_total", "{result=\"accepted\"}", m.greetings_accepted.load());
    sample(out, "falloff_greetings_total", "{result=\"refused\",reason=\"key\"}", m.refused_key.load());
    sample(out, "falloff_greetings_total", "{result=\"refused\",reason=\"version\"}", m.refused_version.load());
    sample(out, "falloff_greetings_total", "{result=\"refused\",reason=\"malformed\"}", m.refused_malformed.load());

    family(out, "falloff_connections_closed_total", "counter", "Connections the server closed, by reason.");
    sample(out, "falloff_connections_closed_total", "{reason=\"greeting_timeout\"}", m.closed_greeting_timeout.load());
    sample(out, "falloff_connections_closed_total", "{reason=\"silent\"}", m.closed_silent.load());
    sample(out, "falloff_connections_closed_total", "{reason=\"slow_reader\"}", m.closed_slow_reader.load());
    sample(out, "falloff_connections_closed_total", "{reason=\"replaced\"}", m.closed_replaced.load());
    sample(out, "falloff_connections_closed_total", "{reason=\"long_line\"}", m.closed_long_line.load());
    sample(out, "falloff_connections_closed_total", "{reason=\"flood\"}", m.closed_flood.load());

    family(out, "falloff_links", "gauge", "Players linked to a voice client.");
    sample(out, "falloff_links", "", links);
    family(out, "falloff_links_made_total", "counter", "Verify commands answered linked.");
    sample(out, "falloff_links_made_total", "", m.links_made.load());

    family(out, "falloff_lines_sent_total", "counter", "Lines written to plug-ins.");
    sample(out, "falloff_lines_sent_total", "", m.lines_sent.load());
    family(out, "falloff_bytes_sent_total", "counter", "Bytes written to plug-ins.");
    sample(out, "falloff_bytes_sent_total", "", m.bytes_sent.load());
    family(out, "falloff_lines_dropped_total", "counter",
           "Updates a newer one replaced before a slow client read them.");
    sample(out, "falloff_lines_dropped_total", "", m.lines_replaced.load());
    family(out, "falloff_speakers_left_out_total", "counter", "Speakers left out of full lines.");
    sample(out, "falloff_speakers_left_out_total", "", m.speakers_left_out.load());

    family(out, "falloff_tick_seconds", "summary", "Time to build and queue every listener's line.");
    out += "falloff_tick_seconds_sum " + fixed(m.tick_us_total.load() / 1e6, 6) + "\n";
    sample(out, "falloff_tick_seconds_count", "", m.ticks.load());
    family(out, "falloff_tick_seconds_last", "gauge", "The last tick's duration.");
    out += "falloff_tick_seconds_last " + fixed(m.last_tick_us.load() / 1e6, 6) + "\n";
    family(out, "falloff_tick_seconds_max", "gauge", "The longest tick since the start.");
    out += "falloff_tick_seconds_max " + fixed(m.max_tick_us.load() / 1e6, 6) + "\n";

    family(out, "falloff_world_age_seconds", "gauge", "Time since the game side last posted a world; -1: none yet.");
    out += "falloff_world_age_seconds " + fixed(world_age_s, 3) + "\n";
    return out;
}

}  // namespace server
