// A login run on a thread of its own, so that nobody waits on it: its owner polls fd() and may
// walk away at any moment (close(), Ctrl-C, interpreter exit), leaving the thread to clean up.
#pragma once

#include "session.hpp"

#include <atomic>

namespace ostrel_tunnel {

class Engine;

class Opening {
public:
    // Starts a login with the engine's settings; null with errno set when no thread can be had.
    static Opening* start(Engine& engine) noexcept;
    int fd() const noexcept { return done_fd_; }  // readable once the login has ended
    long long deadline() const noexcept { return deadline_; }
    bool done() noexcept;
    // Once done: the session, now the caller's, or null with `out` saying why. Lets go of this.
    ssh_session finish(Outcome& out) noexcept;
    // Cuts the login short; the thread frees whatever it made. Lets go of this.
    void abandon() noexcept;
    // In a forked child, with the engine's lock held: closes the copies of our descriptors.
    void forget_after_fork() noexcept;

private:
    explicit Opening(Engine& engine) noexcept;
    ~Opening();
    static void* thread_main(void* self) noexcept;
    void decref() noexcept;

    Engine& engine_;
    Cancel cancel_;
    Outcome out_;
    ssh_session session_ = nullptr;
    bool done_ = false;  // under the engine's lock
    int done_fd_ = -1;
    long long deadline_ = 0;
    std::atomic<int> refs_{2};  // the thread and the owner
};

}  // namespace ostrel_tunnel
