#include <pthread.h>

#include <cerrno>
#include <cstring>
#include <ctime>

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
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeout_ms / 1000;
    deadline.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(*native(t), nullptr, &deadline) != 0) return false;
    t->valid = false;
    return true;
}

void thread_forget(Thread* t) {
    if (!t->valid) return;
    pthread_detach(*native(t));
    t->valid = false;
}

}  // namespace plat
