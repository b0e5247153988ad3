// One forwarded connection: a local socket, its direct-tcpip channel and the bytes between them.
#pragma once

#include <libssh/callbacks.h>

#include <cstddef>
#include <string>

namespace ostrel_tunnel {

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

struct Conn {
    Engine* engine = nullptr;
    int fd = -1;
    int src_port = 0;
    ssh_channel chan = nullptr;  // null while the connection waits for the session to re-open
    ssh_channel_callbacks_struct callbacks{};
    Buffer to_chan;   // read locally, not yet taken by the channel window
    Buffer to_local;  // from the channel, not yet taken by the local socket
    long long wait_until = 0;  // while it waits for a session: when it gives up
    bool opening = true;
    bool local_eof = false;  // the local side sent its EOF
    bool eof_sent = false;
    bool hup = false;        // the kernel reports both directions shut: only buffered input is left
    bool wr_shut = false;
    bool chan_eof = false;
    bool chan_closed = false;
    bool leftover = false;  // the channel holds data we refused for lack of room
    bool dead = false;      // to be closed now, whatever is in flight

    bool wants_input() const noexcept
    {
        return chan && !opening && !dead && !local_eof && !chan_closed && to_chan.empty();
    }
    bool finished() const noexcept;
};

}  // namespace ostrel_tunnel
