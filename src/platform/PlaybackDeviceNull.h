#pragma once
// A playback device that plays nothing, at the pace of the process clock
// (real time, or a VirtualClock's time when that is the process clock): for
// machines without a sound card and for measuring the player alone.

#include "platform/PlaybackDevice.h"
#include "platform/PlaybackPacer.h"

namespace wk {

class PlaybackDeviceNull final : public PlaybackDevice {
public:
    std::string Name() const override { return "null"; }
    bool Open(std::string* why) override;
    bool IsOpen() const override { return m_open; }
    bool WaitFor(int64_t ms, const std::atomic<int>* cancel = nullptr) override;
    void Drain() override;
    void Close() override;

protected:
    int64_t WriteFrames(const int16_t* samples, int64_t frames) override;

private:
    PlaybackPacer m_pacer{false};
    bool m_open = false;
};

}  // namespace wk
