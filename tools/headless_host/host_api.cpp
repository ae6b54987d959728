#include "host_api.h"

#include <cstdlib>
#include <cstring>

namespace {
HostWorld& W() { return HostWorld::get(); }

// The table's entries: plain C-compatible functions that forward to the world.
mumble_error_t api_free_memory(mumble_plugin_id_t id, const void* p) { return W().free_memory(id, p); }
mumble_error_t api_active_connection(mumble_plugin_id_t id, mumble_connection_t* c) {
    return W().active_connection(id, c);
}
mumble_error_t api_is_synchronised(mumble_plugin_id_t id, mumble_connection_t c, bool* s) {
    return W().is_synchronised(id, c, s);
}
mumble_error_t api_local_user(mumble_plugin_id_t id, mumble_connection_t c, mumble_userid_t* u) {
    return W().local_user(id, c, u);
}
mumble_error_t api_user_name(mumble_plugin_id_t id, mumble_connection_t c, mumble_userid_t u, const char** n) {
    return W().user_name(id, c, u, n);
}
mumble_error_t api_all_users(mumble_plugin_id_t id, mumble_connection_t c, mumble_userid_t** u, size_t* n) {
    return W().all_users(id, c, u, n);
}
mumble_error_t api_user_hash(mumble_plugin_id_t id, mumble_connection_t c, mumble_userid_t u, const char** h) {
    return W().user_hash(id, c, u, h);
}
mumble_error_t api_log(mumble_plugin_id_t id, const char* m) { return W().log(id, m); }

template <typename F>
void* slot(F* f) {
    return reinterpret_cast<void*>(f);
}
}  // namespace

HostWorld& HostWorld::get() {
    static HostWorld w;
    return w;
}

void HostWorld::reset(mumble_plugin_id_t plugin_id) {
    std::lock_guard<std::mutex> g(m_);
    for (const void* p : allocations_) std::free(const_cast<void*>(p));
    allocations_.clear();
    users_.clear();
    plugin_id_ = plugin_id;
    connection_ = -1;
    synchronised_ = false;
    local_session_ = 0;
    calls_ = 0;
}

void HostWorld::set_log_sink(std::function<void(const std::string&)> sink) {
    std::lock_guard<std::mutex> g(m_);
    sink_ = std::move(sink);
}

void HostWorld::connect(mumble_connection_t id) {
    std::lock_guard<std::mutex> g(m_);
    connection_ = id;
    synchronised_ = false;
    local_session_ = 0;
}

void HostWorld::synchronise(uint32_t local_session) {
    std::lock_guard<std::mutex> g(m_);
    local_session_ = local_session;
    synchronised_ = true;
}

void HostWorld::disconnect() {
    std::lock_guard<std::mutex> g(m_);
    connection_ = -1;
    synchronised_ = false;
    local_session_ = 0;
}

void HostWorld::add_user(const HostUser& u) {
    std::lock_guard<std::mutex> g(m_);
    HostUser copy = u;
    copy.hash.clear();
    users_.push_back(copy);
}

void HostWorld::set_hash(uint32_t session, const std::string& hash) {
    std::lock_guard<std::mutex> g(m_);
    for (HostUser& u : users_)
        if (u.session == session) u.hash = hash;
}

void HostWorld::move_user(uint32_t session, int32_t channel) {
    std::lock_guard<std::mutex> g(m_);
    for (HostUser& u : users_)
        if (u.session == session) u.channel = channel;
}

void HostWorld::remove_user(uint32_t session) {
    std::lock_guard<std::mutex> g(m_);
    for (size_t i = 0; i < users_.size(); ++i)
        if (users_[i].session == session) users_.erase(users_.begin() + static_cast<long>(i--));
}

MumbleApi HostWorld::table() const {
    MumbleApi t{};
    t.freeMemory = api_free_memory;
    t.slot1_2[0] = slot(api_active_connection);
    t.slot1_2[1] = slot(api_is_synchronised);
    t.getLocalUserID = api_local_user;
    t.slot4_5[0] = slot(api_user_name);
    t.getAllUsers = api_all_users;
    t.getUserHash = api_user_hash;
    t.log = api_log;
    return t;
}

size_t HostWorld::outstanding_allocations() {
    std::lock_guard<std::mutex> g(m_);
    return allocations_.size();
}

