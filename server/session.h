// One plug-in connection on the listener's event loop: reads lines, and
// writes at most one line at a time with at most one update waiting behind
// it (a newer update replaces the waiting one, as it replaces the whole
// table in the plug-in anyway), so a client that stops reading holds
// nothing but its own two lines and delays nobody.
#pragma once
#include <asio.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "server/clock.h"

namespace server {

class PluginListener;

struct SessionLimits {
    std::chrono::milliseconds greeting{5000};      // the whole HELLO line
    std::chrono::milliseconds silence{60000};      // no line from a greeted plug-in
    std::chrono::milliseconds slow_reader{10000};  // a line written but not read
    size_t max_line = 4096;                        // longest line a plug-in may send
    uint32_t max_lines_per_second = 200;           // more: a flood, closed
    int send_buffer = 0;                           // the sockets' send buffer in bytes; 0: the system's
};

class Session : public std::enable_shared_from_this<Session> {
public:
    enum class State { greeting, ready, closed };

    Session(asio::ip::tcp::socket socket, std::string address, PluginListener& owner, TimePoint now);
    void start();

    // The answer to the greeting; a refusal closes once it is written.
    void reply_to_greeting(const std::string& line, bool accepted, const std::string& client_id);
    // An update; replaces one not yet written. Takes the line's text by
    // exchange: *line is left holding a spare buffer of this session's
    // (contents unspecified), so a tick's lines allocate nothing once
    // every session's buffers have grown to a line's size.
    void send_update(std::string* line);
    // Closes if a deadline has passed; true when it did.
    bool check_deadlines(TimePoint now, const SessionLimits& limits);
    void close(const std::string& why);

    State state() const { return state_; }
    const std::string& client_id() const { return client_id_; }
    const std::string& address() const { return address_; }
    uint64_t updates_sent() const { return updates_sent_; }
    uint64_t updates_replaced() const { return updates_replaced_; }
    uint64_t left_out = 0;  // speakers left out of this client's lines

private:
    void read_next();
    void on_line(std::string line);
    void pump();  // starts the next write, if any and none is under way

    asio::ip::tcp::socket socket_;
    std::string address_;
    PluginListener& owner_;
    State state_ = State::greeting;
    std::string client_id_;
    std::string in_;
    TimePoint accepted_, last_heard_, write_started_;
    TimePoint flood_window_{};
    uint32_t lines_in_window_ = 0;
    uint64_t writes_ = 0;             // writes started
    uint64_t write_seen_stuck_ = 0;   // the write under way at the last deadline check

    bool writing_ = false;
    std::string out_;         // being written
    bool out_is_update_ = false;
    std::string reply_;       // the greeting's answer
    bool close_after_reply_ = false;
    bool ok_owed_ = false;    // a PING to answer
    std::string pending_;     // the newest update not yet written
    bool has_pending_ = false;
    uint64_t updates_sent_ = 0, updates_replaced_ = 0;
};

}  // namespace server
