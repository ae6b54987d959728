// The connect loop both systems share: resolve, then try each address in
// the resolver's order until one connects.
#include "platform/net.h"

namespace plat {

NetResult net_connect(const char* host, const char* port, Waker* w, Socket* out) {
    NetAddress addresses[kMaxAddresses];
    size_t count = 0;
    if (!net_resolve(host, port, addresses, &count)) return NetResult::unresolved;
    for (size_t i = 0; i < count; ++i) {
        if (w && waker_wait(w, 0)) return NetResult::woken;  // a stop between two addresses
        const NetResult r = net_connect_one(addresses[i], w, out);
        if (r == NetResult::ok || r == NetResult::woken) return r;
    }
    return NetResult::failed;
}

}  // namespace plat
