#include "directory/user_hashes.h"

#include <cstring>

#include "log/log.h"
#include "plugin/state.h"

namespace {
bool stop_requested(const RefreshGuard* g) { return g && g->stop_requested && g->stop_requested(); }
}  // namespace

void refresh_user_hashes(const RefreshGuard* guard) {
    const HostApi& h = g_state.host;
    if (!h.registered || !h.table.getAllUsers || !h.table.getUserHash || !h.table.freeMemory) return;
    if (plat::atomic_read_relaxed(&g_state.connection_id) < 0) return;
    const uint32_t id = g_state.plugin_id;

    mumble_userid_t* users = nullptr;
    size_t user_count = 0;
    mumble_error_t status =
        h.table.getAllUsers(id, plat::atomic_read_relaxed(&g_state.connection_id), &users, &user_count);
    if (status != kMumbleStatusOk || !users) {
        if (users) h.table.freeMemory(id, users);
        return;
    }

    // The new table is built here, off the lock, and published whole.
    UserHashEntry work[kMaxUsers];
    uint32_t work_ids[kMaxUsers];
    size_t n = 0;
    bool gave_up = false;
    for (size_t i = 0; i < user_count && n < kMaxUsers; ++i) {
        if (stop_requested(guard)) {
            gave_up = true;
            break;
        }
        const char* hash = nullptr;
        status = h.table.getUserHash(id, plat::atomic_read_relaxed(&g_state.connection_id), users[i], &hash);
        if (status == kMumbleStatusOk && hash && hash[0]) {
            work[n].user_id = users[i];
            work_ids[n] = users[i];
            copy_text(work[n].hash, kHashField, hash);
            ++n;
        }
        if (hash) h.table.freeMemory(id, hash);
    }
    h.table.freeMemory(id, users);
    if (gave_up || stop_requested(guard)) return;

    if (guard && guard->enter && !guard->enter()) return;
    {
        StateLock held;
        std::memcpy(g_state.directory.entries, work, n * sizeof(UserHashEntry));
        std::memcpy(g_state.directory.ids, work_ids, n * sizeof(uint32_t));
        g_state.directory.count = n;
    }
    file_log("refreshed %zu Mumble user hashes", n);
    if (guard && guard->leave) guard->leave();
}

bool lookup_user_hash(const UserHashDirectory& d, uint32_t user_id, char* out) {
    // Runs of sixteen ids are tested without a branch inside the run, a
    // shape compilers turn into vector compares; the first run with a hit,
    // or the tail, is then walked one id at a time.
    const size_t n = d.count;
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        unsigned hit = 0;
        for (size_t k = 0; k < 16; ++k) hit |= d.ids[i + k] == user_id;
        if (hit) break;
    }
    for (; i < n; ++i) {
        if (d.ids[i] == user_id) {
            copy_text(out, kHashField, d.entries[i].hash);
            return true;
        }
    }
    return false;
}
