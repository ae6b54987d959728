// The host is the one thing the tests fake: an API table whose five used
// slots answer from a scripted set of users, count every call and check
// that every pointer handed out comes back through freeMemory exactly once.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "plugin/mumble_abi.h"

enum class ApiCall { free_memory, local_user, all_users, user_hash, log };

// The host's main thread as Mumble runs it. Entry points that Mumble calls
// there (init, shutdown, synchronisation, user events) are run on it with
// run(). While it is attached to the FakeHost, an API call made on any other
// thread is queued to it and waits up to api_timeout_ms (800 ms in Mumble)
// for the main thread to serve it; a call still queued then is cancelled and
// fails with error 19, one already being served is waited for. A main thread
// busy with an entry point serves nothing meanwhile.
class HostMainThread {
public:
    explicit HostMainThread(uint32_t api_timeout_ms = 800);
    ~HostMainThread();  // detaches from the FakeHost and ends the thread

    void run(const std::function<void()>& fn);  // on the main thread; waits for it
    // When the next request of kind reaches the front of the queue, fn runs
    // first, so the main thread serves nothing while fn runs.
    void trap(ApiCall kind, std::function<void()> fn);
    bool trap_sprung();  // the trap's fn has returned
    bool on_main() const { return std::this_thread::get_id() == thread_.get_id(); }

    // The FakeHost's side: serves body on the main thread as described.
    mumble_error_t call(ApiCall kind, const std::function<mumble_error_t()>& body);

private:
    struct Request;
    void loop();

    const uint32_t timeout_ms_;
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::shared_ptr<Request>> requests_;
    std::deque<std::function<void()>> tasks_;
    bool trap_set_ = false, trap_done_ = false;
    ApiCall trap_kind_{};
    std::function<void()> trap_fn_;
    bool stop_ = false;
    std::thread thread_;
};

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
    void set_main_thread(HostMainThread* main);    // null: calls are served on the caller's thread

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
    // Serves body on the host's main thread when one is attached.
    mumble_error_t serve(ApiCall kind, const std::function<mumble_error_t()>& body);
    HostMainThread* main_ = nullptr;
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
