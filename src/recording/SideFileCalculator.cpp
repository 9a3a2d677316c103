#include "recording/SideFileCalculator.h"

#include <cmath>
#include <cstdlib>

namespace wk {

SideFileCalculator::SideFileCalculator(int sampleRate, int channels)
    : m_step(sampleRate / 100 > 0 ? sampleRate / 100 : 1), m_channels(channels == 1 ? 1 : 2) {}

int8_t SideFileCalculator::WaveValue(int16_t left, int16_t right) {
    // >> on a negative int is an arithmetic shift (floor) with every compiler we build with.
    const int hiLeft = static_cast<int>(left) >> 8;
    const int hiRight = static_cast<int>(right) >> 8;
    return static_cast<int8_t>((hiLeft + hiRight) / 2);
}

uint8_t SideFileCalculator::FingerprintValue(double sumAbs, int stepFrames) {
    const double m = sumAbs / (2.0 * stepFrames);
    const double x = m * 0.00390625;
    if (x <= 1.0) return 0;
    return static_cast<uint8_t>(52.0 * std::log10(x));
}

void SideFileCalculator::AddBlock(std::span<const int16_t> samples) {
    m_dat.clear();
    m_fgp.clear();
    const int64_t frames = static_cast<int64_t>(samples.size()) / m_channels;
    const int16_t* pcm = samples.data();
    auto left = [&](int64_t f) { return pcm[f * m_channels]; };
    auto right = [&](int64_t f) { return pcm[f * m_channels + m_channels - 1]; };

    for (int64_t f = 0; f < frames; ++f) {
        m_sum += std::abs(static_cast<int>(left(f)) + static_cast<int>(right(f)));
        if (++m_count == m_step) {
            m_fgp.push_back(FingerprintValue(static_cast<double>(m_sum), m_step));
            m_sum = 0;
            m_count = 0;
        }
    }
    const int64_t blockStart = m_framesSeen;
    m_framesSeen += frames;
    while (m_nextWaveFrame < m_framesSeen) {
        const int64_t f = m_nextWaveFrame - blockStart;
        m_dat.push_back(static_cast<uint8_t>(WaveValue(left(f), right(f))));
        m_nextWaveFrame += m_step;
    }
}

}  // namespace wk
