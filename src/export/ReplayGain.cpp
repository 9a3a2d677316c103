// The ReplayGain loudness analysis: an equal-loudness filter (a 10th-order
// Yule-Walker stage, then a 2nd-order Butterworth high-pass), the mean
// square of both channels over 50 ms windows, a histogram of the windows'
// levels in steps of 1/100 dB, and the level that 5 % of the windows reach,
// compared with the level of the pink-noise reference.
//
// Both channels run through the filters side by side, as the two lanes of
// one vector, so every coefficient is applied to left and right in one step.
// A mono signal goes through both lanes, as a stereo signal with two equal
// channels.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "export/ReplayGain.h"

namespace wk {
namespace {

typedef double Lanes __attribute__((vector_size(16)));  // left, right

constexpr int kYuleOrder = 10;
constexpr size_t kHistory = kYuleOrder;  // past samples the filters look back on
constexpr double kStepsPerDb = 100.0;
constexpr size_t kHistogramSize = 120 * 100;  // 0 to 120 dB
constexpr double kPercentile = 0.95;
constexpr double kPinkReference = 64.82;
constexpr double kWindowSeconds = 0.05;
// Added to every Yule-Walker output: keeps the filters out of denormal
// numbers after silence, far below anything a 16-bit signal can change.
constexpr double kDenormalGuard = 1e-10;
// Samples filtered per pass through the work buffers.
constexpr size_t kBlock = 2048;

// The published coefficients. Yule-Walker: b0..b10, then a1..a10 (a0 is 1).
// Butterworth: b0..b2, then a1, a2.
struct FilterCoefficients {
    long rate;
    double yuleB[kYuleOrder + 1];
    double yuleA[kYuleOrder];
    double butterB[3];
    double butterA[2];
};

const FilterCoefficients kFilters[] = {
    {48000,
     {0.03857599435200, -0.02160367184185, -0.00123395316851, -0.00009291677959, -0.01655260341619,
      0.02161526843274, -0.02074045215285, 0.00594298065125, 0.00306428023191, 0.00012025322027,
      0.00288463683916},
     {-3.84664617118067, 7.81501653005538, -11.34170355132042, 13.05504219327545,
      -12.28759895145294, 9.48293806319790, -5.87257861775999, 2.75465861874613, -0.86984376593551,
      0.13919314567432},
     {0.98621192462708, -1.97242384925416, 0.98621192462708},
     {-1.97223372919527, 0.97261396931306}},
    {44100,
     {0.05418656406430, -0.02911007808948, -0.00848709379851, -0.00851165645469, -0.00834990904936,
      0.02245293253339, -0.02596338512915, 0.01624864962975, -0.00240879051584, 0.00674613682247,
      -0.00187763777362},
     {-3.47845948550071, 6.36317777566148, -8.54751527471874, 9.47693607801280, -8.81498681370155,
      6.85401540936998, -4.39470996079559, 2.19611684890774, -0.75104302451432, 0.13149317958808},
     {0.98500175787242, -1.97000351574484, 0.98500175787242},
     {-1.96977855582618, 0.97022847566350}},
    {32000,
     {0.15457299681924, -0.09331049056315, -0.06247880153653, 0.02163541888798, -0.05588393329856,
      0.04781476674921, 0.00222312597743, 0.03174092540049, -0.01390589421898, 0.00651420667831,
      -0.00881362733839},
     {-2.37898834973084, 2.84868151156327, -2.64577170229825, 2.23697657451713, -1.67148153367602,
      1.00595954808547, -0.45953458054983, 0.16378164858596, -0.05032077717131, 0.02347897407020},
     {0.97938932735214, -1.95877865470428, 0.97938932735214},
     {-1.95835380975398, 0.95920349965459}},
    {24000,
     {0.30296907319327, -0.22613988682123, -0.08587323730772, 0.03282930172664, -0.00915702933434,
      -0.02364141202522, -0.00584456039913, 0.06276101321749, -0.00000828086748, 0.00205861885564,
      -0.02950134983287},
     {-1.61273165137247, 1.07977492259970, -0.25656257754070, -0.16276719120440, -0.22638893773906,
      0.39120800788284, -0.22138138954925, 0.04500235387352, 0.02005851806501, 0.00302439095741},
     {0.97531843204928, -1.95063686409857, 0.97531843204928},
     {-1.95002759149878, 0.95124613669835}},
    {22050,
     {0.33642304856132, -0.25572241425570, -0.11828570177555, 0.11921148675203, -0.07834489609479,
      -0.00469977914380, -0.00589500224440, 0.05724228140351, 0.00832043980773, -0.01635381384540,
      -0.01760176568150},
     {-1.49858979367799, 0.87350271418188, 0.12205022308084, -0.80774944671438, 0.47854794562326,
      -0.12453458140019, -0.04067510197014, 0.08333755284107, -0.04237348025746, 0.02977207319925},
     {0.97316523498161, -1.94633046996323, 0.97316523498161},
     {-1.94561023566527, 0.94705070426118}},
    {16000,
     {0.44915256608450, -0.14351757464547, -0.22784394429749, -0.01419140100551, 0.04078262797139,
      -0.12398163381748, 0.04097565135648, 0.10478503600251, -0.01863887810927, -0.03193428438915,
      0.00541907748707},
     {-0.62820619233671, 0.29661783706366, -0.37256372942400, 0.00213767857124, -0.42029820170918,
      0.22199650564824, 0.00613424350682, 0.06747620744683, 0.05784820375801, 0.03222754072173},
     {0.96454515552826, -1.92909031105652, 0.96454515552826},
     {-1.92783286977036, 0.93034775234268}},
    {12000,
     {0.56619470757641, -0.75464456939302, 0.16242137742230, 0.16744243493672, -0.18901604199609,
      0.30931782841830, -0.27562961986224, 0.00647310677246, 0.08647503780351, -0.03788984554840,
      -0.00588215443421},
     {-1.04800335126349, 0.29156311971249, -0.26806001042947, 0.00819999645858, 0.45054734505008,
      -0.33032403314006, 0.06739368333110, -0.04784254229033, 0.01639907836189, 0.01807364323573},
     {0.96009142950541, -1.92018285901082, 0.96009142950541},
     {-1.91858953033784, 0.92177618768381}},
    {11025,
     {0.58100494960553, -0.53174909058578, -0.14289799034253, 0.17520704835522, 0.02377945217615,
      0.15558449135573, -0.25344790059353, 0.01628462406333, 0.06920467763959, -0.03721611395801,
      -0.00749618797172},
     {-0.51035327095184, -0.31863563325245, -0.20256413484477, 0.14728154134330, 0.38952639978999,
      -0.23313271880868, -0.05246019024463, -0.02505961724053, 0.02442357316099, 0.01818801111503},
     {0.95856916599601, -1.91713833199203, 0.95856916599601},
     {-1.91542108074780, 0.91885558323625}},
    {8000,
     {0.53648789255105, -0.42163034350696, -0.00275953611929, 0.04267842219415, -0.10214864179676,
      0.14590772289388, -0.02459864859345, -0.11202315195388, -0.04060034127000, 0.04788665548180,
      -0.02217936801134},
     {-0.25049871956020, -0.43193942311114, -0.03424681017675, -0.04678328784242, 0.26408300200955,
      0.15113130533216, -0.17556493366449, -0.18823009262115, 0.05477720428674, 0.04704409688120},
     {0.94597685600279, -1.89195371200558, 0.94597685600279},
     {-1.88903307939452, 0.89487434461664}},
};

const FilterCoefficients* FindFilter(long rate) {
    for (const FilterCoefficients& f : kFilters)
        if (f.rate == rate) return &f;
    return nullptr;
}

Lanes Splat(double v) {
    return Lanes{v, v};
}

// The level for the 95th percentile of the windows, relative to the
// reference; the not-enough-samples value when no window was completed.
double GainOf(const std::vector<uint64_t>& histogram) {
    uint64_t windows = 0;
    for (uint64_t n : histogram) windows += n;
    if (windows == 0) return kGainNotEnoughSamples;
    // The windows at or above the level: 5 % rounded up, with 1 - 0.95 in
    // double arithmetic (a hair above 0.05), as the published analysis has it.
    auto above =
        static_cast<int64_t>(std::ceil(static_cast<double>(windows) * (1.0 - kPercentile)));
    size_t i = histogram.size() - 1;
    for (; i > 0; --i) {
        above -= static_cast<int64_t>(histogram[i]);
        if (above <= 0) break;
    }
    return kPinkReference - static_cast<double>(i) / kStepsPerDb;
}

}  // namespace

struct ReplayGainAnalysis::State {
    const FilterCoefficients* filter = nullptr;
    Lanes yuleB[kYuleOrder + 1]{};
    Lanes yuleA[kYuleOrder]{};
    Lanes butterB[3]{};
    Lanes butterA[2]{};

