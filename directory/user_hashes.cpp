#include "directory/user_hashes.h"

#include <cstring>

#include "log/log.h"
#include "plugin/state.h"
#include "plugin/tables.h"

namespace {
bool stop_requested(const RefreshGuard* g) { return g && g->stop_requested && g->stop_requested(); }
}  // namespace

void refresh_user_hashes(const RefreshGuard* guard) {
    const HostApi& h = g_state.host;
    if (!h.registered || !h.table.getAllUsers || !h.table.getUserHash || !h.table.freeMemory) return;
    if (g_state.connection_id.load(std::memory_order_relaxed) < 0) return;
    const uint32_t id = g_state.plugin_id;

    mumble_userid_t* users = nullptr;
    size_t user_count = 0;
    mumble_error_t status =
        h.table.getAllUsers(id, g_state.connection_id.load(std::memory_order_relaxed), &users, &user_count);
    if (status != kMumbleStatusOk || !users) {
        if (users) h.table.freeMemory(id, users);
        return;
    }

    // The new table is built here, in the caller's storage, and published whole.
    UserHashDirectory work;
    size_t n = 0;
    bool gave_up = false;
    for (size_t i = 0; i < user_count && n < kMaxUsers; ++i) {
        if (stop_requested(guard)) {
            gave_up = true;
            break;
        }
        const char* hash = nullptr;
        status = h.table.getUserHash(id, g_state.connection_id.load(std::memory_order_relaxed), users[i], &hash);
        if (status == kMumbleStatusOk && hash && hash[0]) {
            work.entries[n].user_id = users[i];
            work.ids[n] = users[i];
            copy_text(work.entries[n].hash, kHashField, hash);
            ++n;
        }
        if (hash) h.table.freeMemory(id, hash);
    }
    h.table.freeMemory(id, users);
    if (gave_up || stop_requested(guard)) return;

    if (guard && guard->enter && !guard->enter()) return;
    work.count = n;
    publish_directory(work);
    file_log("refreshed %zu Mumble user hashes", n);
    if (guard && guard->leave) guard->leave();
}
