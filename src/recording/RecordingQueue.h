#pragma once
// The byte FIFO between the capture thread (writer) and the session thread
// (reader). Guarded by its own lock; neither side blocks on the other.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace wk {

class RecordingQueue {
public:
    static constexpr size_t kInitialCapacity = 1048576;
    static constexpr size_t kMaxCapacity = 10485760;

    explicit RecordingQueue(size_t capacity = kInitialCapacity);
    virtual ~RecordingQueue() = default;

    virtual size_t Capacity() const;
    // Refused (false) when smaller than what the queue holds.
    virtual bool Resize(size_t capacity);
    virtual size_t Free() const;
    virtual size_t Available() const;
    // Copies as much as fits; false when not all of it fitted.
    virtual bool Write(const uint8_t* bytes, size_t count);
    // Copies up to `count` bytes from the front; returns how many.
    virtual size_t Read(uint8_t* out, size_t count);

private:
    mutable std::mutex m_mutex;
    std::vector<uint8_t> m_data;  // ring storage
    size_t m_head = 0;            // index of the oldest byte
    size_t m_fill = 0;
};

}  // namespace wk
