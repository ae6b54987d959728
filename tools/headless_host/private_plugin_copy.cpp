#include "private_plugin_copy.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "testkit/test_os.h"

namespace pt = test_os;

bool split_server_address(const std::string& arg, ServerTarget* t, std::string* error) {
    std::string host, port;
    if (!arg.empty() && arg[0] == '[') {
        const size_t close = arg.find("]:");
        if (close != std::string::npos) {
            host = arg.substr(1, close - 1);
            port = arg.substr(close + 2);
        }
    } else if (const size_t colon = arg.rfind(':'); colon != std::string::npos) {
        host = arg.substr(0, colon);
        port = arg.substr(colon + 1);
        if (host.find(':') != std::string::npos) {
            *error = "--server: write an IPv6 address in brackets, [" + host + "]:" + port;
            return false;
        }
    }
    const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
    if (host.empty() || host.size() > 255 || !digits || std::atoi(port.c_str()) < 1 || std::atoi(port.c_str()) > 65535) {
        *error = "--server wants HOST:PORT (a port from 1 to 65535), not '" + arg + "'";
        return false;
    }
    for (unsigned char c : host) {
        if (c <= ' ' || c == 127) {
            *error = "--server: the host must not contain white space or control characters";
            return false;
        }
    }
    t->host = host;
    t->port = port;
    return true;
}

bool take_api_key(const std::string& arg, bool have_arg, const std::string& key_file, std::string* key,
                  std::string* error) {
    std::string from;
    if (have_arg && !key_file.empty()) {
        *error = "give the key once: --key or --key-file, not both";
        return false;
    }
    if (have_arg) {
        *key = arg;
        from = "--key";
    } else if (!key_file.empty()) {
        std::ifstream f(key_file, std::ios::binary);
        if (!f) {
            *error = "--key-file: cannot read '" + key_file + "'";
            return false;
        }
        std::getline(f, *key);
        if (!key->empty() && key->back() == '\r') key->pop_back();
        from = "the first line of " + key_file;
    } else if (const char* env = std::getenv("QL_API_KEY")) {
        *key = env;
        from = "QL_API_KEY";
    } else {
        *error = "--server needs the server's key: --key-file FILE, the environment's QL_API_KEY, or --key KEY";
        return false;
    }
    if (key->empty() || key->size() > 255) {
        *error = "the key (" + from + ") must be 1 to 255 characters long";
        return false;
    }
    for (unsigned char c : *key) {
        if (c <= ' ' || c == 127) {
            *error = "the key (" + from + ") must not contain white space or control characters";
            return false;
        }
    }
    return true;
}

PrivatePluginCopy::~PrivatePluginCopy() {
    if (!dir_.empty()) pt::remove_tree(dir_);
}

bool PrivatePluginCopy::make(const std::string& library, const ServerTarget& t, std::string* copy, std::string* error) {
    dir_ = pt::make_temp_dir("headless_host");
    // Only its owner may look inside: the ini holds the key. (The host is
    // a native tool; its paths are the system's own.)
    std::error_code ec;
    if (!dir_.empty())
        std::filesystem::permissions(dir_, std::filesystem::perms::owner_all, std::filesystem::perm_options::replace, ec);
    if (dir_.empty() || ec) {
        *error = "cannot make a private temporary directory";
        return false;
    }
    *copy = pt::join(dir_, library.substr(library.find_last_of("/\\") + 1));
    if (!pt::copy_file(library, *copy)) {
        *error = "cannot copy the plug-in " + library;
        return false;
    }
    const std::string ini = "# Written by headless_host for this run only.\n"
                            "server_host = " + t.host + "\nserver_port = " + t.port + "\napi_key = " + t.key +
                            "\ndebug_log = 1\nreconnect_sec = 1\n";
    if (!pt::write_file(pt::join(dir_, "quorra_link.ini"), ini)) {
        *error = "cannot write quorra_link.ini in " + dir_;
        return false;
    }
    return true;
}
