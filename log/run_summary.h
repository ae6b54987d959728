// Runs of one repeated log entry, told in summary: the first entry of a run
// is written at once, its repeats are counted and written at most once a
// second as the same text with the count, "received UPDATE2 with 3 speakers
// (x10)". Pure: the caller writes what it is given, under its own lock.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/clock.h"

constexpr size_t kRunText = 128;                  // longest run text, with its NUL
constexpr size_t kRunEntry = kRunText + 16;       // a run text and " (x4294967295)"
constexpr uint32_t kRunSummaryIntervalMs = 1000;  // at most one count a second

struct RunSummary {
    uint32_t (*clock)() = tick_ms;  // milliseconds, wrapping
    char text[kRunText] = {};       // the run's entry; empty: no run
    uint32_t repeats = 0;           // repeats not yet written
    uint32_t told_at = 0;           // when the run last got an entry
};

// text (shorter than kRunText) is to be logged: fills out with the entries
// to write now, in order, and returns how many (0 to 2). A text other than
// the run's ends the run (its pending count first) and begins a new one.
size_t run_take(RunSummary* r, const char* text, char out[2][kRunEntry]);

// Another entry is about to be written, or the run ends: a pending count
// goes first. True when out holds it.
bool run_flush(RunSummary* r, char out[kRunEntry]);

// The run is over (the connection ended): the next text begins a new one.
void run_forget(RunSummary* r);
