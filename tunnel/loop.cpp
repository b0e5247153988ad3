// The event loop: the listener, the local sockets and the SSH session, all on one thread.
#include "engine.hpp"

#include "opening.hpp"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

namespace ostrel_tunnel {

namespace {

constexpr int max_pump_rounds = 64;
constexpr int keepalive_misses = 3;

// Fixed places in the poll set; the connections follow in the order of conns_.
enum Slot { wake_slot, listener_slot, session_slot, opening_slot, first_conn };

void close_fd(int& fd) noexcept
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

void Engine::run() noexcept
{
    std::vector<pollfd> fds;
    while (!stop_requested_.load()) {
        long long now = now_ms();
        fds.clear();
        fds.push_back({wake_, POLLIN, 0});
        fds.push_back({now >= listen_paused_until_ ? listener_ : -1, POLLIN, 0});
        short session_events = POLLIN;
        if (session_ && (ssh_get_poll_flags(session_) & SSH_WRITE_PENDING)) {
            session_events |= POLLOUT;
        }
        fds.push_back({session_ ? ssh_get_fd(session_) : -1, session_events, 0});
        fds.push_back({opening_ ? opening_->fd() : -1, POLLIN, 0});
        for (Conn* c : conns_) {
            short ev = local_events(*c);
            // a socket shut both ways reports POLLHUP whatever is asked: leave it out until it can be read
            fds.push_back({c->hup && !ev ? -1 : c->fd, ev, 0});
        }
        int n = poll(fds.data(), fds.size(), dirty_ ? 0 : poll_timeout(now));
        if (n < 0 && errno != EINTR) {
            log(error, "the tunnel's event loop failed: " + std::string(strerror(errno)));
            break;
        }
        dirty_ = false;
        if (fds[wake_slot].revents) {
            uint64_t count;
            while (read(wake_, &count, sizeof count) > 0) {
            }
        }
        if (stop_requested_.load()) {
            break;
        }
        now = now_ms();
        short sr = fds[session_slot].revents;
        if (session_ && sr) {
            if (sr & POLLIN) {
                last_rx_ = now;
            }
            if (sr & POLLNVAL) {
                drop_session("its socket was closed");
            }
            else {
                pump();
            }
        }
        // a lost session empties the list on the way: the bound is read again each time
        for (std::size_t i = 0; i < std::min(conns_.size(), fds.size() - first_conn); ++i) {
            if (fds[first_conn + i].revents) {
                on_local(*conns_[i], fds[first_conn + i].revents);
            }
        }
        if (opening_ && (fds[opening_slot].revents || now >= opening_->deadline())) {
            finish_reopen();
        }
        if (fds[listener_slot].revents) {
            accept_some(now);
        }
        for (std::size_t i = 0; i < conns_.size() && session_; ++i) {
            progress(*conns_[i]);
        }
        if (session_ && !session_ok()) {
            drop_session(ssh_get_error(session_));  // copied into the message before the session goes
        }
        if (opening_) {
            expire_waiting(now_ms());  // only then can a connection be waiting
        }
        reap();
        keepalive(now_ms());
        if (session_) {
            quickack();
        }
    }
    close_all();
}

void Engine::close_all() noexcept
{
    // closing: the login in progress, every connection and the session, then the listener
    end_reopen();
    release_all(true);
    lock();
    close_fd(listener_);
    unlock();
    up_ = false;
    running_ = false;
}

int Engine::poll_timeout(long long now) const noexcept
{
    long long next = -1;
    auto sooner = [&next](long long t) { next = next < 0 ? t : std::min(next, t); };
    if (now < listen_paused_until_) {
        sooner(listen_paused_until_);
    }
    if (session_ && settings_->keepalive_ms > 0) {
        sooner(std::max(last_rx_, last_keepalive_) + settings_->keepalive_ms);
    }
    if (opening_) {
        // connections wait for a session only while one is being opened
        sooner(opening_->deadline());
        for (const Conn* c : conns_) {
            if (!c->chan && !c->dead) {
                sooner(c->wait_until);
            }
        }
    }
    if (next < 0) {
        return -1;
    }
    return static_cast<int>(std::clamp(next - now, 0LL, 3600000LL));
}

void Engine::pump() noexcept
{
    int rounds = 0;
    int rc;
    while ((rc = ssh_event_dopoll(event_, 0)) == SSH_OK && ++rounds < max_pump_rounds) {
    }
    if (rc == SSH_ERROR || !session_ok()) {
        drop_session(rc == SSH_ERROR ? "the connection failed" : "the server closed it");
    }
}

void Engine::quickack() noexcept
{
    // sshd sends multi-packet replies without TCP_NODELAY, so each waits for our ACK of the one
    // before; the kernel drops quick-ACK mode on its own, hence it is asked again after every pass
    int one = 1;
    setsockopt(ssh_get_fd(session_), IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
}

void Engine::keepalive(long long now) noexcept
{
    int every = settings_->keepalive_ms;
    if (!session_ || every <= 0) {
        return;
    }
    long long quiet = now - last_rx_;
    if (quiet >= static_cast<long long>(every) * keepalive_misses) {
        drop_session("no answer to keepalives");
        return;
    }
    if (quiet >= every && now - last_keepalive_ >= every) {
        // a second call sends when the first only collected the previous reply
        ssh_send_keepalive(session_);
        ssh_send_keepalive(session_);
        last_keepalive_ = now;
    }
}

void Engine::expire_waiting(long long now) noexcept
{
    for (Conn* c : conns_) {
        if (!c->chan && now >= c->wait_until) {
            c->dead = true;
        }
    }
}

void Engine::release(Conn* c, bool polite) noexcept
{
    // callbacks go first: the channel may outlive this connection until the peer's CLOSE
    if (c->chan) {
        ssh_remove_channel_callbacks(c->chan, &c->callbacks);
        if (polite && !c->chan_closed && !c->opening) {
            ssh_channel_close(c->chan);
        }
        ssh_channel_free(c->chan);
    }
    delete c;
}

void Engine::reap() noexcept
{
    // closing a channel can run callbacks that finish others, so sweep until a pass closes nothing
    bool closed_any = true;
    while (closed_any) {
        closed_any = false;
        for (std::size_t i = 0; i < conns_.size();) {
            Conn* c = conns_[i];
            if (!c->finished()) {
                ++i;
                continue;
            }
            // out of the list and its socket closed in one step, as a fork must see them
            lock();
            close_fd(c->fd);
            conns_[i] = conns_.back();
            conns_.pop_back();
            unlock();
            release(c, session_ != nullptr);
            closed_any = true;
        }
    }
}

}  // namespace ostrel_tunnel
