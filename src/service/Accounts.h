#pragma once
// Service accounts: passwords kept as salted yescrypt hashes (libxcrypt), and
// failed logins slowed per client address.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "core/Clock.h"

namespace wk {

// A fresh salted hash of `password`; nothing when the library refuses.
std::optional<std::string> HashPassword(const std::string& password);
// Whether `password` gives `hash` (any setting the library knows).
bool VerifyPassword(const std::string& password, const std::string& hash);

// A login as an account may have: 1 to 64 bytes, no control character.
bool IsValidLogin(std::string_view login);

// After a failed login an address is refused outright for a while: 0.5 s
// after the first failure, doubling with each further one up to 30 s; a
// successful login forgets the address. Refusing costs no thread any wait.
// Thread safety: every operation may run on any thread.
class LoginThrottle {
public:
    static constexpr int64_t kFirstDelayMs = 500;
    static constexpr int64_t kMaxDelayMs = 30000;

    explicit LoginThrottle(const Clock& clock) : m_clock(clock) {}

    // Milliseconds the address must still wait; 0 when it may try now.
    int64_t WaitMs(const std::string& address) const;
    void Failed(const std::string& address);
    void Succeeded(const std::string& address);

private:
    struct Entry {
        int failures = 0;
        int64_t until = 0;  // clock ticks
    };
    static constexpr size_t kMaxAddresses = 10000;

    const Clock& m_clock;
    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

}  // namespace wk
