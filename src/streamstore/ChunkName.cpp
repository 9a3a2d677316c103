#include "streamstore/ChunkName.h"

#include <cstdio>
#include <mutex>

namespace wk {
namespace {
std::mutex g_prefixMutex;
std::string g_prefix;
}  // namespace

std::string ChunkSessionName(const DateTime& start, long long durationSeconds,
                             long long lengthSeconds) {
    char name[96];
    std::snprintf(name, sizeof name, "%04d_%02d_%02d_%02d_%02d_%02d_%lld_%lld", start.year,
                  start.month, start.day, start.hour, start.minute, start.second, durationSeconds,
                  lengthSeconds);
    return name;
}

std::string ChunkBaseName(const DateTime& start, long long durationSeconds,
                          long long lengthSeconds, int number) {
    return ChunkSessionName(start, durationSeconds, lengthSeconds) + "_" + std::to_string(number);
}

std::string CurrentSessionPrefix() {
    std::lock_guard lock(g_prefixMutex);
    return g_prefix;
}

void SetCurrentSessionPrefix(const std::string& prefix) {
    std::lock_guard lock(g_prefixMutex);
    g_prefix = prefix;
}

}  // namespace wk
