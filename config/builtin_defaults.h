// The built-in values of server_host, server_port and api_key: the stock
// ones, or those a community baked into its build at configure time.
#pragma once
#include <cstdint>

struct BuiltinDefaults {
    const char* server_host;
    int32_t server_port;
    const char* api_key;
    bool community;  // set by the build rather than the stock values
};

extern const BuiltinDefaults kBuiltinDefaults;
