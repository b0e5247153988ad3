// The login thread: one attempt at a session, which its owner may abandon at any moment.
#include "opening.hpp"

#include "engine.hpp"

#include <errno.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <new>

namespace ostrel_tunnel {

namespace {

// The name lookup and each of the connect, handshake and login steps may take the timeout.
constexpr int login_steps = 4;

}  // namespace

bool Cancel::publish(int fd) noexcept
{
    pthread_mutex_lock(lock_);
    bool go = !cancelled_;
    if (go) {
        fd_ = fd;
    }
    pthread_mutex_unlock(lock_);
    return go;
}

void Cancel::retract() noexcept
{
    pthread_mutex_lock(lock_);
    fd_ = -1;
    pthread_mutex_unlock(lock_);
}

void Cancel::cancel_locked() noexcept
{
    cancelled_ = true;
    if (fd_ >= 0) {
        shutdown(fd_, SHUT_RDWR);  // a connect in progress or a read waiting on it ends at once
    }
}

bool Cancel::cancelled() noexcept
{
    pthread_mutex_lock(lock_);
    bool c = cancelled_;
    pthread_mutex_unlock(lock_);
    return c;
}

Opening::Opening(Engine& engine) noexcept : engine_(engine), cancel_(engine.fd_lock()) {}

Opening::~Opening()
{
    if (done_fd_ >= 0) {
        close(done_fd_);
    }
}

Opening* Opening::start(Engine& engine) noexcept
{
    auto* o = new (std::nothrow) Opening(engine);
    if (!o) {
        errno = ENOMEM;
        return nullptr;
    }
    o->done_fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (o->done_fd_ < 0) {
        int err = errno;
        delete o;
        errno = err;
        return nullptr;
    }
    o->deadline_ = now_ms() + static_cast<long long>(engine.settings().timeout_ms) * login_steps;
    engine.incref();  // the settings must outlive the thread, whoever lets go first
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int rc = pthread_create(&thread, &attr, &Opening::thread_main, o);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        engine.decref();
        delete o;
        errno = rc;
        return nullptr;
    }
    return o;
}

void* Opening::thread_main(void* self) noexcept
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
    auto* o = static_cast<Opening*>(self);
    Engine& engine = o->engine_;
    Outcome out;
    ssh_session session = open_session(engine.settings(), out, o->cancel_);
    engine.lock();
    bool abandoned = o->refs_.load() == 1;
    if (!abandoned) {
        o->session_ = session;
        o->out_ = std::move(out);
        o->done_ = true;
        uint64_t one = 1;
        (void)!write(o->done_fd_, &one, sizeof one);
    }
    engine.unlock();
    if (abandoned && session) {
        end_session(session, true);
    }
    o->decref();
    engine.decref();  // may be the last reference: the engine and its settings go with it
    return nullptr;
}

void Opening::decref() noexcept
{
    if (refs_.fetch_sub(1) == 1) {
        delete this;
    }
}

bool Opening::done() noexcept
{
    engine_.lock();
    bool d = done_;
    engine_.unlock();
    return d;
}

ssh_session Opening::finish(Outcome& out) noexcept
{
    engine_.lock();
    ssh_session session = session_;
    session_ = nullptr;
    out = std::move(out_);
    engine_.unlock();
    decref();
    return session;
}

void Opening::abandon() noexcept
{
    // all under the lock: the thread then either sees itself alone and frees its session, or has
    // already left one here for us
    engine_.lock();
    cancel_.cancel_locked();
    ssh_session session = session_;
    session_ = nullptr;
    bool last = refs_.fetch_sub(1) == 1;
    engine_.unlock();
    if (session) {
        end_session(session, true);
    }
    if (last) {
        delete this;
    }
}

void Opening::forget_after_fork() noexcept
{
    int fd = cancel_.fd_locked();
    if (fd >= 0) {
        close(fd);
    }
    close(done_fd_);
    done_fd_ = -1;
}

}  // namespace ostrel_tunnel
