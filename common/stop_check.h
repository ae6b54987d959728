// Lets a caller on the worker give up between slow steps (host calls) once
// a stop has been asked for. A null StopCheck pointer: never.
#pragma once

struct StopCheck {
    bool (*requested)(void* arg);
    void* arg;
};

inline bool stop_requested(const StopCheck* s) { return s && s->requested && s->requested(s->arg); }
