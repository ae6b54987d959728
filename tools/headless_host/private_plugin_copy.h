// A run against an operator's own falloff server: the plug-in reads its
// settings only from quorra_link.ini beside its library, so the host puts
// a copy of the library in a private directory of its own with an ini that
// names the server and the key, and removes both when the run ends. The
// operator's own plug-in folder and ini are never touched.
#pragma once
#include <string>

struct ServerTarget {
    std::string host, port, key;
};

// Splits HOST:PORT, an IPv6 address in brackets ([::1]:8890). False, with
// why in *error, for any other shape.
bool split_server_address(const std::string& arg, ServerTarget* t, std::string* error);

// The key from --key (when have_arg), else the first line of key_file (when
// not empty), else the environment's QL_API_KEY. False, with why, when
// both options are given, the file cannot be read, no key is given at all,
// or the key breaks the ini's rules (1 to 255 characters, no white space or
// control characters).
bool take_api_key(const std::string& arg, bool have_arg, const std::string& key_file, std::string* key,
                  std::string* error);

// The private directory: a copy of library and an ini for t (debug log on,
// a reconnect pause of 1 s). *copy is the library's path in it.
class PrivatePluginCopy {
public:
    ~PrivatePluginCopy();
    bool make(const std::string& library, const ServerTarget& t, std::string* copy, std::string* error);
    const std::string& path() const { return dir_; }

private:
    std::string dir_;
};
