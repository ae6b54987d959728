#include "testkit/fake_host.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {
// Host error codes.
constexpr mumble_error_t kPointerNotFound = 1;
constexpr mumble_error_t kNoActiveConnection = 2;
constexpr mumble_error_t kUserNotFound = 3;
constexpr mumble_error_t kConnectionNotFound = 5;
constexpr mumble_error_t kConnectionUnsynchronized = 11;
}  // namespace

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
    follow_connection_ = false;
    connection_ = -1;
    synchronised_ = false;
    log_.clear();
    sink_ = nullptr;
    hook_set_ = false;
    hook_ = nullptr;
    for (const void* p : handed_out_) std::free(const_cast<void*>(p));
    handed_out_.clear();
    bad_frees_ = 0;
    calls_hash_ = calls_all_ = calls_log_ = 0;
}

MumbleApi FakeHost::table() const {
    MumbleApi t{};
    t.freeMemory = free_memory;
    t.getActiveServerConnection = get_active_connection;
    t.isConnectionSynchronized = is_synchronised;
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
FAKE_HOST_SET(remove_user(uint32_t id), std::erase_if(users_, [&](const FakeUser& u) { return u.id == id; }))
FAKE_HOST_SET(set_hash(uint32_t id, std::string hash), for (FakeUser& u : users_) if (u.id == id) u.hash = hash)
FAKE_HOST_SET(set_local_user(uint32_t id, int32_t status), local_user_ = id; local_status_ = status)
FAKE_HOST_SET(set_all_users_result(int32_t status, bool null_array), all_users_status_ = status;
              all_users_null_ = null_array)
FAKE_HOST_SET(set_call_delay_ms(uint32_t ms), delay_ms_ = ms)
FAKE_HOST_SET(set_api_status_override(int32_t status), override_ = status)
FAKE_HOST_SET(set_main_thread(HostMainThread* main), main_ = main)
FAKE_HOST_SET(set_log_sink(std::function<void(const std::string&)> sink), sink_ = std::move(sink))
FAKE_HOST_SET(on_next_call(ApiCall kind, std::function<void()> fn), hook_set_ = true; hook_kind_ = kind;
              hook_ = std::move(fn))
FAKE_HOST_SET(connect(mumble_connection_t id), follow_connection_ = true; connection_ = id; synchronised_ = false)
FAKE_HOST_SET(synchronise(), synchronised_ = true)
FAKE_HOST_SET(disconnect(), connection_ = -1; synchronised_ = false)
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
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> g(m_);
        main = main_;
        if (hook_set_ && hook_kind_ == kind) {
            hook_set_ = false;
            hook = std::move(hook_);
        }
    }
    if (hook) hook();  // outside the mutex: it may call the host or the plug-in
    if (!main || main->on_main()) return body();
    return main->call(kind, body);
}

mumble_error_t FakeHost::on_connection(ApiCall kind, mumble_connection_t c, int* counter,
                                       const std::function<mumble_error_t()>& body) {
    return serve(kind, [&]() -> mumble_error_t {
        uint32_t ms;
        {
            std::lock_guard<std::mutex> g(m_);
            ms = delay_ms_;
            ++in_progress_;
        }
        if (ms) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        std::lock_guard<std::mutex> g(m_);
        --in_progress_;
        if (counter) ++*counter;
        if (override_) return override_;
        if (follow_connection_ && (c < 0 || c != connection_)) return kConnectionNotFound;
        if (follow_connection_ && !synchronised_) return kConnectionUnsynchronized;
        return body();
    });
}

const char* FakeHost::hand_out(const std::string& text) {
    char* p = static_cast<char*>(std::malloc(text.size() + 1));
    std::memcpy(p, text.c_str(), text.size() + 1);
    handed_out_.insert(p);
    return p;
}

