// Sizes of the fixed text fields the plug-in's records share.
#pragma once
#include <cstddef>

constexpr size_t kHashField = 128;      // a certificate hash: 127 characters and a NUL
constexpr size_t kClientIdField = 128;  // the ClientId: 127 characters and a NUL
constexpr size_t kTextField = 256;      // server_host, api_key: 255 characters
constexpr size_t kPathField = 1024;     // paths: 1023 characters

// What the falloff server and the plug-in agree on about one line: at most
// 8191 characters before its line feed (the plug-in cuts a longer one), and
// at most 512 distinct speakers in an update (the plug-in drops the rest).
constexpr size_t kMaxLineChars = 8191;
constexpr size_t kMaxSpeakersPerUpdate = 512;
