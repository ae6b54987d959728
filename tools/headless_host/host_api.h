// The host side of the plug-in interface: a scripted Mumble server's users
// and the API table handed to the plug-in. Every API function may be called
// from any thread (the plug-in's worker calls in while the host's main
// thread fires events), so the world is guarded by one mutex.
//
// Behaviour follows the real host where the plug-in could tell the
// difference: calls that take a connection fail until the connection is
// synchronised; strings and arrays are malloc'ed and must come back through
// freeMemory exactly once; a user's certificate hash becomes known only
// after the events that announce the user have been delivered.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "plugin/mumble_abi.h"

struct HostUser {
    uint32_t session = 0;
    std::string name;
    std::string hash;  // empty until the server has told it
    int32_t channel = 0;
};

class HostWorld {
public:
    static HostWorld& get();

    void reset(mumble_plugin_id_t plugin_id);
    // Called with each line the plug-in writes to the log window.
    void set_log_sink(std::function<void(const std::string&)> sink);

    void connect(mumble_connection_t id);         // a new, unsynchronised connection
    void synchronise(uint32_t local_session);     // sets the local user and marks it ready
    void disconnect();                            // no connection from now on
    void add_user(const HostUser& u);             // hash left empty; see set_hash
    void set_hash(uint32_t session, const std::string& hash);
    void move_user(uint32_t session, int32_t channel);
    void remove_user(uint32_t session);

    MumbleApi table() const;  // a fresh copy, as the host builds one per enable
    size_t outstanding_allocations();
    size_t api_calls();

    // The API functions' bodies; the table's entries forward here.
    mumble_error_t free_memory(mumble_plugin_id_t caller, const void* p);
    mumble_error_t active_connection(mumble_plugin_id_t caller, mumble_connection_t* out);
    mumble_error_t is_synchronised(mumble_plugin_id_t caller, mumble_connection_t c, bool* out);
    mumble_error_t local_user(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t* out);
    mumble_error_t user_name(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t u,
                             const char** out);
    mumble_error_t all_users(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t** out,
                             size_t* count);
    mumble_error_t user_hash(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t u,
                             const char** out);
    mumble_error_t log(mumble_plugin_id_t caller, const char* message);

private:
    // Checks the caller and the connection; OK or the host's error code.
    mumble_error_t check(mumble_plugin_id_t caller, mumble_connection_t c) const;
    const char* copy_text(const std::string& s);  // registered malloc copy
    mumble_error_t user_text(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t u,
                             std::string HostUser::*field, const char** out);
    const HostUser* find(uint32_t session) const;

    std::mutex m_;
    mumble_plugin_id_t plugin_id_ = 0;
    mumble_connection_t connection_ = -1;
    bool synchronised_ = false;
    uint32_t local_session_ = 0;
    std::vector<HostUser> users_;
    std::set<const void*> allocations_;
    size_t calls_ = 0;
    std::function<void(const std::string&)> sink_;
};

// Host error codes used here.
constexpr mumble_error_t kEcPointerNotFound = 1;
constexpr mumble_error_t kEcNoActiveConnection = 2;
constexpr mumble_error_t kEcUserNotFound = 3;
constexpr mumble_error_t kEcConnectionNotFound = 5;
constexpr mumble_error_t kEcInvalidPluginId = 9;
constexpr mumble_error_t kEcConnectionUnsynchronized = 11;
