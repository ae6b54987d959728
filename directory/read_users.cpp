#include "directory/read_users.h"

bool read_user_hashes(const HostApi& host, uint32_t plugin_id, int32_t connection, const StopCheck* stop,
                      UserHashDirectory* out, bool* gone) {
    if (gone) *gone = false;
    const MumbleApi& api = host.table;
    if (!host.registered || !api.getAllUsers || !api.getUserHash || !api.freeMemory) return false;
    if (connection < 0) return false;

    mumble_userid_t* users = nullptr;
    size_t user_count = 0;
    mumble_error_t status = api.getAllUsers(plugin_id, connection, &users, &user_count);
    if (status != kMumbleStatusOk || !users) {
        if (gone) *gone = host_says_connection_gone(status);
        if (users) api.freeMemory(plugin_id, users);
        return false;
    }
    size_t n = 0;
    bool gave_up = false;
    for (size_t i = 0; i < user_count && n < kMaxUsers; ++i) {
        if (stop_requested(stop)) {
            gave_up = true;
            break;
        }
        const char* hash = nullptr;
        status = api.getUserHash(plugin_id, connection, users[i], &hash);
        if (status == kMumbleStatusOk && hash && hash[0]) {
            out->entries[n].user_id = users[i];
            copy_text(out->entries[n].hash, kHashField, hash);
            ++n;
        }
        if (hash) api.freeMemory(plugin_id, hash);
    }
    api.freeMemory(plugin_id, users);
    out->count = n;
    return !gave_up && !stop_requested(stop);
}
