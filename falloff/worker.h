// The falloff worker: the one thread of the plug-in, keeping one connection
// to the falloff server while the host is connected to a voice server.
#pragma once
#include <cstdint>

void falloff_worker_start();
void falloff_worker_stop();
void falloff_worker_main(void* unused);

// True while a worker thread of ours may still be running (also one that a
// stop gave up waiting for).
bool falloff_worker_alive();

// The longest reconnect pause: the longest time-out one wait on the network
// can take (poll's int milliseconds), about 24.8 days.
constexpr uint32_t kLongestPauseMs = 2147483647u;
// The pause after a failed attempt: reconnect_sec units of unit_ms (one
// second in the plug-in), at least one unit and at most kLongestPauseMs.
uint32_t falloff_reconnect_pause_ms(int32_t reconnect_sec, uint32_t unit_ms);
