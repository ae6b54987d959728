// game_sim feeding the real falloff server, as a game's server-side piece
// would: the world posted to the ingest's /v1/world at the simulation's
// rate, the other players' voice clients played by connections of its own
// (each greets and is linked by its player's "!verify"), and the listener's
// "!verify" typed with the code the plug-in's banner shows in the headless
// host's log.
#pragma once
#include <string>

#include "simulation.h"

struct FeedOptions {
    std::string cast, csv;
    double duration = 30, speed = 1, rate = 10;
    long long epoch_ms = 0;  // 0: now
    int ingest_port = 0, plugin_port = 0;
    std::string key, token;
    std::string host_log;  // where the listener's banner appears
    FalloffCurve curve{2, 40, true};
};

int feed_server(const FeedOptions& o);
