#include <cstdlib>
#include <fstream>
#include <sstream>

#include "session.h"

bool read_cast(const std::string& path, std::vector<CastMember>* cast, std::string* error) {
    std::ifstream f(path);
    if (!f) {
        *error = "cannot read the cast file " + path;
        return false;
    }
    std::string dir = path.substr(0, path.find_last_of("/\\") == std::string::npos ? 0 : path.find_last_of("/\\") + 1);
    std::string text;
    int listeners = 0;
    uint32_t next_session = 1;
    while (std::getline(f, text)) {
        std::istringstream in(text);
        CastMember m;
        if (!(in >> m.role) || m.role[0] == '#') continue;
        if (!(in >> m.name >> m.hash >> m.voice)) {
            *error = "cast line needs role, name, hash and voice: " + text;
            return false;
        }
        if (m.role != "listener" && m.role != "creature" && m.role != "bystander") {
            *error = "unknown role in cast line: " + text;
            return false;
        }
        std::string when;
        if (in >> when) m.joins_at = std::atof(when.c_str());
        if (in >> when) m.moves_at = std::atof(when.c_str());
        if (m.voice == "-") m.voice.clear();
        else if (m.voice[0] != '/' && m.voice[0] != '\\' && m.voice.find(':') == std::string::npos)
            m.voice = dir + m.voice;  // relative to the cast file
        if (m.role == "listener") {
            ++listeners;
            m.joins_at = 0;  // the local user is there from the start
        }
        m.session = next_session++;
        cast->push_back(m);
    }
    if (listeners != 1) {
        *error = "the cast needs exactly one listener";
        return false;
    }
    return true;
}
