#include "service/Accounts.h"

#include <crypt.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace wk {

namespace {

constexpr size_t kMaxLogin = 64;
constexpr int kMaxDoublings = 16;

}  // namespace

std::optional<std::string> HashPassword(const std::string& password) {
    char setting[CRYPT_GENSALT_OUTPUT_SIZE];
    // Count 0: the library's default cost; the salt comes from the system.
    if (!crypt_gensalt_rn("$y$", 0, nullptr, 0, setting, sizeof setting)) return std::nullopt;
    auto data = std::make_unique<crypt_data>();
    const char* hash = crypt_r(password.c_str(), setting, data.get());
    if (!hash || hash[0] == '*') return std::nullopt;
    return std::string(hash);
}

bool VerifyPassword(const std::string& password, const std::string& hash) {
    if (hash.empty() || password.find('\0') != std::string::npos) return false;
    auto data = std::make_unique<crypt_data>();
    const char* again = crypt_r(password.c_str(), hash.c_str(), data.get());
    if (!again || again[0] == '*' || std::strlen(again) != hash.size()) return false;
    unsigned char differ = 0;  // the same time for every wrong password
    for (size_t i = 0; i < hash.size(); ++i)
        differ |= static_cast<unsigned char>(again[i] ^ hash[i]);
    return differ == 0;
}

bool IsValidLogin(std::string_view login) {
    if (login.empty() || login.size() > kMaxLogin) return false;
    return std::none_of(login.begin(), login.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7F;
    });
}

int64_t LoginThrottle::WaitMs(const std::string& address) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_entries.find(address);
    if (it == m_entries.end()) return 0;
    return std::max<int64_t>(0, it->second.until - m_clock.Ticks());
}

void LoginThrottle::Failed(const std::string& address) {
    std::lock_guard lock(m_mutex);
    const int64_t now = m_clock.Ticks();
    if (m_entries.size() >= kMaxAddresses) {
        // Addresses free to try again are the ones to forget first.
        std::erase_if(m_entries, [now](const auto& e) { return e.second.until <= now; });
        if (m_entries.size() >= kMaxAddresses) m_entries.erase(m_entries.begin());
    }
    Entry& entry = m_entries[address];
    entry.failures = std::min(entry.failures + 1, kMaxDoublings);
    const int64_t delay = std::min(kFirstDelayMs << (entry.failures - 1), kMaxDelayMs);
    entry.until = now + delay;
}

void LoginThrottle::Succeeded(const std::string& address) {
    std::lock_guard lock(m_mutex);
    m_entries.erase(address);
}

}  // namespace wk
