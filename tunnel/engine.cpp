// The event loop: the listener, the local sockets and the SSH session, all on one thread.
#include "engine.hpp"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <new>

namespace ostrel_tunnel {

namespace {

constexpr std::size_t max_buffered = 256 * 1024;  // per direction and connection
constexpr int max_pump_rounds = 64;
constexpr int accept_pause_ms = 100;
constexpr int max_backoff_ms = 30000;
constexpr int keepalive_misses = 3;
constexpr long long log_quiet_ms = 60000;  // a repeated rare event is logged once a minute

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

void close_fd(int& fd) noexcept
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
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
    bool delivered = to_local.empty() && !leftover;
    if (chan_closed) {
        return delivered || hup;
    }
    if (hup) {
        return eof_sent;
    }
    return local_eof && eof_sent && chan_eof && wr_shut;
}

Engine::~Engine()
{
    if (!forked_) {
        pthread_mutex_destroy(&fd_lock_);
        pthread_mutex_destroy(&stop_lock_);
    }
    for (Conn* c : conns_) {
        delete c;
    }
    close_fd(wake_);
    delete settings_;
}

int Engine::start(int listener, int wake, int port, ssh_session session, void* log_target) noexcept
{
    listener_ = listener;
    wake_ = wake;
    port_ = port;
    log_target_ = log_target;
    adopt(session);
    running_ = true;
    incref();  // the thread's own: it may outlive its tunnel object when that closes from the loop
    int rc = pthread_create(&thread_, nullptr, &Engine::thread_main, this);
    if (rc != 0) {
        refs_.fetch_sub(1);
        running_ = false;
        up_ = false;
        ssh_event_remove_session(event_, session_);
        ssh_event_free(event_);
        event_ = nullptr;
        session_ = nullptr;
        listener_ = wake_ = session_fd_ = -1;
        errno = rc;
        return -1;
    }
    started_ = true;
    return 0;
}

void* Engine::thread_main(void* self) noexcept
{
    // signals are for the interpreter's main thread
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    auto* engine = static_cast<Engine*>(self);
    engine->run();
    engine->decref();
    return nullptr;
}

void Engine::stop() noexcept
{
    pthread_mutex_lock(&stop_lock_);
    if (stopped_ || forked_ || !started_) {
        // no thread here after a fork: the parent's session is not ours to touch
        stopped_ = true;
        pthread_mutex_unlock(&stop_lock_);
        return;
    }
    stopped_ = true;
    stop_requested_ = true;
    if (pthread_equal(pthread_self(), thread_)) {
        // closed from a log handler on the loop itself: it ends after this pass, unjoined
        pthread_detach(thread_);
        pthread_mutex_unlock(&stop_lock_);
        return;
    }
    uint64_t one = 1;
    ssize_t n;
    do {
        n = write(wake_, &one, sizeof one);
    } while (n < 0 && errno == EINTR);
    pthread_join(thread_, nullptr);
    pthread_mutex_unlock(&stop_lock_);
}

void Engine::forget_after_fork() noexcept
{
    forked_ = true;
    pthread_mutex_init(&stop_lock_, nullptr);  // a parent's thread may have held it
    up_ = false;
    running_ = false;
    close_fd(listener_);
    close_fd(wake_);
    close_fd(session_fd_);
    for (Conn* c : conns_) {
        close_fd(c->fd);
    }
    // the session and its channels are the parent's: they are left alone, never freed here
    session_ = nullptr;
    event_ = nullptr;
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

void Engine::log(int level, const std::string& message) noexcept
{
    if (stop_requested_.load()) {
        return;  // closing: the tunnel object that holds the logger may be gone already
    }
    log_event(log_target_, level, message);
}

void Engine::log_rarely(long long& last, int level, const std::string& message) noexcept
{
    long long now = now_ms();
    if (last < 0 || now - last >= log_quiet_ms) {
        last = now;
        log(level, message);
    }
}

bool Engine::session_ok() noexcept
{
    return session_ && event_ && ssh_is_connected(session_) &&
           !(ssh_get_status(session_) & (SSH_CLOSED | SSH_CLOSED_ERROR));
}

void Engine::drop_session(const char* why) noexcept
{
    if (!session_) {
        return;
    }
    up_.store(false, std::memory_order_release);
    // connections in flight fail at once rather than hang on a session that is gone
    for (Conn* c : conns_) {
        ssh_remove_channel_callbacks(c->chan, &c->callbacks);
        lock();
        close_fd(c->fd);
        unlock();
        delete c;
    }
    lock();
    conns_.clear();
    session_fd_ = -1;
    unlock();
    ssh_event_remove_session(event_, session_);
    ssh_event_free(event_);
    event_ = nullptr;
    end_session(session_, false);  // frees the channels too
    session_ = nullptr;
    retry_at_ = 0;
    backoff_ms_ = 0;
    outage_logged_ = false;
    log(warning, "SSH session to " + settings_->label + " lost (" + why +
                     "); its connections were closed, the next one re-opens it");
}

bool Engine::reopen() noexcept
{
    long long now = now_ms();
    if (now < retry_at_) {
        return false;
    }
    Outcome out;
    ssh_session session = open_session(*settings_, out);
    if (!session) {
        backoff_ms_ = backoff_ms_ ? std::min(backoff_ms_ * 2, max_backoff_ms) : 1000;
        retry_at_ = now_ms() + backoff_ms_;
        if (!outage_logged_) {
            outage_logged_ = true;
            std::string reason = out.kind == Failure::hostkey ? "the host key is " + out.detail
                                 : out.kind == Failure::auth   ? "the login was refused"
                                 : out.kind == Failure::timeout ? "no answer in time"
                                                                : out.detail;
            log(error, "cannot re-open the SSH session to " + settings_->label + ": " + reason +
                           "; refusing connections meanwhile and retrying");
        }
        return false;
    }
    adopt(session);
    if (!event_) {
        drop_session("out of memory");
        return false;
    }
    log(info, "SSH session to " + settings_->label + " re-opened");
    return true;
}

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
        for (Conn* c : conns_) {
            short ev = 0;
            if (c->wants_input()) {
                ev |= POLLIN;
            }
            if (!c->to_local.empty()) {
                ev |= POLLOUT;
            }
            fds.push_back({c->hup ? -1 : c->fd, ev, 0});
        }
        int n = poll(fds.data(), fds.size(), dirty_ ? 0 : poll_timeout(now));
        if (n < 0 && errno != EINTR) {
            log(error, "the tunnel's event loop failed: " + std::string(strerror(errno)));
            break;
        }
        dirty_ = false;
        if (fds[0].revents) {
            uint64_t count;
            while (read(wake_, &count, sizeof count) > 0) {
            }
        }
        if (stop_requested_.load()) {
            break;
        }
        now = now_ms();
        short sr = fds[2].revents;
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
        if (session_) {
            std::size_t count = std::min(conns_.size(), fds.size() - 3);
            for (std::size_t i = 0; i < count && session_; ++i) {
                if (fds[3 + i].revents) {
                    on_local(*conns_[i], fds[3 + i].revents);
                }
            }
        }
        if (fds[1].revents) {
            accept_all(now);
        }
        for (std::size_t i = 0; i < conns_.size() && session_; ++i) {
            progress(*conns_[i]);
        }
        if (session_ && !session_ok()) {
            drop_session(ssh_get_error(session_));
        }
        reap();
        keepalive(now_ms());
        if (session_) {
            quickack();
        }
    }
    // closing: every connection, then the session, then the listener
    for (Conn* c : conns_) {
        release(c, false);
    }
    lock();
    conns_.clear();
    unlock();
    if (session_) {
        ssh_event_remove_session(event_, session_);
        ssh_event_free(event_);
        end_session(session_, true);
        event_ = nullptr;
        session_ = nullptr;
    }
    lock();
    session_fd_ = -1;
    close_fd(listener_);
    unlock();
    up_ = false;
    running_ = false;
}

