// The resolver's answer copied into the plug-in's own fixed records, for
// either system's address list type (addrinfo, ADDRINFOW): the list can be
// released at once and the connect loop stays the same on both.
#pragma once
#include <cstring>

#include "platform/net.h"

namespace plat {

template <typename Info>
size_t copy_addresses(const Info* list, NetAddress* out) {
    size_t count = 0;
    for (const Info* a = list; a && count < kMaxAddresses; a = a->ai_next) {
        if (a->ai_addrlen > sizeof out->bytes) continue;
        NetAddress& n = out[count++];
        n.family = a->ai_family;
        n.socktype = a->ai_socktype;
        n.protocol = a->ai_protocol;
        n.len = static_cast<uint32_t>(a->ai_addrlen);
        std::memcpy(n.bytes, a->ai_addr, a->ai_addrlen);
    }
    return count;
}

}  // namespace plat
