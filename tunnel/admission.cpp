// Who may come in: the port serves its owner (and root) alone, up to the connection cap.
#include "engine.hpp"

#include "opening.hpp"

#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <new>

namespace ostrel_tunnel {

namespace {

// Enough to admit a storm quickly, few enough that the connections already open never starve.
constexpr int accepts_per_pass = 16;
constexpr int accept_pause_ms = 100;

// States in which the connecting socket is still held by the process that made it; TIME_WAIT and
// the like belong to nobody, and the kernel reports them as root's.
bool held_by_its_process(unsigned state) noexcept
{
    return state == TCP_ESTABLISHED || state == TCP_FIN_WAIT1 || state == TCP_FIN_WAIT2;
}

void map_v4(unsigned addr, __be32* out) noexcept
{
    out[0] = out[1] = 0;
    out[2] = htonl(0xffff);
    out[3] = addr;
}

}  // namespace

OwnerCheck::~OwnerCheck()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool OwnerCheck::open() noexcept
{
    fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    return fd_ >= 0;
}

void OwnerCheck::forget_after_fork() noexcept
{
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

long OwnerCheck::owner(const sockaddr_storage& peer, int port) noexcept
{
    // the socket wanted is the client's: its local end is the peer, its remote end us
    struct {
        nlmsghdr header;
        inet_diag_req_v2 req;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST;  // no dump: the kernel looks up this one socket
    ask.header.nlmsg_seq = ++seq_;
    ask.req.sdiag_protocol = IPPROTO_TCP;
    ask.req.idiag_states = ~0u;
    ask.req.id.idiag_dport = htons(static_cast<uint16_t>(port));
    ask.req.id.idiag_cookie[0] = ask.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    if (peer.ss_family == AF_INET) {
        const auto& in = reinterpret_cast<const sockaddr_in&>(peer);
        // a dual-stack client on ::ffff:127.0.0.1 is found by this lookup too
        ask.req.sdiag_family = AF_INET;
        ask.req.id.idiag_sport = in.sin_port;
        ask.req.id.idiag_src[0] = in.sin_addr.s_addr;
        ask.req.id.idiag_dst[0] = htonl(INADDR_LOOPBACK);
    }
    else if (peer.ss_family == AF_INET6) {
        const auto& in6 = reinterpret_cast<const sockaddr_in6&>(peer);
        ask.req.sdiag_family = AF_INET6;
        ask.req.id.idiag_sport = in6.sin6_port;
        memcpy(ask.req.id.idiag_src, &in6.sin6_addr, sizeof in6.sin6_addr);
        map_v4(htonl(INADDR_LOOPBACK), ask.req.id.idiag_dst);
    }
    else {
        return -1;
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    ssize_t sent;
    do {
        sent = sendto(fd_, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(sizeof ask)) {
        return -1;
    }
    // the kernel answers within sendto(); older answers (none are expected) are passed over
    alignas(nlmsghdr) char reply[8192];
    for (;;) {
        ssize_t n = recv(fd_, reply, sizeof reply, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1;
        }
        auto* h = reinterpret_cast<nlmsghdr*>(reply);
        for (int left = static_cast<int>(n); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != seq_) {
                continue;
            }
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY ||
                h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) {
                return -1;  // an error (no such socket) or something we did not ask for
            }
            auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (m->idiag_inode == 0 || !held_by_its_process(m->idiag_state)) {
                return -1;
            }
            return static_cast<long>(m->idiag_uid);
        }
    }
}

void Engine::accept_some(long long now) noexcept
{
    for (int i = 0; i < accepts_per_pass; ++i) {
        sockaddr_storage peer{};
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
        admit(fd, peer);
    }
    dirty_ = true;  // more may be waiting: the next pass takes them after serving the others
}

void Engine::admit(int fd, const sockaddr_storage& peer) noexcept
{
    long uid = owners_.owner(peer, port_);
    if (uid != static_cast<long>(geteuid()) && uid != 0) {
        close(fd);
        log_rarely(refused_logged_, warning,
                   "refused a connection to 127.0.0.1:" + std::to_string(port_) + " from " +
                       (uid < 0 ? std::string("a client that is gone or unknown")
                                : "uid " + std::to_string(uid)) +
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
    long long now = now_ms();
    if (!session_ && !opening_) {
        if (now < retry_at_) {
            close(fd);  // backing off after a failed re-open: say so at once rather than hang
            return;
        }
        begin_reopen(now);
        if (!opening_) {
            close(fd);
            return;
        }
    }
    Conn* c = new (std::nothrow) Conn;
    if (!c) {
        close(fd);
        return;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    c->engine = this;
    c->fd = fd;
    c->src_port = peer.ss_family == AF_INET6 ? ntohs(reinterpret_cast<const sockaddr_in6&>(peer).sin6_port)
                                             : ntohs(reinterpret_cast<const sockaddr_in&>(peer).sin_port);
    // while the session re-opens it waits, but never long: a stalled SSH server must not hang it
    c->wait_until = now + std::min(settings_->timeout_ms / 2, 2000);
    lock();
    conns_.push_back(c);
    unlock();
    if (session_) {
        attach(*c);
    }
}

}  // namespace ostrel_tunnel
