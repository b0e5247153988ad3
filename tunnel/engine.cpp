// The engine's life: its thread started and stopped, its descriptors dropped in a forked child.
#include "engine.hpp"

#include "opening.hpp"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

namespace ostrel_tunnel {

namespace {

constexpr long long log_quiet_ms = 60000;  // a repeated rare event is logged once a minute

void close_fd(int& fd) noexcept
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

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
    if (!owners_.open()) {
        return -1;
    }
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
    // the fork hook holds our lock: nothing below changes while it reads
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
    owners_.forget_after_fork();
    if (opening_) {
        opening_->forget_after_fork();
    }
    // the session, its channels and any login thread are the parent's: never freed here
    opening_ = nullptr;
    session_ = nullptr;
    event_ = nullptr;
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

}  // namespace ostrel_tunnel
