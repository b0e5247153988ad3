// Opening an SSH session: the TCP connect, the handshake, the host key verdict and the login.
#include "session.hpp"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <linux/tcp.h>  // its tcp_info has the byte counts, which glibc's lacks
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>

namespace ostrel_tunnel {

void wipe(std::string& secret) noexcept
{
    explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

Settings::~Settings()
{
    wipe(password);
    if (key) {
        ssh_key_free(key);
    }
}

long long now_ms() noexcept
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

namespace {

std::string errno_text(int err) noexcept
{
    char buf[160];
    std::snprintf(buf, sizeof buf, "[Errno %d] %s", err, strerrordesc_np(err) ? strerrordesc_np(err) : "error");
    return buf;
}

// A connected, blocking TCP socket, or -1 with `out` filled; the deadline covers every address tried.
int tcp_connect(const Settings& s, long long deadline, Outcome& out, Cancel& cancel) noexcept
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    char port[16];
    std::snprintf(port, sizeof port, "%d", s.ssh_port);
    int rc = getaddrinfo(s.ssh_host.c_str(), port, &hints, &found);
    if (rc == 0 && cancel.cancelled()) {
        freeaddrinfo(found);
        out.kind = Failure::cancelled;
        return -1;
    }
    if (rc != 0) {
        out.kind = Failure::connect;
        out.detail = std::string("[Errno ") + std::to_string(rc) + "] " + gai_strerror(rc);
        return -1;
    }
    int last = ECONNREFUSED;
    bool timed_out = false;
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        int sock = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (sock < 0) {
            last = errno;
            continue;
        }
        if (!cancel.publish(sock)) {
            close(sock);
            break;
        }
        if (connect(sock, a->ai_addr, a->ai_addrlen) < 0 && errno != EINPROGRESS) {
            last = errno;
            cancel.retract();
            close(sock);
            continue;
        }
        pollfd p{sock, POLLOUT, 0};
        long long left = deadline - now_ms();
        int ready = left > 0 ? poll(&p, 1, static_cast<int>(left)) : 0;
        int err = 0;
        socklen_t len = sizeof err;
        if (ready <= 0) {
            timed_out = ready == 0;
            last = ready == 0 ? ETIMEDOUT : errno;
            cancel.retract();
            close(sock);
            continue;
        }
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) < 0 || err != 0) {
            last = err ? err : errno;
            cancel.retract();
            close(sock);
            continue;
        }
        int flags = fcntl(sock, F_GETFL);
        fcntl(sock, F_SETFL, flags & ~O_NONBLOCK);
        int one = 1;
        setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fd = sock;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        out.kind = cancel.cancelled() ? Failure::cancelled : timed_out ? Failure::timeout : Failure::connect;
        out.detail = errno_text(last);
    }
    return fd;
}

// The key type is the first string of the blob itself, so it is exactly what known_hosts spells.
std::string blob_type(const std::string& blob) noexcept
{
    if (blob.size() < 4) {
        return {};
    }
    auto* b = reinterpret_cast<const unsigned char*>(blob.data());
    std::size_t n = wire_length(b);
    return n <= blob.size() - 4 ? blob.substr(4, n) : std::string();
}

bool server_key(ssh_session session, std::string& type, std::string& blob) noexcept
{
    ssh_key key = nullptr;
    if (ssh_get_server_publickey(session, &key) != SSH_OK) {
        return false;
    }
    char* b64 = nullptr;
    int rc = ssh_pki_export_pubkey_base64(key, &b64);
    ssh_key_free(key);
    if (rc != SSH_OK) {
        return false;
    }
    bool ok = base64_decode(b64, strlen(b64), blob);
    ssh_string_free_char(b64);
    type = blob_type(blob);
    return ok && !type.empty();
}

// Host key algorithms, those of the key types known for the host first: a server with several host
// keys then shows the one known_hosts holds, as OpenSSH's client arranges it.
std::string host_key_preference(const Settings& s) noexcept
{
    static const char* const by_default[][2] = {
        {"ssh-ed25519", "ssh-ed25519"},
        {"ecdsa-sha2-nistp521", "ecdsa-sha2-nistp521"},
        {"ecdsa-sha2-nistp384", "ecdsa-sha2-nistp384"},
        {"ecdsa-sha2-nistp256", "ecdsa-sha2-nistp256"},
        {"ssh-rsa", "rsa-sha2-512,rsa-sha2-256"},
    };
    std::string known, rest;
    for (const auto& [type, algorithms] : by_default) {
        bool listed = false;
        for (const auto& entry : s.accepted) {
            listed = listed || entry.first == type;
        }
        std::string& into = listed ? known : rest;
        if (!into.empty()) {
            into.push_back(',');
        }
        into.append(algorithms);
    }
    return known.empty() ? std::string() : known + "," + rest;
}

bool set_options(ssh_session session, const Settings& s, int fd) noexcept
{
    std::string hostkeys = s.check_host_key ? host_key_preference(s) : std::string();
    long seconds = s.timeout_ms / 1000;
    long usec = (s.timeout_ms % 1000) * 1000L;
    int off = 0, on = 1;
    unsigned port = static_cast<unsigned>(s.ssh_port);
    // only what we are given: no ~/.ssh/config, no agent, no keys found on disk
    return ssh_options_set(session, SSH_OPTIONS_PROCESS_CONFIG, &off) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_HOST, s.ssh_host.c_str()) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_PORT, &port) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_USER, s.user.c_str()) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_TIMEOUT, &seconds) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_TIMEOUT_USEC, &usec) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_NODELAY, &on) == SSH_OK &&
           ssh_options_set(session, SSH_OPTIONS_FD, &fd) == SSH_OK &&
           (hostkeys.empty() || ssh_options_set(session, SSH_OPTIONS_HOSTKEYS, hostkeys.c_str()) == SSH_OK);
}

