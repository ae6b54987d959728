// The host is the one thing the tests, the benchmarks and the headless host
// fake: an API table that answers from a scripted server's users, counts
// every call and checks that every pointer handed out comes back through
// freeMemory exactly once. The plug-in's worker calls in while the host
// fires events, so every entry may be called from any thread.
//
// After reset() every connection id is answered as the active, synchronised
// one, but asked for its active connection the host has none (2), as Mumble
// before any server. connect() makes the host follow Mumble's rule instead:
// the active connection is the one given, a call naming another connection
// fails with 5, one before synchronise() with 11, and after disconnect()
// there is no connection at all. Like Mumble, the host never calls the
// plug-in's synchronisation entry itself: an enable while connected is
// init alone.
#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "testkit/host_main_thread.h"
#include "host/mumble_abi.h"

struct FakeUser {
    uint32_t id;
    std::string hash{};      // empty: the host reports an empty text
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
    void remove_user(uint32_t id);
    // Mumble stores a joining user's hash only after the events that
    // announce the user: add_user with an empty hash, then this.
    void set_hash(uint32_t id, std::string hash);
    void set_local_user(uint32_t id, int32_t status = 0);
    void set_all_users_result(int32_t status, bool null_array = false);
    void set_call_delay_ms(uint32_t ms);   // each API call takes this long
    void set_api_status_override(int32_t status);  // every call fails with it (0: off)
    void set_main_thread(HostMainThread* main);    // null: calls are served on the caller's thread
    void set_log_sink(std::function<void(const std::string&)> sink);  // gets each log line as it comes
    // When the next call of kind comes, fn runs first, on the caller's
    // thread (for something the host's other threads do meanwhile).
    void on_next_call(ApiCall kind, std::function<void()> fn);
    void connect(mumble_connection_t id);  // a new connection, not yet synchronised
    void synchronise();
    void disconnect();

    // Observations.
    std::vector<std::string> log_lines();
    bool has_log_line(const std::string& exact);
    size_t outstanding();   // pointers handed out and not returned
    int bad_frees();        // freeMemory of unknown or already returned pointers
    int calls_get_user_hash();
    int calls_get_all_users();
    int calls_log();
    int calls_in_progress();  // API calls that have started and not returned

private:
    // The API entries.
    static mumble_error_t free_memory(mumble_plugin_id_t, const void* p);
    static mumble_error_t get_active_connection(mumble_plugin_id_t, mumble_connection_t* out);
    static mumble_error_t is_synchronised(mumble_plugin_id_t, mumble_connection_t c, bool* out);
    static mumble_error_t get_local_user_id(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t* out);
    static mumble_error_t get_all_users(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t** users,
                                        size_t* count);
    static mumble_error_t get_user_hash(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t user,
                                        const char** hash);
    static mumble_error_t log(mumble_plugin_id_t, const char* message);

    // Serves body on the host's main thread when one is attached.
    mumble_error_t serve(ApiCall kind, const std::function<mumble_error_t()>& body);
    // A call on connection c: waits the scripted delay, then, under the
    // mutex, counts itself, fails as scripted or by the connection rule, or
    // runs body.
    mumble_error_t on_connection(ApiCall kind, mumble_connection_t c, int* counter,
                                 const std::function<mumble_error_t()>& body);
    const char* hand_out(const std::string& text);  // a malloc'ed copy, to come back

    HostMainThread* main_ = nullptr;
    std::mutex m_;
    std::vector<FakeUser> users_;
    uint32_t local_user_ = 1;
    int32_t local_status_ = 0;
    int32_t all_users_status_ = 0;
    bool all_users_null_ = false;
    uint32_t delay_ms_ = 0;
    int32_t override_ = 0;
    bool follow_connection_ = false;  // connect() was called
    mumble_connection_t connection_ = -1;
    bool synchronised_ = false;
    std::vector<std::string> log_;
    std::function<void(const std::string&)> sink_;
    bool hook_set_ = false;
    ApiCall hook_kind_{};
    std::function<void()> hook_;
    std::set<const void*> handed_out_;
    int bad_frees_ = 0;
    int calls_hash_ = 0, calls_all_ = 0, calls_log_ = 0;
    int in_progress_ = 0;
};
