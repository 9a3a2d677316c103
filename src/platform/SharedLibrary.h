#pragma once
// A shared object loaded at run time (dlopen): the encoder libraries with the
// BladeEnc interface, and the checks that a system library is installed.
// Symbols resolve when it is loaded and stay private to it.
//
// Threads: one object belongs to one thread.

#include <string>

namespace wk {

class SharedLibrary {
public:
    SharedLibrary() = default;
    // Unloads it.
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    // Loads `path` (a bare name goes to the system's library path), first
    // unloading what was loaded. False with the loader's reason in `error`.
    bool Load(const std::string& path, std::string* error);
    // The address of `name`, nullptr when the library has no such symbol or
    // none is loaded.
    void* Symbol(const char* name) const;
    // False (with the loader's reason in `error`) when the loader refuses to
    // release it; either way the object holds no library afterwards.
    bool Unload(std::string* error = nullptr);
    bool IsLoaded() const { return m_handle != nullptr; }

private:
    void* m_handle = nullptr;
};

}  // namespace wk
