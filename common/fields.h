// Sizes of the fixed text fields the plug-in's records share.
#pragma once
#include <cstddef>

constexpr size_t kHashField = 128;      // a certificate hash: 127 characters and a NUL
constexpr size_t kClientIdField = 128;  // the ClientId: 127 characters and a NUL
constexpr size_t kTextField = 256;      // server_host, api_key: 255 characters
constexpr size_t kPathField = 1024;     // paths: 1023 characters
