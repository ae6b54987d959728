#include "fake_host.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

// ---- the host's main thread ---------------------------------------------------

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

// ---- the fake host ----------------------------------------------------------------

FakeHost& FakeHost::get() {
    static FakeHost h;
    return h;
}

void FakeHost::reset() {
    std::lock_guard<std::mutex> g(m_);
    users_.clear();
    local_user_ = 1;
    local_status_ = 0;
    all_users_status_ = 0;
    all_users_null_ = false;
    delay_ms_ = 0;
    override_ = 0;
    log_.clear();
    for (const void* p : handed_out_) std::free(const_cast<void*>(p));
    handed_out_.clear();
    bad_frees_ = 0;
    calls_hash_ = calls_all_ = calls_log_ = 0;
}

MumbleApi FakeHost::table() const {
    MumbleApi t{};
    t.freeMemory = free_memory;
    t.getLocalUserID = get_local_user_id;
    t.getAllUsers = get_all_users;
    t.getUserHash = get_user_hash;
    t.log = log;
    return t;
}

// Every setter and getter takes the host's mutex: the plug-in calls the host
// from its worker thread while the test scripts it.
#define FAKE_HOST_SET(name, body)  \
    void FakeHost::name {          \
        std::lock_guard<std::mutex> g(m_); \
        body;                      \
    }
FAKE_HOST_SET(set_users(std::vector<FakeUser> users), users_ = std::move(users))
FAKE_HOST_SET(add_user(FakeUser u), users_.push_back(std::move(u)))
FAKE_HOST_SET(set_local_user(uint32_t id, int32_t status), local_user_ = id; local_status_ = status)
FAKE_HOST_SET(set_all_users_result(int32_t status, bool null_array), all_users_status_ = status;
              all_users_null_ = null_array)
FAKE_HOST_SET(set_call_delay_ms(uint32_t ms), delay_ms_ = ms)
FAKE_HOST_SET(set_api_status_override(int32_t status), override_ = status)
FAKE_HOST_SET(set_main_thread(HostMainThread* main), main_ = main)
#undef FAKE_HOST_SET

#define FAKE_HOST_GET(type, name, expr)  \
    type FakeHost::name() {              \
        std::lock_guard<std::mutex> g(m_); \
        return expr;                     \
    }
FAKE_HOST_GET(std::vector<std::string>, log_lines, log_)
FAKE_HOST_GET(size_t, outstanding, handed_out_.size())
FAKE_HOST_GET(int, bad_frees, bad_frees_)
FAKE_HOST_GET(int, calls_get_user_hash, calls_hash_)
FAKE_HOST_GET(int, calls_get_all_users, calls_all_)
FAKE_HOST_GET(int, calls_log, calls_log_)
FAKE_HOST_GET(int, calls_in_progress, in_progress_)
#undef FAKE_HOST_GET

bool FakeHost::has_log_line(const std::string& exact) {
    std::lock_guard<std::mutex> g(m_);
    return std::find(log_.begin(), log_.end(), exact) != log_.end();
}

mumble_error_t FakeHost::serve(ApiCall kind, const std::function<mumble_error_t()>& body) {
    HostMainThread* main;
    {
        std::lock_guard<std::mutex> g(m_);
        main = main_;
    }
    if (!main || main->on_main()) return body();
    return main->call(kind, body);
}

void FakeHost::delay() {
    uint32_t ms;
    {
        std::lock_guard<std::mutex> g(m_);
        ms = delay_ms_;
        ++in_progress_;
    }
    if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::lock_guard<std::mutex> g(m_);
    --in_progress_;
}

mumble_error_t FakeHost::free_memory(mumble_plugin_id_t, const void* p) {
    FakeHost& h = get();
    return h.serve(ApiCall::free_memory, [&]() -> mumble_error_t {
        std::lock_guard<std::mutex> g(h.m_);
        auto it = h.handed_out_.find(p);
        if (it == h.handed_out_.end()) {
            ++h.bad_frees_;
            return 1;  // pointer not found
        }
        h.handed_out_.erase(it);
        std::free(const_cast<void*>(p));
        return 0;
    });
}

mumble_error_t FakeHost::get_local_user_id(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t* out) {
    FakeHost& h = get();
    return h.serve(ApiCall::local_user, [&]() -> mumble_error_t {
        h.delay();
        std::lock_guard<std::mutex> g(h.m_);
        if (h.override_) return h.override_;
        if (h.local_status_) return h.local_status_;
        *out = h.local_user_;
        return 0;
    });
}

mumble_error_t FakeHost::get_all_users(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t** users,
                                       size_t* count) {
    FakeHost& h = get();
    return h.serve(ApiCall::all_users, [&]() -> mumble_error_t {
        h.delay();
        std::lock_guard<std::mutex> g(h.m_);
        ++h.calls_all_;
        if (h.override_) return h.override_;
        if (h.all_users_status_) return h.all_users_status_;
        if (h.all_users_null_) {
            *users = nullptr;
            *count = 0;
            return 0;
        }
        auto* arr = static_cast<mumble_userid_t*>(std::malloc(sizeof(mumble_userid_t) * (h.users_.size() + 1)));
        for (size_t i = 0; i < h.users_.size(); ++i) arr[i] = h.users_[i].id;
        h.handed_out_.insert(arr);
        *users = arr;
        *count = h.users_.size();
        return 0;
    });
}

mumble_error_t FakeHost::get_user_hash(mumble_plugin_id_t, mumble_connection_t, mumble_userid_t user,
                                       const char** hash) {
    FakeHost& h = get();
    return h.serve(ApiCall::user_hash, [&]() -> mumble_error_t {
        h.delay();
        std::lock_guard<std::mutex> g(h.m_);
        ++h.calls_hash_;
        if (h.override_) return h.override_;
        for (const FakeUser& u : h.users_) {
            if (u.id != user) continue;
            if (u.status) return u.status;
            if (u.null_hash) {
                *hash = nullptr;
                return 0;
            }
            char* text = static_cast<char*>(std::malloc(u.hash.size() + 1));
            std::memcpy(text, u.hash.c_str(), u.hash.size() + 1);
            h.handed_out_.insert(text);
            *hash = text;
            return 0;
        }
        return 3;  // user not found
    });
}

mumble_error_t FakeHost::log(mumble_plugin_id_t, const char* message) {
    FakeHost& h = get();
    return h.serve(ApiCall::log, [&]() -> mumble_error_t {
        std::lock_guard<std::mutex> g(h.m_);
        ++h.calls_log_;
        h.log_.emplace_back(message);
        return 0;
    });
}
