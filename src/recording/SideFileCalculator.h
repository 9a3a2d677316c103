#pragma once
// Computes the side-file bytes of a chunk from the raw PCM, block by block.
//
// One step is s = rate / 100 frames (441 at 44100 Hz), so both files grow by
// 100 bytes per second of audio.
//   .dat, one signed byte per step: (hi(left) + hi(right)) / 2 of the frame at
//     the step's start, hi() the sample's high byte (floor of sample / 256),
//     the division truncating towards zero.
//   .fgp, one unsigned byte per step: m = sum(|left + right|) / (2 s) over the
//     step's frames, x = m / 256; 0 when x <= 1, else trunc(52 log10 x).
// Sums, counts and the next wave-form position carry over from block to
// block and across chunk cuts, so steps stay exactly s frames apart whatever
// the encoder's block size.
//
// A mono recording holds one sample per frame; each is taken as both left and
// right, so a mono chunk's side files read like a stereo chunk of the same
// sound on both channels.

#include <cstdint>
#include <span>
#include <vector>

namespace wk {

class SideFileCalculator {
public:
    explicit SideFileCalculator(int sampleRate = 44100, int channels = 2);

    // Feeds one block of interleaved 16-bit samples (`samples.size()` values
    // over all channels) and returns its lists in dat() and fgp().
    void AddBlock(std::span<const int16_t> samples);
    const std::vector<uint8_t>& Dat() const { return m_dat; }
    const std::vector<uint8_t>& Fgp() const { return m_fgp; }

    static int8_t WaveValue(int16_t left, int16_t right);
    static uint8_t FingerprintValue(double sumAbs, int stepFrames);

    int StepFrames() const { return m_step; }

private:
    int m_step;
    int m_channels;
    int64_t m_framesSeen = 0;
    int64_t m_nextWaveFrame = 0;
    int64_t m_sum = 0;
    int m_count = 0;
    std::vector<uint8_t> m_dat;
    std::vector<uint8_t> m_fgp;
};

}  // namespace wk