// Whether the peer sent bytes of its own though no SSH greeting came: some other service is there.
bool spoke_but_not_ssh(ssh_session session, int fd) noexcept
{
    tcp_info info{};
    socklen_t len = sizeof info;
    if (fd < 0 || ssh_get_serverbanner(session) || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) < 0 ||
        len < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received) {
        return false;
    }
    return info.tcpi_bytes_received > 0;
}

bool authenticate(ssh_session session, const Settings& s, Outcome& out) noexcept
{
    int rc = SSH_AUTH_DENIED;
    if (s.key) {
        rc = ssh_userauth_publickey(session, nullptr, s.key);
    }
    if (rc != SSH_AUTH_SUCCESS && rc != SSH_AUTH_ERROR && !s.password.empty()) {
        rc = ssh_userauth_password(session, nullptr, s.password.c_str());
    }
    if (rc == SSH_AUTH_SUCCESS) {
        return true;
    }
    out.kind = rc == SSH_AUTH_ERROR ? Failure::negotiate : Failure::auth;
    out.detail = rc == SSH_AUTH_PARTIAL ? "more authentication is required"
                 : rc == SSH_AUTH_ERROR ? ssh_get_error(session)
                                        : "access denied";
    return false;
}

}  // namespace

void end_session(ssh_session session, bool polite) noexcept
{
    if (!polite) {
        ssh_free(session);  // closes the socket without a word
        return;
    }
    // after a disconnect the library lets go of a socket it was handed, without closing it
    int fd = ssh_get_fd(session);
    ssh_disconnect(session);
    ssh_free(session);
    if (fd >= 0 && fcntl(fd, F_GETFD) != -1) {
        close(fd);
    }
}

const char* host_key_verdict(const Settings& s, const std::string& type, const std::string& blob) noexcept
{
    for (const std::string& r : s.revoked) {
        if (r == blob) {
            return "revoked";
        }
    }
    for (const auto& [t, b] : s.accepted) {
        if (t == type && b == blob) {
            return "accepted";
        }
    }
    return s.known_host ? "changed" : "unknown";
}

ssh_session open_session(const Settings& s, Outcome& out, Cancel& cancel) noexcept
{
    long long started = now_ms();
    int fd = tcp_connect(s, started + s.timeout_ms, out, cancel);
    if (fd < 0) {
        return nullptr;
    }
    ssh_session session = ssh_new();
    if (!session) {
        cancel.retract();
        close(fd);
        out.kind = Failure::negotiate;
        out.detail = "out of memory";
        return nullptr;
    }
    if (!set_options(session, s, fd)) {
        out.kind = Failure::negotiate;
        out.detail = ssh_get_error(session);
        ssh_free(session);
        cancel.retract();
        close(fd);
        return nullptr;
    }
    // from here the session owns the socket and may close it at any failure. A descriptor of our
    // own on it, kept to the end of the login, is what a cancel shuts down and what shows whether
    // the peer spoke at all, so neither ever reaches a number given back and reused meanwhile.
    int watch = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (watch >= 0) {
        cancel.publish(watch);
    }
    auto give_up = [&](bool polite) -> ssh_session {
        cancel.retract();
        if (polite) {
            end_session(session, true);
        }
        else {
            ssh_free(session);
        }
        if (watch >= 0) {
            close(watch);
        }
        return nullptr;
    };
    if (ssh_connect(session) != SSH_OK) {
        bool slow = now_ms() - started >= s.timeout_ms - 50;
        out.kind = slow ? Failure::timeout : Failure::negotiate;
        out.detail = ssh_get_error(session);
        if (spoke_but_not_ssh(session, watch)) {
            out.kind = Failure::not_ssh;
            out.detail = "the service there does not speak SSH (it answered without an SSH greeting)";
        }
        return give_up(false);
    }
    if (!server_key(session, out.key_type, out.key_blob)) {
        out.kind = Failure::negotiate;
        out.detail = "the server's host key cannot be read";
        return give_up(true);
    }
    if (s.check_host_key) {
        const char* verdict = host_key_verdict(s, out.key_type, out.key_blob);
        if (strcmp(verdict, "accepted") != 0) {
            out.kind = Failure::hostkey;
            out.detail = verdict;
            return give_up(true);
        }
    }
    if (!authenticate(session, s, out)) {
        if (out.kind == Failure::negotiate && now_ms() - started >= s.timeout_ms - 50) {
            out.kind = Failure::timeout;
        }
        return give_up(true);
    }
    // the session is handed over: from here its owner answers for the socket
    cancel.retract();
    if (watch >= 0) {
        close(watch);
    }
    return session;
}

bool base64_decode(const char* text, std::size_t len, std::string& out) noexcept
{
    out.clear();
    unsigned acc = 0;
    int bits = 0;
    for (std::size_t i = 0; i < len; ++i) {
        char c = text[i];
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=' || c == '\n' || c == '\r' || c == ' ' || c == '\t') continue;
        else return false;
        acc = (acc << 6) | unsigned(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out.push_back(static_cast<char>((acc >> bits) & 0xff));
        }
    }
    return true;
}

}  // namespace ostrel_tunnel
