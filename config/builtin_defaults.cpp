#include "config/builtin_defaults.h"

#include "builtin_defaults_values.h"  // generated into the build directory

const BuiltinDefaults kBuiltinDefaults = {QL_BUILTIN_SERVER_HOST, QL_BUILTIN_SERVER_PORT, QL_BUILTIN_API_KEY,
                                          QL_BUILTIN_COMMUNITY != 0};

namespace {
// The same values in one line that the bundle check reads back from each
// library of a bundle (the key by its SHA-256 only, so that the check can
// print the line). Kept though no code reads it.
[[gnu::used]] const char kDefaultsMarker[] = "tolvanrix-builtin-defaults host=" QL_BUILTIN_SERVER_HOST
                                             " port=" QL_BUILTIN_SERVER_PORT_TEXT
                                             " key_sha256=" QL_BUILTIN_API_KEY_SHA256;
}  // namespace
