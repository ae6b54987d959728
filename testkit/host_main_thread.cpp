#include "testkit/host_main_thread.h"

#include <chrono>

#include "testkit/fake_host.h"

struct HostMainThread::Request {
    enum State { queued, serving, done, cancelled };
    ApiCall kind;
    std::function<mumble_error_t()> body;
    State state = queued;
    mumble_error_t result = 0;
};

HostMainThread::HostMainThread(uint32_t api_timeout_ms) : timeout_ms_(api_timeout_ms) {
    thread_ = std::thread([this] { loop(); });
}

HostMainThread::~HostMainThread() {
    FakeHost::get().set_main_thread(nullptr);
    {
        std::lock_guard<std::mutex> g(m_);
        stop_ = true;
        cv_.notify_all();
    }
    thread_.join();
}

void HostMainThread::run(const std::function<void()>& fn) {
    std::unique_lock<std::mutex> g(m_);
    bool done = false;
    tasks_.push_back([&] {
        fn();
        std::lock_guard<std::mutex> d(m_);
        done = true;
        cv_.notify_all();
    });
    cv_.notify_all();
    cv_.wait(g, [&] { return done; });
}

void HostMainThread::post(std::function<void()> fn) {
    std::lock_guard<std::mutex> g(m_);
    tasks_.push_back(std::move(fn));
    cv_.notify_all();
}

void HostMainThread::trap(ApiCall kind, std::function<void()> fn) {
    std::lock_guard<std::mutex> g(m_);
    trap_set_ = true;
    trap_done_ = false;
    trap_kind_ = kind;
    trap_fn_ = std::move(fn);
}

bool HostMainThread::trap_sprung() {
    std::lock_guard<std::mutex> g(m_);
    return trap_done_;
}

mumble_error_t HostMainThread::call(ApiCall kind, const std::function<mumble_error_t()>& body) {
    auto r = std::make_shared<Request>();
    r->kind = kind;
    r->body = body;
    std::unique_lock<std::mutex> g(m_);
    requests_.push_back(r);
    cv_.notify_all();
    cv_.wait_for(g, std::chrono::milliseconds(timeout_ms_), [&] { return r->state == Request::done; });
    if (r->state == Request::queued) {
        r->state = Request::cancelled;  // skipped when the main thread reaches it
        return kMumbleApiRequestTimeout;
    }
    cv_.wait(g, [&] { return r->state == Request::done; });  // already being served
    return r->result;
}

void HostMainThread::loop() {
    std::unique_lock<std::mutex> g(m_);
    for (;;) {
        cv_.wait(g, [&] { return stop_ || !tasks_.empty() || !requests_.empty(); });
        if (stop_) return;
        if (!tasks_.empty()) {
            auto task = std::move(tasks_.front());
            tasks_.pop_front();
            g.unlock();
            task();
            g.lock();
            continue;
        }
        std::shared_ptr<Request> r = requests_.front();
        if (r->state == Request::cancelled) {
            requests_.pop_front();
            continue;
        }
        if (trap_set_ && r->kind == trap_kind_) {
            trap_set_ = false;
            auto fn = std::move(trap_fn_);
            g.unlock();
            fn();
            g.lock();
            trap_done_ = true;
            cv_.notify_all();
            continue;
        }
        requests_.pop_front();
        r->state = Request::serving;
        g.unlock();
        mumble_error_t result = r->body();
        g.lock();
        r->result = result;
        r->state = Request::done;
        cv_.notify_all();
    }
}
