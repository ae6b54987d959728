// Where the search for a Mumble user id starts in the audio path's tables
// of 1024 places (the mix table's index and the ramp memory): Fibonacci
// hashing, the top 10 bits of the id times 2^32 / phi, which spreads the
// small consecutive ids the host gives out over the whole table.
#pragma once
#include <cstdint>

constexpr uint32_t kUserHomePlaces = 1024;

inline uint32_t user_home(uint32_t user) { return (user * 2654435761u) >> 22; }
