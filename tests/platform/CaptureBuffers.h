#pragma once
// Caller-side buffers for capture-device tests, and a consumer loop that
// records through them the way a recording session does.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "core/Event.h"
#include "platform/CaptureDevice.h"

namespace wk::test {

class CaptureBuffers {
public:
    CaptureBuffers(size_t count, int64_t frames, int channels)
        : m_frameBytes(2 * static_cast<size_t>(channels)) {
        for (size_t i = 0; i < count; ++i) {
            m_storage.emplace_back(static_cast<size_t>(frames) * m_frameBytes, uint8_t{0xA5});
            CaptureBuffer& b = m_buffers.emplace_back();
            b.data = m_storage.back().data();
            b.size = m_storage.back().size();
        }
    }

    size_t Count() const { return m_buffers.size(); }
    size_t FrameBytes() const { return m_frameBytes; }
    CaptureBuffer& operator[](size_t i) { return m_buffers[i]; }
    std::string Bytes(size_t i) const {
        return std::string(reinterpret_cast<const char*>(m_buffers[i].data), m_buffers[i].recorded);
    }
    std::string Storage(size_t i) const {
        return std::string(m_storage[i].begin(), m_storage[i].end());
    }
    int DoneCount() const {
        int n = 0;
        for (const auto& b : m_buffers) n += b.done.load() ? 1 : 0;
        return n;
    }

    void QueueAll(CaptureDevice& device) {
        for (auto& b : m_buffers) {
            std::string why;
            ASSERT_TRUE(device.AddBuffer(&b, &why)) << why;
        }
    }

private:
    size_t m_frameBytes;
    std::deque<std::vector<uint8_t>> m_storage;
    std::deque<CaptureBuffer> m_buffers;
};

// Queues every buffer, starts the device and takes the buffers back in queue
// order, each one reported consumed and queued again, until the device ends.
// Returns the bytes delivered; the device is reset afterwards.
inline std::string RecordUntilEnd(CaptureDevice& device, Event& event, CaptureBuffers& buffers) {
    std::string out;
    buffers.QueueAll(device);
    std::string why;
    EXPECT_TRUE(device.Start(&why)) << why;
    int idleWaits = 0;
    for (size_t next = 0;;) {
        CaptureBuffer& b = buffers[next % buffers.Count()];
        if (b.done.load()) {
            out.append(reinterpret_cast<const char*>(b.data), b.recorded);
            device.Consumed(static_cast<int64_t>(b.recorded / buffers.FrameBytes()));
            EXPECT_TRUE(device.AddBuffer(&b, &why)) << why;
            ++next;
            continue;
        }
        // A buffer is handed back before the device ends, so once it has
        // ended a buffer not done will not be.
        if (device.HasEnded() && !b.done.load()) break;
        if (!event.Wait(100) && ++idleWaits > 50) {
            ADD_FAILURE() << "the device delivered nothing for 5 s";
            break;
        }
    }
    device.Reset();
    return out;
}

}  // namespace wk::test
