// The falloff worker: the one thread of the plug-in, keeping one connection
// to the falloff server while the host is connected to a voice server.
#pragma once
#include <atomic>
#include <cstdint>

#include "common/fields.h"
#include "common/stop_check.h"
#include "directory/user_hashes.h"
#include "falloff/link_notices.h"
#include "falloff/speaker_table.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/platform.h"

// What a directory read asked the host about and heard.
struct UsersRead {
    int32_t connection = -1;
    bool gone = false;  // the host answered that the connection does not exist
};

// What one connection attempt needs of the rest of the plug-in, copied at
// its start.
struct AttemptSettings {
    char host[kTextField];
    int32_t port;
    char key[kTextField];
    bool enabled;
    int32_t reconnect_sec;
    bool community;  // a community's build: its server and key are built in
    char client_id[kClientIdField];
    LogSink log;
};

// The rest of the plug-in as the worker sees it; plugin/ provides it. The
// worker calls it only while a stop has not given up on it.
class WorkerContext {
public:
    virtual void snapshot(AttemptSettings* out) = 0;
    virtual void publish_speakers(const SpeakerTable& t) = 0;
    virtual void clear_speakers() = 0;
    // The directory refresh in two steps. read_users asks the host for the
    // connection's users into out; it is called outside the busy gate (a
    // host call may outlast a stop's bound) and gives up between host calls
    // once stop says so. False: nothing to publish. publish_users then
    // publishes what it read, inside the gate.
    virtual bool read_users(const StopCheck& stop, UserHashDirectory* out, UsersRead* read) = 0;
    virtual void publish_users(const UserHashDirectory& d) = 0;
    // The host answered that the connection is gone, though no disconnect
    // came (Mumble reports none that happens during init). Ends it as a
    // disconnect would, stopping the worker with request_stop, unless a
    // newer connection was taken up meanwhile. Inside the gate; never waits
    // for the host's threads. True when it ended the connection.
    virtual bool connection_gone(int32_t connection) = 0;

protected:
    ~WorkerContext() = default;
};

// The longest reconnect pause: the longest time-out one wait on the network
// can take (poll's int milliseconds), about 24.8 days.
constexpr uint32_t kLongestPauseMs = 2147483647u;
// The pause after a failed attempt: reconnect_sec units of unit_ms (one
// second in the plug-in), at least one unit and at most kLongestPauseMs.
uint32_t falloff_reconnect_pause_ms(int32_t reconnect_sec, uint32_t unit_ms);

// The life of the worker's thread, one value that only compare-exchange
// and store change:
//
//   idle      --start-->                running    a new thread
//   running   --start fails-->          idle       no thread could be made
//   running   --stop-->                 stopping   the stop signal; the stop waits
//   stopping  --the thread leaves-->    idle       within the stop's bound
//   stopping  --the bound passes-->     abandoned  library pinned, handle let go
//   abandoned --start-->                running    the same thread taken back
//   abandoned --the thread leaves-->    idle
//   running   --request_stop-->         stopping   the worker's own connection is gone
//   stopping  --start-->                running    (after request_stop) taken back
//
// start and stop are the host's threads' (one at a time), and so is
// request_stop, which the worker's thread makes while it holds the plug-in's
// life-cycle turn; "the thread leaves" is the worker's own, at a reading of
// the state that finds it no longer running. A thread that left after a
// request_stop is still joined: by the next stop, or by the next start
// before it makes a new one. An abandoned thread touches nothing shared and calls
// nothing in the host (the busy gate); a take-back bumps the generation,
// so what an attempt of the stopped session holds is not used again.
enum class WorkerState : int32_t { idle, running, stopping, abandoned };

// The worker and all its state. There is never more than one live worker
// thread: a stop that gives up waiting abandons the thread, and a later
// start takes that same thread back.
class FalloffWorker {
public:
    explicit FalloffWorker(WorkerContext* context) : context_(context) {}
    // Starts the thread unless a worker runs. False when the thread cannot
    // be created.
    bool start();
    // Ends the worker, waiting for it at most the stop budget (1500 ms).
    void stop();
    // The stop signal without the wait, for the worker's own thread: the
    // session it serves has ended under it. The thread leaves at its next
    // reading of the state.
    void request_stop();
    // A worker thread of ours may still be running (also an abandoned one).
    bool alive() const { return state() != WorkerState::idle; }

private:
    struct Attempt;
    struct Buffers;
    enum class Greeting { accepted, refused, unanswered, unsent, woken };

    static void thread_main(void* self);
    void run();
    void attempt(Buffers* b);
    bool take_snapshot(Attempt* a);
    Greeting greet(const Attempt& a, Buffers* b);
    bool exchange(const Attempt& a, Buffers* b);
    void handle_line(const Attempt& a, Buffers* b);
    bool refresh_directory(const Attempt& a, Buffers* b);
    void reap(uint32_t budget_ms);
    void pause(const Attempt& a);
    void notice(const Attempt& a, LinkState s, const char* detail = "");
    void flush_notices(const Attempt& a);
    void tell(const Attempt& a, const LinkNotice& n);
    void log(const Attempt& a, bool to_host, const char* fmt, ...) QL_PRINTF(4, 5);

    WorkerState state() const { return state_.load(std::memory_order_acquire); }
    bool running() const { return state() == WorkerState::running; }
    bool keep_running();
    bool superseded(const Attempt& a) const;
    bool gate_enter();
    void gate_leave();

    WorkerContext* const context_;
    std::atomic<WorkerState> state_{WorkerState::idle};
    std::atomic<bool> busy_{false};       // the gate: inside shared state or a host call
    std::atomic<int32_t> generation_{0};  // bumped when a start takes the thread back
    plat::Thread thread_{};
    plat::Waker waker_{};                 // made once; the stop signal for every wait
    // What the player was told of the link; the worker thread's alone.
    LinkNotices notices_;
    int32_t session_generation_ = 0;  // the generation of the session last begun
    bool connection_checked_ = false;  // the session's host connection was asked about
};
