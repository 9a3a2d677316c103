#pragma once
// Storage for an object that lives until the process ends and is never
// destroyed: for the few process-wide objects that a worker thread may still
// use while the process exits, after the static objects it relies on (the
// trace, the event log) may already be gone. Constructed in place where the
// holder is; no heap allocation.

#include <new>
#include <utility>

namespace wk {

template <typename T>
class NoDestructor {
public:
    template <typename... Args>
    explicit NoDestructor(Args&&... args) {
        ::new (static_cast<void*>(m_storage)) T(std::forward<Args>(args)...);
    }
    ~NoDestructor() = default;
    NoDestructor(const NoDestructor&) = delete;
    NoDestructor& operator=(const NoDestructor&) = delete;

    T& operator*() { return *Get(); }
    T* operator->() { return Get(); }

private:
    T* Get() { return std::launder(reinterpret_cast<T*>(m_storage)); }

    alignas(T) unsigned char m_storage[sizeof(T)];
};

}  // namespace wk
