// What it takes to open an authenticated SSH session, and the private keys it logs in with.
#pragma once

#include <libssh/libssh.h>
#include <pthread.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace ostrel_tunnel {

long long now_ms() noexcept;  // monotonic

// Zeroes a secret's bytes before the memory goes back to the allocator.
void wipe(std::string& secret) noexcept;

// Everything a session needs, first and on every reconnect; owned by one tunnel.
struct Settings {
    std::string ssh_host;
    int ssh_port = 22;
    std::string user;
    std::string password;  // empty: no password login
    ssh_key key = nullptr;  // owned; null: no key login
    std::string target_host;
    int target_port = 0;
    int timeout_ms = 10000;
    bool check_host_key = true;
    std::vector<std::pair<std::string, std::string>> accepted;  // (key type, key blob)
    std::vector<std::string> revoked;                           // key blobs
    bool known_host = false;  // the keys are the host's own: any other key is a changed one
    int keepalive_ms = 15000;                                   // 0: no keepalives
    std::size_t max_connections = 1024;
    std::string label;  // user@host:port, for messages

    Settings() = default;
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;
    ~Settings();
};

enum class Failure { none, connect, timeout, negotiate, hostkey, auth, not_ssh, cancelled };

struct Outcome {
    Failure kind = Failure::none;
    std::string detail;    // errno text, library message, or the host key verdict
    std::string key_type;  // the server's key, for host key failures
    std::string key_blob;
};

// Lets another thread cut a login short: it shuts the socket down, which ends every wait on it.
// The socket is published under `lock` and retracted before it is closed, so a cancel never
// reaches a descriptor number that has been reused meanwhile.
class Cancel {
public:
    explicit Cancel(pthread_mutex_t* lock) noexcept : lock_(lock) {}
    bool publish(int fd) noexcept;  // false when already cancelled
    void retract() noexcept;
    void cancel_locked() noexcept;  // the lock is held by the caller
    bool cancelled() noexcept;
    int fd_locked() const noexcept { return fd_; }  // the lock is held by the caller

private:
    pthread_mutex_t* lock_;
    int fd_ = -1;
    bool cancelled_ = false;
};

// Connects, checks the host key and logs in, blocking for at most about the timeout per step.
// Returns the session in blocking mode, or null with `out` saying why.
ssh_session open_session(const Settings& settings, Outcome& out, Cancel& cancel) noexcept;

// Frees a session and its socket; a polite end says goodbye to the server first.
void end_session(ssh_session session, bool polite) noexcept;

// The rule applied to the server's key: "revoked", "accepted", "changed" or "unknown".
const char* host_key_verdict(const Settings& settings, const std::string& key_type,
                             const std::string& blob) noexcept;

enum class KeyProblem { none, no_file, unreadable, not_a_key, encrypted, bad_passphrase, unsupported };

struct KeyResult {
    ssh_key key = nullptr;
    KeyProblem problem = KeyProblem::none;
    std::string detail;  // strerror text or the key type's name
};

// Loads a private key from a file (path non-null) or from its text; never prompts.
KeyResult load_key(const char* path, const std::string* text, const std::string* passphrase) noexcept;

bool base64_decode(const char* text, std::size_t len, std::string& out) noexcept;

// The big-endian 32-bit length that prefixes every string of the SSH wire format.
inline std::size_t wire_length(const unsigned char* p) noexcept
{
    return (std::size_t(p[0]) << 24) | (std::size_t(p[1]) << 16) | (std::size_t(p[2]) << 8) | p[3];
}

}  // namespace ostrel_tunnel