    size_t window = 0;     // samples per RMS window
    size_t inWindow = 0;   // samples of the current window so far
    Lanes squares{};       // squared filter output summed over the window
    Lanes out1{}, out2{};  // the last two outputs of the Butterworth stage

    // Inputs and Yule-Walker outputs of the current block; the first
    // kHistory entries hold the samples before it.
    std::vector<Lanes> input = std::vector<Lanes>(kHistory + kBlock);
    std::vector<Lanes> yule = std::vector<Lanes>(kHistory + kBlock);

    std::vector<uint64_t> track = std::vector<uint64_t>(kHistogramSize);
    std::vector<uint64_t> album = std::vector<uint64_t>(kHistogramSize);

    void ClearFilters() {
        std::fill(input.begin(), input.begin() + kHistory, Lanes{});
        std::fill(yule.begin(), yule.begin() + kHistory, Lanes{});
        out1 = out2 = squares = Lanes{};
        inWindow = 0;
    }

    void UseFilter(const FilterCoefficients& f) {
        filter = &f;
        for (int k = 0; k <= kYuleOrder; ++k) yuleB[k] = Splat(f.yuleB[k]);
        for (int k = 0; k < kYuleOrder; ++k) yuleA[k] = Splat(f.yuleA[k]);
        for (int k = 0; k < 3; ++k) butterB[k] = Splat(f.butterB[k]);
        for (int k = 0; k < 2; ++k) butterA[k] = Splat(f.butterA[k]);
        window = static_cast<size_t>(std::ceil(static_cast<double>(f.rate) * kWindowSeconds));
        ClearFilters();
    }

