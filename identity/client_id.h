// The ClientId and the "!verify" link code.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/test_seams.h"

// Settles the ClientId for a freshly synchronised connection (host hash,
// stored id, or a new one) and prints the link-code banner.
void establish_client_id(int32_t connection);

// Source of the 20 random bytes; the test variant can make it fail.
using RandomSource = bool (*)(void* buf, size_t len);
#if QL_TEST_SEAMS
void set_random_source_seam(RandomSource src);  // null: the OS's source
#endif

// The fallback when the random source fails: tick count and process id.
void mix_tick_and_pid(uint32_t tick, uint32_t pid, unsigned char out[20]);

// First line of a client-id file, trimmed, if it is a valid stored id
// (32 to 127 hexadecimal digits). out holds 128 bytes.
bool parse_stored_id(const char* first_line, char* out);
