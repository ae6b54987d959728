#include "server/session.h"

#include "server/plugin_listener.h"

namespace server {

Session::Session(asio::ip::tcp::socket socket, std::string address, PluginListener& owner, TimePoint now)
    : socket_(std::move(socket)), address_(std::move(address)), owner_(owner), accepted_(now), last_heard_(now) {}

void Session::start() {
    asio::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    if (owner_.limits().send_buffer > 0)
        socket_.set_option(asio::socket_base::send_buffer_size(owner_.limits().send_buffer), ignored);
    read_next();
}

void Session::read_next() {
    asio::async_read_until(socket_, asio::dynamic_buffer(in_, owner_.limits().max_line), '\n',
                           [self = shared_from_this()](const asio::error_code& ec, size_t n) {
                               if (self->state_ == State::closed) return;
                               if (ec == asio::error::not_found) {
                                   self->owner_.metrics().closed_long_line++;
                                   self->close("sent a line longer than the server takes");
                                   return;
                               }
                               if (ec) {
                                   self->close(ec == asio::error::eof ? "closed by the plug-in"
                                                                      : "receive failed: " + ec.message());
                                   return;
                               }
                               std::string line = self->in_.substr(0, n - 1);
                               self->in_.erase(0, n);
                               self->on_line(std::move(line));
                               if (self->state_ == State::closed) return;
                               if (self->ok_owed_ && self->in_.find('\n') == std::string::npos) self->pump();
                               self->read_next();
                           });
}

void Session::on_line(std::string line) {
    std::erase(line, '\r');
    if (state_ == State::greeting) {
        if (!reply_.empty() || writing_) return;  // refused: only the answer is still going out
        owner_.handle_greeting(*this, line);
        return;
    }
    const TimePoint now = owner_.time().now();
    last_heard_ = now;
    // A plug-in PINGs every 20 to 25 s; a client that sends lines by the
    // thousand a second only costs the loop time the others need.
    if (now - flood_window_ >= std::chrono::seconds(1)) {
        flood_window_ = now;
        lines_in_window_ = 0;
    }
    if (++lines_in_window_ > owner_.limits().max_lines_per_second) {
        owner_.metrics().closed_flood++;
        close("sent more than " + std::to_string(owner_.limits().max_lines_per_second) + " lines in a second");
        return;
    }
    if (line == "PING") {
        // One OK answers however many PINGs came before it was written, or
        // arrived together.
        ok_owed_ = true;
        if (in_.find('\n') == std::string::npos) pump();
    }
    // OK, and whatever a newer plug-in may send, needs no answer.
}

void Session::reply_to_greeting(const std::string& line, bool accepted, const std::string& client_id) {
    reply_ = line + "\n";
    close_after_reply_ = !accepted;
    if (accepted) {
        state_ = State::ready;
        client_id_ = client_id;
        last_heard_ = owner_.time().now();
    }
    pump();
}

void Session::send_update(std::string* line) {
    if (state_ != State::ready) return;
    if (has_pending_) {
        ++updates_replaced_;
        owner_.metrics().lines_replaced++;
    }
    pending_.swap(*line);
    has_pending_ = true;
    pump();
}

void Session::pump() {
    if (writing_ || state_ == State::closed) return;
    out_is_update_ = false;
    if (!reply_.empty()) {
        out_.swap(reply_);
        reply_.clear();
    } else if (close_after_reply_) {
        return;
    } else if (ok_owed_) {
        out_ = "OK\n";
        ok_owed_ = false;
    } else if (has_pending_) {
        out_.swap(pending_);
        has_pending_ = false;
        out_is_update_ = true;
    } else {
        return;
    }
    writing_ = true;
    ++writes_;
    write_started_ = owner_.time().now();
    asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this()](const asio::error_code& ec, size_t n) {
        self->writing_ = false;
        if (self->state_ == State::closed) return;
        if (ec) {
            self->close("send failed: " + ec.message());
            return;
        }
        self->owner_.metrics().lines_sent++;
        self->owner_.metrics().bytes_sent += n;
        if (self->out_is_update_) ++self->updates_sent_;
        if (self->close_after_reply_) {
            self->close("greeting refused");
            return;
        }
        self->pump();
    });
}

bool Session::check_deadlines(TimePoint now, const SessionLimits& limits) {
    if (state_ == State::closed) return false;
    // A write counts as stuck only when the check before this one saw the
    // same write under way: one that started and ended between two checks
    // was read, however the clock moved meanwhile.
    const bool same_write = writing_ && write_seen_stuck_ == writes_;
    write_seen_stuck_ = writing_ ? writes_ : 0;
    if (same_write && now - write_started_ >= limits.slow_reader) {
        owner_.metrics().closed_slow_reader++;
        close("read nothing for 10 s");
        return true;
    }
    if (state_ == State::greeting && !writing_ && reply_.empty() && now - accepted_ >= limits.greeting) {
        owner_.metrics().closed_greeting_timeout++;
        close("no greeting within 5 s");
        return true;
    }
    if (state_ == State::ready && now - last_heard_ >= limits.silence) {
        owner_.metrics().closed_silent++;
        close("silent for 60 s");
        return true;
    }
    return false;
}

void Session::close(const std::string& why) {
    if (state_ == State::closed) return;
    state_ = State::closed;
    asio::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    owner_.session_closed(*this, why);
}

}  // namespace server
