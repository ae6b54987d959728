#pragma once
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "host/mumble_abi.h"

// The fake host's API calls, by kind.
enum class ApiCall { free_memory, active_connection, synchronised, local_user, all_users, user_hash, log };

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
    // Queues fn to the main thread without waiting: it runs once the main
    // thread is done with what it does now, before any API call that waits
    // to be served (as Mumble's event loop handles a disconnect signalled
    // before a plug-in's request).
    void post(std::function<void()> fn);
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
