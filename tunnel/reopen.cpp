// The session's life on the loop: taking it over, losing it, and re-opening it off the loop.
#include "engine.hpp"

#include "opening.hpp"

#include <unistd.h>

#include <algorithm>

namespace ostrel_tunnel {

namespace {
constexpr int max_backoff_ms = 30000;
}  // namespace

bool Engine::session_ok() noexcept
{
    return session_ && event_ && ssh_is_connected(session_) &&
           !(ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR));
}

void Engine::set_opening(Opening* opening) noexcept
{
    lock();
    opening_ = opening;
    unlock();
}

void Engine::adopt(ssh_session session) noexcept
{
    ssh_set_blocking(session, 0);
    session_ = session;
    event_ = ssh_event_new();
    if (event_) {
        ssh_event_add_session(event_, session_);
    }
    lock();
    session_fd_ = ssh_get_fd(session);
    unlock();
    last_rx_ = last_keepalive_ = now_ms();
    up_.store(true, std::memory_order_release);
}

void Engine::release_all(bool polite) noexcept
{
    for (Conn* c : conns_) {
        if (c->chan) {
            ssh_remove_channel_callbacks(c->chan, &c->callbacks);
        }
    }
    std::vector<Conn*> gone;
    // one step under the lock: a fork sees every descriptor open and every connection listed, or
    // none of them, never a freed connection or a number already given back
    lock();
    for (Conn* c : conns_) {
        if (c->fd >= 0) {
            close(c->fd);
            c->fd = -1;
        }
    }
    gone.swap(conns_);
    session_fd_ = -1;
    if (session_) {
        // non-blocking by now, so a goodbye never waits while a fork waits for the lock
        ssh_event_remove_session(event_, session_);
        ssh_event_free(event_);
        event_ = nullptr;
        end_session(session_, polite);  // frees the channels too
        session_ = nullptr;
    }
    unlock();
    for (Conn* c : gone) {
        delete c;
    }
}

void Engine::drop_session(const std::string& why) noexcept
{
    if (!session_) {
        return;
    }
    up_.store(false, std::memory_order_release);
    release_all(false);  // connections in flight fail at once rather than hang on a session that is gone
    retry_at_ = 0;
    backoff_ms_ = 0;
    outage_logged_ = false;
    log(warning, "SSH session to " + settings_->label + " lost (" + why +
                     "); its connections were closed, the next one re-opens it");
}

void Engine::back_off(long long now) noexcept
{
    backoff_ms_ = backoff_ms_ ? std::min(backoff_ms_ * 2, max_backoff_ms) : 1000;
    retry_at_ = now + backoff_ms_;
}

void Engine::begin_reopen(long long now) noexcept
{
    Opening* o = Opening::start(*this);
    if (!o) {
        back_off(now);
        log(error, "cannot re-open the SSH session to " + settings_->label + ": no thread for the login");
        return;
    }
    set_opening(o);
}

void Engine::end_reopen() noexcept
{
    Opening* o = opening_;
    if (o) {
        set_opening(nullptr);
        o->abandon();
    }
}

void Engine::finish_reopen() noexcept
{
    Opening* o = opening_;
    set_opening(nullptr);
    Outcome out;
    ssh_session session = nullptr;
    if (o->done()) {
        session = o->finish(out);
    }
    else {
        o->abandon();  // past its deadline, a name lookup or a server that never answers
        out.kind = Failure::timeout;
    }
    if (!session) {
        back_off(now_ms());
        for (Conn* c : conns_) {
            c->dead = true;  // those waiting for it learn at once
        }
        if (!outage_logged_) {
            outage_logged_ = true;
            std::string reason = out.kind == Failure::hostkey ? "the host key is " + out.detail
                                 : out.kind == Failure::auth   ? "the login was refused"
                                 : out.kind == Failure::timeout ? "no answer in time"
                                                                : out.detail;
            log(error, "cannot re-open the SSH session to " + settings_->label + ": " + reason +
                           "; refusing connections meanwhile and retrying");
        }
        return;
    }
    adopt(session);
    if (!event_) {
        drop_session("out of memory");
        return;
    }
    log(info, "SSH session to " + settings_->label + " re-opened");
    for (std::size_t i = 0; i < conns_.size() && session_; ++i) {
        Conn* c = conns_[i];
        if (!c->chan && !c->dead) {
            attach(*c);
        }
    }
}

}  // namespace ostrel_tunnel