// Unlike the other calls, the real host does not check the caller here.
mumble_error_t FakeHost::free_memory(mumble_plugin_id_t, const void* p) {
    FakeHost& h = get();
    return h.serve(ApiCall::free_memory, [&]() -> mumble_error_t {
        std::lock_guard<std::mutex> g(h.m_);
        auto it = h.handed_out_.find(p);
        if (it == h.handed_out_.end()) {
            ++h.bad_frees_;
            return kPointerNotFound;
        }
        h.handed_out_.erase(it);
        std::free(const_cast<void*>(p));
        return kMumbleStatusOk;
    });
}

mumble_error_t FakeHost::get_active_connection(mumble_plugin_id_t, mumble_connection_t* out) {
    FakeHost& h = get();
    return h.serve(ApiCall::active_connection, [&]() -> mumble_error_t {
        std::lock_guard<std::mutex> g(h.m_);
        if (h.override_) return h.override_;
        if (!h.follow_connection_ || h.connection_ < 0) return kNoActiveConnection;
        *out = h.connection_;
        return kMumbleStatusOk;
    });
}

// The one call Mumble allows on a connection before it has synchronised.
mumble_error_t FakeHost::is_synchronised(mumble_plugin_id_t, mumble_connection_t c, bool* out) {
    FakeHost& h = get();
    return h.serve(ApiCall::synchronised, [&]() -> mumble_error_t {
        std::lock_guard<std::mutex> g(h.m_);
        if (h.override_) return h.override_;
        if (!h.follow_connection_ || c < 0 || c != h.connection_) return kConnectionNotFound;
        *out = h.synchronised_;
        return kMumbleStatusOk;
    });
}

mumble_error_t FakeHost::get_local_user_id(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t* out) {
    FakeHost& h = get();
    return h.on_connection(ApiCall::local_user, c, nullptr, [&]() -> mumble_error_t {
        if (h.local_status_) return h.local_status_;
        *out = h.local_user_;
        return kMumbleStatusOk;
    });
}

mumble_error_t FakeHost::get_all_users(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t** users,
                                       size_t* count) {
    FakeHost& h = get();
    return h.on_connection(ApiCall::all_users, c, &h.calls_all_, [&]() -> mumble_error_t {
        if (h.all_users_status_) return h.all_users_status_;
        if (h.all_users_null_) {
            *users = nullptr;
            *count = 0;
            return kMumbleStatusOk;
        }
        auto* arr = static_cast<mumble_userid_t*>(std::malloc(sizeof(mumble_userid_t) * (h.users_.size() + 1)));
        for (size_t i = 0; i < h.users_.size(); ++i) arr[i] = h.users_[i].id;
        h.handed_out_.insert(arr);
        *users = arr;
        *count = h.users_.size();
        return kMumbleStatusOk;
    });
}

// A user without a certificate, or whose hash the server has not sent yet,
// gives an empty text, still to be freed.
mumble_error_t FakeHost::get_user_hash(mumble_plugin_id_t, mumble_connection_t c, mumble_userid_t user,
                                       const char** hash) {
    FakeHost& h = get();
    return h.on_connection(ApiCall::user_hash, c, &h.calls_hash_, [&]() -> mumble_error_t {
        for (const FakeUser& u : h.users_) {
            if (u.id != user) continue;
            if (u.status) return u.status;
            *hash = u.null_hash ? nullptr : h.hand_out(u.hash);
            return kMumbleStatusOk;
        }
        return kUserNotFound;
    });
}

mumble_error_t FakeHost::log(mumble_plugin_id_t, const char* message) {
    FakeHost& h = get();
    return h.serve(ApiCall::log, [&]() -> mumble_error_t {
        std::function<void(const std::string&)> sink;
        {
            std::lock_guard<std::mutex> g(h.m_);
            ++h.calls_log_;
            h.log_.emplace_back(message);
            sink = h.sink_;
        }
        if (sink) sink(message);  // outside the mutex: the sink may take its own
        return kMumbleStatusOk;
    });
}
