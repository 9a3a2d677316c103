#include "app/CommandLock.h"

#include <ostream>

namespace wk {

bool LockFileForCommand(FileLock& lock, const std::string& path, std::ostream& err) {
    std::string why;
    if (lock.AcquireFor(path, FileLock::kDefaultTimeoutMs, &why)) return true;
    err << "wavkeep: " << path << " was not changed: " << why << '\n';
    return false;
}

}  // namespace wk