int Engine::poll_timeout(long long now) const noexcept
{
    long long next = -1;
    if (now < listen_paused_until_) {
        next = listen_paused_until_;
    }
    if (session_ && settings_->keepalive_ms > 0) {
        long long due = std::max(last_rx_, last_keepalive_) + settings_->keepalive_ms;
        next = next < 0 ? due : std::min(next, due);
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

void Engine::accept_all(long long now) noexcept
{
    for (int i = 0; i < 64; ++i) {
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            int err = errno;
            if (err == EAGAIN || err == EWOULDBLOCK) {
                return;
            }
            if (err == EINTR) {
                continue;
            }
            log_rarely(accept_logged_, warning,
                       "cannot accept a connection on 127.0.0.1:" + std::to_string(port_) + ": " +
                           strerror(err) + "; still listening");
            if (err == ECONNABORTED || err == EPROTO) {
                continue;  // that one client gave up; the next may be fine
            }
            // out of descriptors or memory: give the process a moment before trying again
            listen_paused_until_ = now + accept_pause_ms;
            return;
        }
        admit(fd, ntohs(peer.sin_port), peer.sin_addr.s_addr);
    }
}

void Engine::admit(int fd, int peer_port, unsigned peer_addr) noexcept
{
    long uid = socket_owner(peer_addr, peer_port, port_);
    if (uid != static_cast<long>(geteuid()) && uid != 0) {
        close(fd);
        log_rarely(refused_logged_, warning,
                   "refused a connection to 127.0.0.1:" + std::to_string(port_) + " from " +
                       (uid < 0 ? std::string("an unknown user") : "uid " + std::to_string(uid)) +
                       ": only its owner (uid " + std::to_string(geteuid()) + ") and root may use it");
        return;
    }
    if (conns_.size() >= settings_->max_connections) {
        close(fd);
        log_rarely(cap_logged_, warning,
                   "refused a connection to 127.0.0.1:" + std::to_string(port_) + ": " +
                       std::to_string(settings_->max_connections) + " are open (ssh_max_connections)");
        return;
    }
    if (!session_ && !reopen()) {
        close(fd);
        return;
    }
    Conn* c = new (std::nothrow) Conn;
    ssh_channel chan = c ? ssh_channel_new(session_) : nullptr;
    if (!chan) {
        delete c;
        close(fd);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->engine = this;
    c->fd = fd;
    c->src_port = peer_port;
    c->chan = chan;
    ssh_callbacks_init(&c->callbacks);
    c->callbacks.userdata = c;
    c->callbacks.channel_data_function = cb_data;
    c->callbacks.channel_eof_function = cb_eof;
    c->callbacks.channel_close_function = cb_close;
    ssh_set_channel_callbacks(chan, &c->callbacks);
    lock();
    conns_.push_back(c);
    unlock();
    open_step(*c);
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

int Engine::on_data(Conn& c, const char* data, uint32_t len) noexcept
{
    if (c.dead || c.hup) {
        return static_cast<int>(len);  // nobody left to read it
    }
    std::size_t used = 0;
    if (c.to_local.empty()) {
        ssize_t n = send(c.fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
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
    if ((revents & POLLIN) && c.wants_input()) {
        ssize_t n = recv(c.fd, buf_, sizeof buf_, 0);
        if (n > 0) {
            write_channel(c, buf_, static_cast<std::size_t>(n));
        }
        else if (n == 0) {
            c.local_eof = true;
        }
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            c.dead = true;
        }
    }
    else if ((revents & POLLHUP) && !(revents & POLLIN)) {
        // both directions are closed: what is still due to it can be dropped
        c.hup = true;
        c.local_eof = true;
        c.to_local.clear();
        c.leftover = false;
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
        if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
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
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                c.dead = true;
            }
            return;
        }
        c.to_local.consume(static_cast<std::size_t>(sent));
    }
}

void Engine::progress(Conn& c) noexcept
{
    if (c.dead) {
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
    if (c.chan_eof && !c.leftover && c.to_local.empty() && !c.wr_shut && !c.hup) {
        shutdown(c.fd, SHUT_WR);
        c.wr_shut = true;
    }
}

void Engine::release(Conn* c, bool polite) noexcept
{
    // callbacks go first: the channel may outlive this connection until the peer's CLOSE
    ssh_remove_channel_callbacks(c->chan, &c->callbacks);
    lock();
    close_fd(c->fd);
    unlock();
    if (polite && !c->chan_closed && !c->opening) {
        ssh_channel_close(c->chan);
    }
    ssh_channel_free(c->chan);
    delete c;
}

void Engine::reap() noexcept
{
    // closing a channel can run callbacks that finish others, so sweep until a pass closes nothing
    bool closed_any = true;
    while (closed_any && session_) {
        closed_any = false;
        for (std::size_t i = 0; i < conns_.size();) {
            Conn* c = conns_[i];
            if (!c->finished()) {
                ++i;
                continue;
            }
            lock();
            conns_[i] = conns_.back();
            conns_.pop_back();
            unlock();
            release(c, true);
            closed_any = true;
        }
    }
}

long socket_owner(unsigned peer_addr, int peer_port, int listen_port) noexcept
{
    // the connecting socket is the one whose local end is the peer and whose remote end is us
    FILE* f = std::fopen("/proc/net/tcp", "re");
    if (!f) {
        return -1;
    }
    char line[512];
    long uid = -1;
    if (std::fgets(line, sizeof line, f)) {
        while (std::fgets(line, sizeof line, f)) {
            unsigned lip, lport, rip, rport, state;
            unsigned long owner;
            if (std::sscanf(line, " %*u: %X:%X %X:%X %X %*X:%*X %*X:%*X %*X %lu", &lip, &lport, &rip, &rport,
                            &state, &owner) != 6) {
                continue;
            }
            if (lip == peer_addr && static_cast<int>(lport) == peer_port && rip == htonl(INADDR_LOOPBACK) &&
                static_cast<int>(rport) == listen_port) {
                uid = static_cast<long>(owner);
                break;
            }
        }
    }
    std::fclose(f);
    return uid;
}

}  // namespace ostrel_tunnel
