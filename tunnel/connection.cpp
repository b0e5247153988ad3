// One forwarded connection at work: bytes both ways, back-pressure, EOF in each direction.
#include "engine.hpp"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>

namespace ostrel_tunnel {

namespace {

constexpr std::size_t max_buffered = 256 * 1024;  // per direction and connection

int cb_data(ssh_session, ssh_channel, void* data, uint32_t len, int, void* userdata)
{
    auto* c = static_cast<Conn*>(userdata);
    return c->engine->on_data(*c, static_cast<const char*>(data), len);
}

void cb_eof(ssh_session, ssh_channel, void* userdata)
{
    auto* c = static_cast<Conn*>(userdata);
    c->engine->on_eof(*c);
}

void cb_close(ssh_session, ssh_channel, void* userdata)
{
    auto* c = static_cast<Conn*>(userdata);
    c->engine->on_close(*c);
}

bool transient(int err) noexcept
{
    return err == EAGAIN || err == EWOULDBLOCK || err == EINTR;
}

}  // namespace

void Buffer::append(const char* p, std::size_t n) noexcept
{
    if (head_ > 0 && head_ >= data_.size() / 2) {
        data_.erase(0, head_);
        head_ = 0;
    }
    data_.append(p, n);
}

void Buffer::consume(std::size_t n) noexcept
{
    head_ += n;
    if (head_ == data_.size()) {
        clear();
    }
}

void Buffer::clear() noexcept
{
    data_.clear();
    head_ = 0;
}

bool Conn::finished() const noexcept
{
    if (dead) {
        return true;
    }
    if (chan_closed) {
        return to_local.empty() && !leftover;  // nothing more can go upstream
    }
    return local_eof && eof_sent && chan_eof && wr_shut;
}

bool Engine::attach(Conn& c) noexcept
{
    c.chan = ssh_channel_new(session_);
    if (!c.chan) {
        c.dead = true;
        return false;
    }
    ssh_callbacks_init(&c.callbacks);
    c.callbacks.userdata = &c;
    c.callbacks.channel_data_function = cb_data;
    c.callbacks.channel_eof_function = cb_eof;
    c.callbacks.channel_close_function = cb_close;
    ssh_set_channel_callbacks(c.chan, &c.callbacks);
    open_step(c);
    return true;
}

void Engine::open_step(Conn& c) noexcept
{
    // non-blocking: the open completes over later passes while the other connections flow
    int rc = ssh_channel_open_forward(c.chan, settings_->target_host.c_str(), settings_->target_port,
                                      "127.0.0.1", c.src_port);
    if (rc == SSH_OK) {
        c.opening = false;
    }
    else if (rc == SSH_ERROR) {
        c.dead = true;
        if (session_ok()) {
            log_rarely(open_logged_, error,
                       "cannot forward to " + settings_->target_host + ":" +
                           std::to_string(settings_->target_port) + " through " + settings_->label + ": " +
                           ssh_get_error(session_));
        }
    }
}

short Engine::local_events(const Conn& c) const noexcept
{
    short ev = 0;
    if (c.wants_input()) {
        ev |= POLLIN;
    }
    if (!c.to_local.empty()) {
        ev |= POLLOUT;
    }
    return ev;
}

int Engine::on_data(Conn& c, const char* data, uint32_t len) noexcept
{
    if (c.dead) {
        return static_cast<int>(len);  // nobody left to read it
    }
    std::size_t used = 0;
    if (c.to_local.empty()) {
        ssize_t n = send(c.fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && !transient(errno)) {
            c.dead = true;
            dirty_ = true;
            return static_cast<int>(len);
        }
        used = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    std::size_t room = max_buffered > c.to_local.size() ? max_buffered - c.to_local.size() : 0;
    std::size_t take = std::min<std::size_t>(len - used, room);
    c.to_local.append(data + used, take);
    used += take;
    if (used < len) {
        c.leftover = true;  // kept by the channel, whose window then stops the sender
    }
    return static_cast<int>(used);
}

void Engine::on_eof(Conn& c) noexcept
{
    c.chan_eof = true;
    dirty_ = true;
}

void Engine::on_close(Conn& c) noexcept
{
    c.chan_eof = true;
    c.chan_closed = true;
    dirty_ = true;
}

void Engine::on_local(Conn& c, short revents) noexcept
{
    if (c.dead) {
        return;
    }
    if (revents & (POLLERR | POLLNVAL)) {
        c.dead = true;
        return;
    }
    if ((revents & POLLOUT) && !c.to_local.empty()) {
        flush_local(c);
    }
    if ((revents & (POLLIN | POLLHUP)) && c.wants_input()) {
        read_local(c);
    }
    else if (revents & POLLHUP) {
        // both directions are shut, but what the client sent before its EOF may still be unread:
        // it is read once the channel takes more, until recv() says the stream has ended
        c.hup = true;
    }
}

void Engine::read_local(Conn& c) noexcept
{
    ssize_t n = recv(c.fd, buf_, sizeof buf_, 0);
    if (n > 0) {
        write_channel(c, buf_, static_cast<std::size_t>(n));
    }
    else if (n == 0) {
        c.local_eof = true;
    }
    else if (!transient(errno)) {
        c.dead = true;
    }
}

void Engine::write_channel(Conn& c, const char* data, std::size_t n) noexcept
{
    int written = ssh_channel_write(c.chan, data, static_cast<uint32_t>(n));
    if (written == SSH_ERROR) {
        c.dead = true;
        return;
    }
    std::size_t taken = written > 0 ? static_cast<std::size_t>(written) : 0;
    if (taken < n) {
        c.to_chan.append(data + taken, n - taken);
    }
}

void Engine::deliver(Conn& c, const char* data, std::size_t n) noexcept
{
    if (c.to_local.empty()) {
        ssize_t sent = send(c.fd, data, n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && !transient(errno)) {
            c.dead = true;
            return;
        }
        std::size_t done = sent > 0 ? static_cast<std::size_t>(sent) : 0;
        data += done;
        n -= done;
    }
    c.to_local.append(data, n);
}

void Engine::flush_local(Conn& c) noexcept
{
    while (!c.to_local.empty()) {
        ssize_t sent = send(c.fd, c.to_local.data(), c.to_local.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0) {
            if (!transient(errno)) {
                c.dead = true;
            }
            return;
        }
        c.to_local.consume(static_cast<std::size_t>(sent));
    }
}

void Engine::progress(Conn& c) noexcept
{
    if (c.dead || !c.chan) {
        return;
    }
    if (c.opening) {
        open_step(c);
        if (c.opening || c.dead) {
            return;
        }
    }
    if (!c.to_local.empty()) {
        flush_local(c);
    }
    while (c.leftover && !c.dead && c.to_local.size() < max_buffered) {
        std::size_t room = std::min(sizeof buf_, max_buffered - c.to_local.size());
        int n = ssh_channel_read_nonblocking(c.chan, buf_, static_cast<uint32_t>(room), 0);
        if (n == SSH_ERROR) {
            c.dead = true;
        }
        else if (n <= 0) {
            c.leftover = false;
        }
        else {
            deliver(c, buf_, static_cast<std::size_t>(n));
        }
    }
    if (!c.to_chan.empty() && !c.chan_closed && !c.dead) {
        int written = ssh_channel_write(c.chan, c.to_chan.data(), static_cast<uint32_t>(c.to_chan.size()));
        if (written == SSH_ERROR) {
            c.dead = true;
            return;
        }
        if (written > 0) {
            c.to_chan.consume(static_cast<std::size_t>(written));
        }
    }
    if (c.local_eof && c.to_chan.empty() && !c.eof_sent && !c.chan_closed) {
        ssh_channel_send_eof(c.chan);
        c.eof_sent = true;
    }
    if (c.chan_eof && !c.leftover && c.to_local.empty() && !c.wr_shut) {
        shutdown(c.fd, SHUT_WR);
        c.wr_shut = true;
    }
}

}  // namespace ostrel_tunnel
