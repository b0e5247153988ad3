// The forwarding engine: one native thread per tunnel owns the SSH session and moves the bytes.
#pragma once

#include "session.hpp"

#include <libssh/callbacks.h>
#include <libssh/server.h>  // ssh_send_keepalive, which clients use too
#include <pthread.h>

#include <atomic>
#include <string>
#include <vector>

namespace ostrel_tunnel {

// Logging levels, as the logging module numbers them.
enum Level { info = 20, warning = 30, error = 40 };

// Hands a rare event to the Python logger; defined by the module glue (takes the GIL).
void log_event(void* target, int level, const std::string& message) noexcept;

// A byte queue that consumes from the front without moving the rest each time.
class Buffer {
public:
    bool empty() const noexcept { return head_ == data_.size(); }
    std::size_t size() const noexcept { return data_.size() - head_; }
    const char* data() const noexcept { return data_.data() + head_; }
    void append(const char* p, std::size_t n) noexcept;
    void consume(std::size_t n) noexcept;
    void clear() noexcept;

private:
    std::string data_;
    std::size_t head_ = 0;
};

class Engine;

// One forwarded connection: a local socket and its direct-tcpip channel.
struct Conn {
    Engine* engine = nullptr;
    int fd = -1;
    int src_port = 0;
    ssh_channel chan = nullptr;
    ssh_channel_callbacks_struct callbacks{};
    Buffer to_chan;   // read locally, not yet taken by the channel window
    Buffer to_local;  // from the channel, not yet taken by the local socket
    bool opening = true;
    bool local_eof = false;  // the local side sent its EOF
    bool eof_sent = false;
    bool hup = false;        // the local side is gone for good
    bool wr_shut = false;
    bool chan_eof = false;
    bool chan_closed = false;
    bool leftover = false;  // the channel holds data we refused for lack of room
    bool dead = false;      // to be closed now, whatever is in flight

    bool wants_input() const noexcept
    {
        return !opening && !dead && !local_eof && !hup && !chan_closed && to_chan.empty();
    }
    bool finished() const noexcept;
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

    // Shared by the tunnel object and, while it lives, the registry the exit and fork hooks walk.
    void incref() noexcept { refs_.fetch_add(1); }
    void decref() noexcept
    {
        if (refs_.fetch_sub(1) == 1) {
            delete this;
        }
    }

    int port() const noexcept { return port_; }
    bool alive() const noexcept { return up_.load(std::memory_order_acquire) && running_.load(); }
    bool stopped() const noexcept { return stopped_; }

    // channel callbacks
    int on_data(Conn& c, const char* data, uint32_t len) noexcept;
    void on_eof(Conn& c) noexcept;
    void on_close(Conn& c) noexcept;

private:
    static void* thread_main(void* self) noexcept;
    void run() noexcept;
    void adopt(ssh_session session) noexcept;
    void drop_session(const char* why) noexcept;
    bool reopen() noexcept;
    bool session_ok() noexcept;
    void pump() noexcept;
    void quickack() noexcept;
    void accept_all(long long now) noexcept;
    void admit(int fd, int peer_port, unsigned peer_addr) noexcept;
    void open_step(Conn& c) noexcept;
    void on_local(Conn& c, short revents) noexcept;
    void progress(Conn& c) noexcept;
    void write_channel(Conn& c, const char* data, std::size_t n) noexcept;
    void deliver(Conn& c, const char* data, std::size_t n) noexcept;
    void flush_local(Conn& c) noexcept;
    void reap() noexcept;
    void release(Conn* c, bool polite) noexcept;
    void keepalive(long long now) noexcept;
    int poll_timeout(long long now) const noexcept;
    void log(int level, const std::string& message) noexcept;
    void log_rarely(long long& last, int level, const std::string& message) noexcept;

    Settings* settings_;  // owned
    ssh_session session_ = nullptr;
    ssh_event event_ = nullptr;
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

// uid owning the local socket connected from peer to 127.0.0.1:listen_port, or -1 when not found.
long socket_owner(unsigned peer_addr, int peer_port, int listen_port) noexcept;

}  // namespace ostrel_tunnel
