#pragma once
// The tuner of a V4L2 TV card or radio.
//
// OpenDevice keeps the first video node with a tuner open and remembers the
// first radio node, which RunTunedGraph opens only for a radio channel.
// Only one of the two is open at a time, because cards switch between TV
// and radio mode when one of them is opened. V4L2 has no separate antenna
// and cable inputs: either choice selects the card's first tuner input, and
// the country needs no frequency table because channels are frequencies.
// Nothing throws; every failure is traced at level 10.

#include <cstdint>
#include <string>

#include "platform/Tuner.h"

namespace wk {

class TunerV4l2 final : public Tuner {
public:
    // `deviceDir` is where the video and radio nodes are looked for.
    explicit TunerV4l2(std::string deviceDir = "/dev");
    ~TunerV4l2() override;
    TunerV4l2(const TunerV4l2&) = delete;
    TunerV4l2& operator=(const TunerV4l2&) = delete;

    bool OpenDevice(int countryCode, bool antennaInput) override;
    bool IsOpen() const override { return m_open; }
    bool RunTunedGraph(int channel, bool radio) override;
    void SelectInput(bool antennaInput) override;
    void SelectModeAndChannel(int channel, bool radio) override;
    void StopGraph() override;

    // The nodes OpenDevice found; empty when none.
    const std::string& VideoPath() const { return m_videoPath; }
    const std::string& RadioPath() const { return m_radioPath; }

    // `channel` (see Tuner.h) in the unit of a tuner whose v4l2_tuner
    // capability flags are `tunerCaps`, rounded, within 0..UINT32_MAX.
    static uint32_t DeviceFrequency(int channel, bool radio, uint32_t tunerCaps);

private:
    int OpenNode(const std::string& path) const;
    // The open node of that kind, opening it (and closing the other) when
    // needed; -1 on failure.
    int UseNode(bool radio);
    bool Tune(int fd, int channel, bool radio);
    void SelectTunerInput(int fd);
    void SetMute(int fd, bool mute);
    void CloseNodes();

    std::string m_deviceDir;
    std::string m_videoPath;
    std::string m_radioPath;
    int m_videoFd = -1;
    int m_radioFd = -1;
    uint32_t m_videoTuner = 0;  // the tuner index of the selected input
    bool m_open = false;
    bool m_antennaInput = true;
};

}  // namespace wk
