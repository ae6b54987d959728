// The ClientId and the "!verify" link code.
#pragma once
#include <cstddef>
#include <cstdint>

#include "common/test_seams.h"
#include "host/host_api.h"
#include "log/log.h"

inline namespace QL_SEAM_VARIANT {

// Settles the ClientId for a freshly synchronised connection into out
// (kClientIdField bytes): the local user's certificate hash from the host,
// else the id stored at id_path, else a new one, which is stored there.
// False, with out untouched, when the connection id is negative, the host
// table lacks a call it needs, or the host cannot name the local user.
// *unsaved (when given) is set when a new id was made and could not be
// stored, so the next connection will make another.
bool establish_client_id(const HostApi& host, uint32_t plugin_id, int32_t connection, const char* id_path,
                         const LogSink& log, char* out, bool* unsaved = nullptr);

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

}  // namespace QL_SEAM_VARIANT
