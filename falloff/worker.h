// The falloff worker: the one thread of the plug-in, keeping one connection
// to the falloff server while the host is connected to a voice server.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>

#include "common/fields.h"
#include "common/stop_check.h"
#include "falloff/link_notices.h"
#include "falloff/speaker_table.h"
#include "log/log.h"
#include "platform/net.h"
#include "platform/platform.h"

// What one connection attempt needs of the rest of the plug-in, copied at
// its start.
struct AttemptSettings {
    char host[kTextField];
    int32_t port;
    char key[kTextField];
    bool enabled;
    int32_t reconnect_sec;
    char client_id[kClientIdField];
    LogSink log;
};

// Lets a directory refresh on the worker publish only while the worker may
// still touch shared state.
struct RefreshGate {
    StopCheck stop;              // give up between host calls
    bool (*enter)(void* arg);    // false: publish nothing, log nothing
    void (*leave)(void* arg);
    void* arg;
};

// The rest of the plug-in as the worker sees it; plugin/ provides it. The
// worker calls it only while a stop has not given up on it.
class WorkerContext {
public:
    virtual void snapshot(AttemptSettings* out) = 0;
    virtual void publish_speakers(const SpeakerTable& t) = 0;
    virtual void clear_speakers() = 0;
    // Rebuilds the directory from the host (host calls outside the gate,
    // the publication inside it).
    virtual void refresh_directory(const RefreshGate& gate) = 0;

protected:
    ~WorkerContext() = default;
};

// The longest reconnect pause: the longest time-out one wait on the network
// can take (poll's int milliseconds), about 24.8 days.
constexpr uint32_t kLongestPauseMs = 2147483647u;
// The pause after a failed attempt: reconnect_sec units of unit_ms (one
// second in the plug-in), at least one unit and at most kLongestPauseMs.
uint32_t falloff_reconnect_pause_ms(int32_t reconnect_sec, uint32_t unit_ms);

// The worker and all its state. start and stop come from the host's
// threads, one at a time (the caller serialises them). There is never more
// than one live worker thread: a stop that gives up waiting abandons the
// thread, which then touches nothing shared, and a later start takes that
// same thread back.
class FalloffWorker {
public:
    explicit FalloffWorker(WorkerContext* context) : context_(context) {}
    // Starts the thread unless a worker runs. False when the thread cannot
    // be created.
    bool start();
    // Ends the worker, waiting for it at most the stop budget (1500 ms).
    void stop();
    // A worker thread of ours may still be running (also an abandoned one).
    bool alive() const { return alive_.load(); }

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
    void pause(const Attempt& a);
    void notice(const Attempt& a, LinkState s, const char* detail = "");
    void flush_notices(const Attempt& a);
    void tell(const Attempt& a, const LinkNotice& n);
    void log(const Attempt& a, bool to_host, const char* fmt, ...) QL_PRINTF(4, 5);

    bool running() const { return running_.load(std::memory_order_acquire) == 1; }
    bool keep_running();
    bool superseded(const Attempt& a) const;
    bool gate_enter();
    void gate_leave();

    WorkerContext* const context_;
    std::atomic<int32_t> running_{0};         // the worker is meant to run
    std::atomic<bool> alive_{false};          // a worker thread runs our code
    std::atomic<bool> abandoned_{false};      // the last stop gave up waiting for it
    std::atomic<bool> busy_{false};           // it is inside shared state or a host call
    std::atomic<int32_t> generation_{0};      // bumped when a start takes it back
    std::mutex control_;                      // its exit and a take-back decide under it
    plat::Thread thread_{};
    plat::Waker waker_{};                     // made once; the stop signal for every wait
    // What the player was told of the link; the worker thread's alone.
    LinkNotices notices_;
    int32_t notices_generation_ = 0;
};
