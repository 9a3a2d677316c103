#include "support/Mp3Decode.h"

#include <mpg123.h>

#include <algorithm>
#include <cmath>

namespace wk::test {

DecodedMp3 DecodeMp3File(const std::string& path, std::vector<int16_t>* samples, bool strict) {
    DecodedMp3 d;
    mpg123_init();
    int err = 0;
    mpg123_handle* h = mpg123_new(nullptr, &err);
    mpg123_param(h, MPG123_ADD_FLAGS, MPG123_QUIET | (strict ? MPG123_NO_RESYNC : 0), 0);
    if (mpg123_open(h, path.c_str()) != MPG123_OK) {
        mpg123_delete(h);
        d.errors = 1;
        return d;
    }
    double sumSquares = 0;
    int64_t values = 0;
    for (;;) {
        off_t num = 0;
        unsigned char* audio = nullptr;
        size_t size = 0;
        const int r = mpg123_decode_frame(h, &num, &audio, &size);
        if (r == MPG123_NEW_FORMAT) {
            int enc = 0;
            mpg123_getformat(h, &d.rate, &d.channels, &enc);
            continue;
        }
        if (r == MPG123_NEED_MORE || r == MPG123_DONE) break;
        if (r != MPG123_OK) {
            ++d.errors;
            break;
        }
        mpg123_frameinfo2 info{};
        mpg123_info2(h, &info);
        if (d.frames == 0) {
            d.version = info.version;
            d.layer = info.layer;
            d.bitrate = info.bitrate;
            d.mode = info.mode;
            d.flags = info.flags;
        }
        d.uniform = d.uniform && d.version == info.version && d.layer == info.layer &&
                    d.bitrate == info.bitrate && d.mode == info.mode && d.flags == info.flags &&
                    info.vbr == MPG123_CBR;
        d.frameBytes += info.framesize;
        ++d.frames;
        const auto* pcm = reinterpret_cast<const int16_t*>(audio);
        double frameSquares[2] = {0, 0};
        for (size_t i = 0; i < size / 2; ++i)
            frameSquares[i % size_t(std::max(d.channels, 1))] += double(pcm[i]) * pcm[i];
        for (int c = 0; c < d.channels && c < 2; ++c)
            d.frameRms[c].push_back(
                std::sqrt(frameSquares[c] * d.channels / double(std::max<size_t>(size / 2, 1))));
        sumSquares += frameSquares[0] + frameSquares[1];
        if (samples) samples->insert(samples->end(), pcm, pcm + size / 2);
        values += static_cast<int64_t>(size / 2);
    }
    if (d.channels > 0) d.samplesPerChannel = values / d.channels;
    d.rms = values ? std::sqrt(sumSquares / values) : 0;
    mpg123_close(h);
    mpg123_delete(h);
    return d;
}

::testing::AssertionResult ToneInEveryInnerFrame(const DecodedMp3& d, double left, double right) {
    const double expected[2] = {left / std::sqrt(2.0), right / std::sqrt(2.0)};
    if (d.frames < 5) return ::testing::AssertionFailure() << d.frames << " frames";
    for (size_t f = 2; f + 2 < size_t(d.frames); ++f)
        for (int c = 0; c < d.channels; ++c)
            if (std::abs(d.frameRms[c][f] - expected[c]) > expected[c] * 0.1)
                return ::testing::AssertionFailure()
                       << "frame " << f << " channel " << c << ": " << d.frameRms[c][f];
    return ::testing::AssertionSuccess();
}

std::vector<int16_t> Tone(uint32_t rate, int channels, size_t frames, size_t first) {
    std::vector<int16_t> pcm;
    for (size_t i = first; i < first + frames; ++i)
        for (int c = 0; c < channels; ++c)
            pcm.push_back(int16_t(std::lround((c ? kToneRight : kToneLeft) *
                                              std::sin(2 * M_PI * 440.0 * double(i) / rate))));
    return pcm;
}

}  // namespace wk::test
