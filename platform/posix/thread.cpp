#include <pthread.h>

#include <cerrno>
#include <cstring>

#include "common/clock.h"
#include "platform/platform.h"

namespace plat {

namespace {
// One start record per thread slot would need the heap; the caller's
// argument is handed over through the thread's own first instructions
// instead, so the record only has to live until pthread_create returns.
struct Trampoline {
    ThreadMain fn;
    void* arg;
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    bool taken = false;
};

void* run(void* p) {
    auto* t = static_cast<Trampoline*>(p);
    ThreadMain fn = t->fn;
    void* arg = t->arg;
    pthread_mutex_lock(&t->m);
    t->taken = true;
    pthread_cond_signal(&t->c);
    pthread_mutex_unlock(&t->m);
    fn(arg);
    return nullptr;
}

pthread_t* native(Thread* t) { return reinterpret_cast<pthread_t*>(t->opaque); }
}  // namespace

static_assert(sizeof(pthread_t) <= sizeof(Thread::opaque));

bool thread_start(Thread* t, ThreadMain fn, void* arg) {
    Trampoline tr;
    tr.fn = fn;
    tr.arg = arg;
    t->valid = false;
    if (pthread_create(native(t), nullptr, run, &tr) != 0) return false;
    pthread_mutex_lock(&tr.m);
    while (!tr.taken) pthread_cond_wait(&tr.c, &tr.m);
    pthread_mutex_unlock(&tr.m);
    t->valid = true;
    return true;
}

bool thread_wait(Thread* t, uint32_t timeout_ms) {
    if (!t->valid) return true;
    // Measured on the monotonic tick counter: pthread_timedjoin_np takes a
    // wall-clock deadline, which a step of the clock would cut or stretch.
    const uint32_t start = tick_ms();
    for (;;) {
        if (pthread_tryjoin_np(*native(t), nullptr) == 0) {
            t->valid = false;
            return true;
        }
        if (tick_ms() - start >= timeout_ms) return false;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void thread_forget(Thread* t) {
    if (!t->valid) return;
    pthread_detach(*native(t));
    t->valid = false;
}

}  // namespace plat
