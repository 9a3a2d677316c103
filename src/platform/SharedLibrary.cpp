#include "platform/SharedLibrary.h"

#include <dlfcn.h>

namespace wk {

SharedLibrary::~SharedLibrary() {
    Unload();
}

bool SharedLibrary::Load(const std::string& path, std::string* error) {
    Unload();
    ::dlerror();
    m_handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* reason = ::dlerror();
        if (error) *error = reason ? reason : "cannot be loaded";
        return false;
    }
    return true;
}

void* SharedLibrary::Symbol(const char* name) const {
    return m_handle ? ::dlsym(m_handle, name) : nullptr;
}

bool SharedLibrary::Unload(std::string* error) {
    if (m_handle == nullptr) return true;
    const bool ok = ::dlclose(m_handle) == 0;
    m_handle = nullptr;
    if (!ok && error) {
        const char* reason = ::dlerror();
        *error = reason ? reason : "unknown reason";
    }
    return ok;
}

}  // namespace wk
