// The falloff line protocol as the plug-in speaks it, as pure functions over
// texts: the HELLO line, the test of the server's answer, and what each
// later line is. Reading, sending, publishing and logging are the worker's.
#pragma once
#include <cstddef>

#include "falloff/speaker_table.h"

constexpr size_t kHelloBuffer = 1024;

// The HELLO line for api_key and client_id, with its line feed. Returns its
// length in bytes.
size_t format_hello(char* out, size_t cap, const char* api_key, const char* client_id);

// A reply line accepts the greeting when it begins with "OK".
bool hello_accepted(const char* reply);

// The plug-in's keep-alive, and its answer to the server's PING.
constexpr char kPingLine[] = "PING\n";
constexpr char kPingAnswer[] = "OK\n";

enum class LineKind {
    ignored,  // empty, or of no kind the plug-in knows
    ping,     // exactly "PING": answer "OK\n"
    update,   // "UPDATE" and a payload of hash-gain items
    update2,  // "UPDATE2" and a payload of hash-gain-pan items
};

// What a line after the greeting is; for updates, *payload is set to the
// text after the keyword.
LineKind classify_line(const char* line, const char** payload);