size_t HostWorld::api_calls() {
    std::lock_guard<std::mutex> g(m_);
    return calls_;
}

// Unlike the other calls, the real host does not check the caller here.
mumble_error_t HostWorld::free_memory(mumble_plugin_id_t, const void* p) {
    std::lock_guard<std::mutex> g(m_);
    ++calls_;
    auto it = allocations_.find(p);
    if (it == allocations_.end()) return kEcPointerNotFound;
    allocations_.erase(it);
    std::free(const_cast<void*>(p));
    return kMumbleStatusOk;
}

mumble_error_t HostWorld::active_connection(mumble_plugin_id_t caller, mumble_connection_t* out) {
    std::lock_guard<std::mutex> g(m_);
    ++calls_;
    if (caller != plugin_id_) return kEcInvalidPluginId;
    if (connection_ < 0) return kEcNoActiveConnection;
    *out = connection_;
    return kMumbleStatusOk;
}

mumble_error_t HostWorld::is_synchronised(mumble_plugin_id_t caller, mumble_connection_t c, bool* out) {
    std::lock_guard<std::mutex> g(m_);
    ++calls_;
    if (caller != plugin_id_) return kEcInvalidPluginId;
    if (c != connection_ || c < 0) return kEcConnectionNotFound;
    *out = synchronised_;
    return kMumbleStatusOk;
}

mumble_error_t HostWorld::check(mumble_plugin_id_t caller, mumble_connection_t c) const {
    if (caller != plugin_id_) return kEcInvalidPluginId;
    if (c != connection_ || c < 0) return kEcConnectionNotFound;
    if (!synchronised_ || local_session_ == 0) return kEcConnectionUnsynchronized;
    return kMumbleStatusOk;
}

const char* HostWorld::copy_text(const std::string& s) {
    char* p = static_cast<char*>(std::malloc(s.size() + 1));
    std::memcpy(p, s.c_str(), s.size() + 1);
    allocations_.insert(p);
    return p;
}

const HostUser* HostWorld::find(uint32_t session) const {
    for (const HostUser& u : users_)
        if (u.session == session) return &u;
    return nullptr;
}

mumble_error_t HostWorld::local_user(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t* out) {
    std::lock_guard<std::mutex> g(m_);
    ++calls_;
    if (mumble_error_t e = check(caller, c)) return e;
    *out = local_session_;
    return kMumbleStatusOk;
}

mumble_error_t HostWorld::user_name(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t u,
                                    const char** out) {
    return user_text(caller, c, u, &HostUser::name, out);
}

mumble_error_t HostWorld::all_users(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t** out,
                                    size_t* count) {
    std::lock_guard<std::mutex> g(m_);
    ++calls_;
    if (mumble_error_t e = check(caller, c)) return e;
    auto* ids = static_cast<mumble_userid_t*>(std::malloc(sizeof(mumble_userid_t) * (users_.size() + 1)));
    for (size_t i = 0; i < users_.size(); ++i) ids[i] = users_[i].session;
    allocations_.insert(ids);
    *out = ids;
    *count = users_.size();
    return kMumbleStatusOk;
}

// A user without a certificate, or whose hash the server has not sent
// yet, gives an empty text, still to be freed.
mumble_error_t HostWorld::user_hash(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t u,
                                    const char** out) {
    return user_text(caller, c, u, &HostUser::hash, out);
}

// One text of a user, handed out in host memory.
mumble_error_t HostWorld::user_text(mumble_plugin_id_t caller, mumble_connection_t c, mumble_userid_t u,
                                    std::string HostUser::*field, const char** out) {
    std::lock_guard<std::mutex> g(m_);
    ++calls_;
    if (mumble_error_t e = check(caller, c)) return e;
    const HostUser* user = find(u);
    if (!user) return kEcUserNotFound;
    *out = copy_text(user->*field);
    return kMumbleStatusOk;
}

mumble_error_t HostWorld::log(mumble_plugin_id_t caller, const char* message) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard<std::mutex> g(m_);
        ++calls_;
        if (caller != plugin_id_) return kEcInvalidPluginId;
        sink = sink_;
    }
    if (sink && message) sink(message);
    return kMumbleStatusOk;
}
