// The host is the one thing the tests fake: an API table whose five used
// slots answer from a scripted set of users, count every call and check
// that every pointer handed out comes back through freeMemory exactly once.
#pragma once
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "plugin/mumble_abi.h"

struct FakeUser {
    uint32_t id;
    std::string hash;        // empty: the host reports an empty text
    int32_t status = 0;      // getUserHash status for this user
    bool null_hash = false;  // success with a null pointer
};

class FakeHost {
public:
    static FakeHost& get();
    void reset();  // forget everything, back to a well-behaved host
    MumbleApi table() const;

    // Scripting (take the mutex through these setters).
    void set_users(std::vector<FakeUser> users);
    void add_user(FakeUser u);
    void set_local_user(uint32_t id, int32_t status = 0);
    void set_all_users_result(int32_t status, bool null_array = false);
    void set_call_delay_ms(uint32_t ms);   // each API call takes this long
    void set_api_status_override(int32_t status);  // every call fails with it (0: off)

    // Observations.
    std::vector<std::string> log_lines();
    bool has_log_line(const std::string& exact);
    size_t outstanding();   // pointers handed out and not returned
    int bad_frees();        // freeMemory of unknown or already returned pointers
    int calls_get_user_hash();
    int calls_get_all_users();
    int calls_log();
    int calls_in_progress();  // API calls that have started and not returned

    // The API entries.
    static mumble_error_t free_memory(mumble_plugin_id_t, const void* p);
    static mumble_error_t get_local_user_id(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t* out);
    static mumble_error_t get_all_users(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t** users,
                                        size_t* count);
    static mumble_error_t get_user_hash(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t user,
                                        const char** hash);
    static mumble_error_t log(mumble_plugin_id_t, const char* message);

private:
    void delay();  // counts the call as in progress while it waits
    std::mutex m_;
    std::vector<FakeUser> users_;
    uint32_t local_user_ = 1;
    int32_t local_status_ = 0;
    int32_t all_users_status_ = 0;
    bool all_users_null_ = false;
    uint32_t delay_ms_ = 0;
    int32_t override_ = 0;
    std::vector<std::string> log_;
    std::set<const void*> handed_out_;
    int bad_frees_ = 0;
    int calls_hash_ = 0, calls_all_ = 0, calls_log_ = 0;
    int in_progress_ = 0;
};
