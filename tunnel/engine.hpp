// The forwarding engine: one native thread per tunnel owns the SSH session and moves the bytes.
#pragma once

#include "conn.hpp"
#include "session.hpp"

#include <libssh/server.h>  // ssh_send_keepalive, which clients use too
#include <pthread.h>
#include <sys/socket.h>

#include <atomic>
#include <string>
#include <vector>

namespace ostrel_tunnel {

// Logging levels, as the logging module numbers them.
enum Level { info = 20, warning = 30, error = 40 };

// Hands a rare event to the Python logger; defined by the module glue (takes the GIL).
void log_event(void* target, int level, const std::string& message) noexcept;

class Opening;

// Asks the kernel who owns the far end of one loopback connection (one netlink round trip).
class OwnerCheck {
public:
    OwnerCheck() noexcept = default;
    ~OwnerCheck();
    OwnerCheck(const OwnerCheck&) = delete;
    OwnerCheck& operator=(const OwnerCheck&) = delete;
    bool open() noexcept;  // false with errno set
    // The uid of the live socket connected from `peer` to 127.0.0.1:port, or -1 when there is none
    // that a process still holds open (gone, closing down, or not found).
    long owner(const sockaddr_storage& peer, int port) noexcept;
    void forget_after_fork() noexcept;

private:
    int fd_ = -1;
    unsigned seq_ = 0;
};

class Engine {
public:
    explicit Engine(Settings* settings) noexcept : settings_(settings) {}
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Takes the listener, the wake descriptor and an authenticated session, and starts the thread.
    // On failure nothing was started and the caller still owns the three.
    int start(int listener, int wake, int port, ssh_session session, void* log_target) noexcept;
    // Asks the thread to close everything and joins it; the caller must not hold the GIL.
    void stop() noexcept;
    // In a forked child: drops the parent's descriptors without a word on the wire.
    void forget_after_fork() noexcept;
    void lock() noexcept { pthread_mutex_lock(&fd_lock_); }
    void unlock() noexcept { pthread_mutex_unlock(&fd_lock_); }
    void reset_lock_after_fork() noexcept { pthread_mutex_init(&fd_lock_, nullptr); }
    pthread_mutex_t* fd_lock() noexcept { return &fd_lock_; }

    // Shared by the tunnel object, the registry the exit and fork hooks walk, and running threads.
    void incref() noexcept { refs_.fetch_add(1); }
    void decref() noexcept
    {
        if (refs_.fetch_sub(1) == 1) {
            delete this;
        }
    }

    const Settings& settings() const noexcept { return *settings_; }
    int port() const noexcept { return port_; }
    bool alive() const noexcept { return up_.load(std::memory_order_acquire) && running_.load(); }

    // channel callbacks
    int on_data(Conn& c, const char* data, uint32_t len) noexcept;
    void on_eof(Conn& c) noexcept;
    void on_close(Conn& c) noexcept;

private:
    static void* thread_main(void* self) noexcept;
    void run() noexcept;
    void close_all() noexcept;
    void release_all(bool polite) noexcept;
    void adopt(ssh_session session) noexcept;
    void drop_session(const std::string& why) noexcept;
    void set_opening(Opening* opening) noexcept;
    void back_off(long long now) noexcept;
    void begin_reopen(long long now) noexcept;
    void finish_reopen() noexcept;
    void end_reopen() noexcept;
    bool session_ok() noexcept;
    void pump() noexcept;
    void quickack() noexcept;
    void accept_some(long long now) noexcept;
    void admit(int fd, const sockaddr_storage& peer) noexcept;
    bool attach(Conn& c) noexcept;
    void open_step(Conn& c) noexcept;
    void on_local(Conn& c, short revents) noexcept;
    void read_local(Conn& c) noexcept;
    void progress(Conn& c) noexcept;
    void write_channel(Conn& c, const char* data, std::size_t n) noexcept;
    void deliver(Conn& c, const char* data, std::size_t n) noexcept;
    void flush_local(Conn& c) noexcept;
    void expire_waiting(long long now) noexcept;
    void reap() noexcept;
    void release(Conn* c, bool polite) noexcept;
    void keepalive(long long now) noexcept;
    int poll_timeout(long long now) const noexcept;
    short local_events(const Conn& c) const noexcept;
    void log(int level, const std::string& message) noexcept;
    void log_rarely(long long& last, int level, const std::string& message) noexcept;

    Settings* settings_;  // owned
    ssh_session session_ = nullptr;
    ssh_event event_ = nullptr;
    Opening* opening_ = nullptr;  // a re-open in progress on its own thread
    OwnerCheck owners_;
    int session_fd_ = -1;  // as last seen, for the fork handler
    int listener_ = -1;
    int wake_ = -1;
    int port_ = 0;
    void* log_target_ = nullptr;
    pthread_t thread_{};
    bool started_ = false;
    bool stopped_ = false;
    bool forked_ = false;
    bool dirty_ = false;  // a callback changed a state the next pass must act on
    std::atomic<bool> up_{false};
    std::atomic<bool> running_{false};
    std::atomic<bool> stop_requested_{false};
    pthread_mutex_t fd_lock_ = PTHREAD_MUTEX_INITIALIZER;  // guards the descriptors for fork
    pthread_mutex_t stop_lock_ = PTHREAD_MUTEX_INITIALIZER;  // one stop() joins, a second waits for it
    std::atomic<int> refs_{1};
    std::vector<Conn*> conns_;
    long long last_rx_ = 0;
    long long last_keepalive_ = 0;
    long long listen_paused_until_ = 0;
    long long retry_at_ = 0;
    int backoff_ms_ = 0;
    bool outage_logged_ = false;
    long long accept_logged_ = -1;
    long long refused_logged_ = -1;
    long long cap_logged_ = -1;
    long long open_logged_ = -1;
    char buf_[65536];
};

}  // namespace ostrel_tunnel
