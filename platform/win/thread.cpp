#include <windows.h>

#include "platform/platform.h"

namespace plat {

namespace {
struct Trampoline {
    ThreadMain fn;
    void* arg;
    HANDLE taken;
};

DWORD WINAPI run(LPVOID p) {
    auto* t = static_cast<Trampoline*>(p);
    ThreadMain fn = t->fn;
    void* arg = t->arg;
    SetEvent(t->taken);
    fn(arg);
    return 0;
}

HANDLE* native(Thread* t) { return reinterpret_cast<HANDLE*>(t->opaque); }
}  // namespace

bool thread_start(Thread* t, ThreadMain fn, void* arg) {
    t->valid = false;
    Trampoline tr{fn, arg, CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    if (!tr.taken) return false;
    HANDLE h = CreateThread(nullptr, 0, run, &tr, 0, nullptr);
    if (!h) {
        CloseHandle(tr.taken);
        return false;
    }
    WaitForSingleObject(tr.taken, INFINITE);
    CloseHandle(tr.taken);
    *native(t) = h;
    t->valid = true;
    return true;
}

bool thread_wait(Thread* t, uint32_t timeout_ms) {
    if (!t->valid) return true;
    if (WaitForSingleObject(*native(t), timeout_ms) != WAIT_OBJECT_0) return false;
    CloseHandle(*native(t));
    t->valid = false;
    return true;
}

void thread_forget(Thread* t) {
    if (!t->valid) return;
    CloseHandle(*native(t));
    t->valid = false;
}

}  // namespace plat