    void CloseWindow() {
        const double meanSquare = (squares[0] + squares[1]) / static_cast<double>(window) * 0.5;
        const double level = kStepsPerDb * 10.0 * std::log10(meanSquare + 1e-37);
        size_t index = 0;
        if (level >= static_cast<double>(kHistogramSize - 1))
            index = kHistogramSize - 1;
        else if (level > 0)  // false for NaN too
            index = static_cast<size_t>(level);
        ++track[index];
        squares = Lanes{};
        inWindow = 0;
    }

    // Filters input[kHistory, kHistory + n), adds the squares to the windows
    // and closes each window as it fills; keeps the last samples as history.
    void Filter(size_t n) {
        const Lanes guard = Splat(kDenormalGuard);
        size_t i = 0;
        while (i < n) {
            const size_t end = i + std::min(n - i, window - inWindow);
            Lanes sum = squares;
            Lanes o1 = out1, o2 = out2;
            for (size_t j = i; j < end; ++j) {
                const Lanes* x = &input[kHistory + j];
                Lanes* y = &yule[kHistory + j];
                // Everything but the newest output first, so that only the
                // last multiply-subtract waits for the previous sample.
                Lanes acc = guard + yuleB[0] * x[0] + yuleB[1] * x[-1] + yuleB[2] * x[-2] +
                            yuleB[3] * x[-3] + yuleB[4] * x[-4] + yuleB[5] * x[-5] +
                            yuleB[6] * x[-6] + yuleB[7] * x[-7] + yuleB[8] * x[-8] +
                            yuleB[9] * x[-9] + yuleB[10] * x[-10];
                acc -= yuleA[1] * y[-2] + yuleA[2] * y[-3] + yuleA[3] * y[-4] + yuleA[4] * y[-5] +
                       yuleA[5] * y[-6] + yuleA[6] * y[-7] + yuleA[7] * y[-8] + yuleA[8] * y[-9] +
                       yuleA[9] * y[-10];
                const Lanes v = acc - yuleA[0] * y[-1];
                y[0] = v;
                const Lanes o = butterB[0] * v + butterB[1] * y[-1] + butterB[2] * y[-2] -
                                butterA[1] * o2 - butterA[0] * o1;
                o2 = o1;
                o1 = o;
                sum += o * o;
            }
            out1 = o1;
            out2 = o2;
            squares = sum;
            inWindow += end - i;
            i = end;
            if (inWindow == window) CloseWindow();
        }
        std::copy(input.begin() + static_cast<long>(n),
                  input.begin() + static_cast<long>(n + kHistory), input.begin());
        std::copy(yule.begin() + static_cast<long>(n),
                  yule.begin() + static_cast<long>(n + kHistory), yule.begin());
    }
};

bool ReplayGainAnalysis::IsSupportedRate(long sampleRate) {
    return FindFilter(sampleRate) != nullptr;
}

ReplayGainAnalysis::ReplayGainAnalysis() : m_state(std::make_unique<State>()) {}

// Here, where State is complete.
ReplayGainAnalysis::~ReplayGainAnalysis() = default;

bool ReplayGainAnalysis::Init(long sampleRate) {
    const FilterCoefficients* f = FindFilter(sampleRate);
    if (f == nullptr) return false;
    m_state->UseFilter(*f);
    std::fill(m_state->track.begin(), m_state->track.end(), 0);
    std::fill(m_state->album.begin(), m_state->album.end(), 0);
    return true;
}

bool ReplayGainAnalysis::ResetSampleRate(long sampleRate) {
    const FilterCoefficients* f = FindFilter(sampleRate);
    if (f == nullptr) return false;
    m_state->UseFilter(*f);
    std::fill(m_state->track.begin(), m_state->track.end(), 0);
    return true;
}

bool ReplayGainAnalysis::Analyze(const double* left, const double* right, size_t count,
                                 int channels) {
    State& s = *m_state;
    if (s.filter == nullptr || (channels != 1 && channels != 2)) return false;
    if (count == 0) return true;
    if (left == nullptr || (channels == 2 && right == nullptr)) return false;
    if (channels == 1) right = left;
    for (size_t done = 0; done < count;) {
        const size_t n = std::min(kBlock, count - done);
        Lanes* in = &s.input[kHistory];
        for (size_t k = 0; k < n; ++k) in[k] = Lanes{left[done + k], right[done + k]};
        s.Filter(n);
        done += n;
    }
    return true;
}

double ReplayGainAnalysis::TrackGain() {
    State& s = *m_state;
    const double gain = GainOf(s.track);
    for (size_t i = 0; i < kHistogramSize; ++i) {
        s.album[i] += s.track[i];
        s.track[i] = 0;
    }
    s.ClearFilters();
    return gain;
}

double ReplayGainAnalysis::AlbumGain() const {
    return GainOf(m_state->album);
}

void ReplayGainAnalysis::MergeAlbum(const ReplayGainAnalysis& other) {
    // Counts add exactly: the order of merging never changes the result.
    const std::vector<uint64_t> theirs = other.m_state->album;
    for (size_t i = 0; i < kHistogramSize; ++i) m_state->album[i] += theirs[i];
}

int GainSteps(double gainDb) {
    const double x = gainDb / (5.0 * std::log10(2.0));
    if (!std::isfinite(x)) return 0;
    const double clamped = std::clamp(x, -1e6, 1e6);
    const double whole = std::trunc(clamped);
    int steps = static_cast<int>(whole);
    if (std::fabs(clamped) - std::fabs(whole) >= 0.5) steps += clamped >= 0 ? 1 : -1;
    return steps;
}

}  // namespace wk
