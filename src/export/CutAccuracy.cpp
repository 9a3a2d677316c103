#include "export/CutAccuracy.h"

#include <algorithm>
#include <cmath>

namespace wk {

std::vector<float> MonoMix(std::span<const int16_t> interleaved, int channels) {
    if (channels < 1) return {};
    const size_t frames = interleaved.size() / static_cast<size_t>(channels);
    std::vector<float> mono(frames);
    for (size_t i = 0; i < frames; ++i) {
        float sum = 0;
        for (int c = 0; c < channels; ++c) sum += interleaved[i * channels + c];
        mono[i] = sum / static_cast<float>(channels);
    }
    return mono;
}

std::optional<SourcePlace> FindInSource(std::span<const float> song, std::span<const float> source,
                                        int64_t guess, int64_t radius, int64_t skip,
                                        int64_t window) {
    if (skip < 0 || window <= 0 || radius < 0) return std::nullopt;
    if (static_cast<int64_t>(song.size()) < skip + window) return std::nullopt;
    const int64_t sourceSize = static_cast<int64_t>(source.size());
    const int64_t lowest = std::max<int64_t>(guess - radius, -skip);
    const int64_t highest = std::min(guess + radius, sourceSize - skip - window);
    if (lowest > highest) return std::nullopt;

    const float* a = song.data() + skip;
    double songEnergy = 0;
    for (int64_t i = 0; i < window; ++i) songEnergy += double(a[i]) * a[i];
    if (songEnergy <= 0) return std::nullopt;

    // The source's energy under the window, carried from lag to lag.
    const float* s = source.data() + skip;
    double sourceEnergy = 0;
    for (int64_t i = 0; i < window; ++i) sourceEnergy += double(s[lowest + i]) * s[lowest + i];
    std::optional<SourcePlace> best;
    for (int64_t lag = lowest; lag <= highest; ++lag) {
        if (lag > lowest) {
            const double gone = s[lag - 1];
            const double come = s[lag + window - 1];
            sourceEnergy += come * come - gone * gone;
        }
        if (sourceEnergy <= songEnergy * 1e-9) continue;
        double dot = 0;
        const float* b = s + lag;
        for (int64_t i = 0; i < window; ++i) dot += double(a[i]) * b[i];
        const double c = dot / std::sqrt(songEnergy * sourceEnergy);
        if (!best || c > best->correlation) best = SourcePlace{lag, c};
    }
    return best;
}

ErrorSpread SpreadOf(std::vector<double> errors) {
    ErrorSpread spread;
    spread.count = errors.size();
    if (errors.empty()) return spread;
    for (double& e : errors) e = std::fabs(e);
    std::sort(errors.begin(), errors.end());
    const auto at = [&](double q) {
        const auto i = static_cast<size_t>(std::ceil(q * static_cast<double>(errors.size()))) - 1;
        return errors[std::min(i, errors.size() - 1)];
    };
    spread.p50 = at(0.5);
    spread.p95 = at(0.95);
    spread.worst = errors.back();
    return spread;
}

}  // namespace wk
