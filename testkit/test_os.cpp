// The OS helpers that the C++ library already makes portable: files and
// directories through std::filesystem (UTF-8 names on every system), and
// the loopback helpers built from the per-system sockets.
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "testkit/test_os.h"

namespace fs = std::filesystem;

namespace test_os {

namespace {
fs::path native(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }
std::string utf8(const fs::path& p) {
    const std::u8string s = p.u8string();
    return std::string(s.begin(), s.end());
}
}  // namespace

std::string make_temp_dir(const std::string& prefix) {
    std::error_code ec;
    const fs::path base = fs::temp_directory_path(ec);
    std::random_device random;
    for (int i = 0; i < 100; ++i) {
        const fs::path dir = base / native(prefix + std::to_string(random()));
        if (fs::create_directory(dir, ec)) return utf8(dir);
    }
    return "";
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    const fs::path root = native(path);
    // A directory a test made read-only must become writable again first.
    if (fs::is_directory(root, ec)) {
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, ec);
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec))
            if (it->is_directory(ec)) fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(root, ec);
}

bool copy_file(const std::string& from, const std::string& to) {
    std::error_code ec;
    return fs::copy_file(native(from), native(to), fs::copy_options::overwrite_existing, ec);
}

bool write_file(const std::string& path, const std::string& bytes) {
    std::ofstream f(native(path), std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

bool read_file(const std::string& path, std::string* bytes) {
    std::ifstream f(native(path), std::ios::binary);
    if (!f) return false;
    std::ostringstream ss;
    ss << f.rdbuf();
    *bytes = ss.str();
    return true;
}

bool file_exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(native(path), ec);
}

bool make_symlink(const std::string& target, const std::string& link) {
    std::error_code ec;
    fs::create_symlink(native(target), native(link), ec);
    return !ec;
}

bool make_hard_link(const std::string& target, const std::string& link) {
    std::error_code ec;
    fs::create_hard_link(native(target), native(link), ec);
    return !ec;
}

bool is_plain_file(const std::string& path) {
    std::error_code ec;
    return fs::symlink_status(native(path), ec).type() == fs::file_type::regular;
}

std::string join(const std::string& dir, const std::string& name) { return utf8(native(dir) / native(name)); }

uint16_t unused_port() {
    uint16_t port = 0;
    Sock s = listen_loopback(0, 1, &port);
    close_sock(s);
    return port;
}

bool FullListener::open(uint16_t at_port) {
    listener = listen_loopback(at_port, 0, &port);
    if (listener == kBad) return false;
    filler = connect_loopback(port);  // takes the queue's one place
    return filler != kBad;
}

void FullListener::close() {
    close_sock(filler);
    close_sock(listener);
    filler = listener = kBad;
}

}  // namespace test_os
