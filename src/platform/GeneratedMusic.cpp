#include "platform/GeneratedMusic.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <iterator>
#include <numbers>

namespace wk {

namespace {

constexpr int kTableBits = 12;
constexpr int kTableSize = 1 << kTableBits;
constexpr int kStepsPerBeat = 2;  // the sequencer runs in eighth notes
constexpr int kStepsPerBar = 8;
constexpr int kPhraseBars = 4;
constexpr int kPhraseSteps = kStepsPerBar * kPhraseBars;
constexpr int kMelodySteps = 2 * kPhraseSteps;  // two phrases, then it loops
constexpr int kMelodyRest = -1;
constexpr int kMelodyHold = -2;
constexpr double kFadeSeconds = 0.01;  // keeps track edges from clicking
// Envelopes below this are silent; flushing them keeps denormals out.
constexpr float kEnvelopeFloor = 1e-5f;

const float* SineTable() {
    static const std::array<float, kTableSize> table = [] {
        std::array<float, kTableSize> t{};
        for (int i = 0; i < kTableSize; ++i)
            t[static_cast<size_t>(i)] =
                static_cast<float>(std::sin(2 * std::numbers::pi * i / kTableSize));
        return t;
    }();
    return table.data();
}

// SplitMix64: tiny, and good enough to draw musical choices from a seed.
class Random {
public:
    explicit Random(uint64_t seed) : m_state(seed) {}
    uint64_t Next() {
        uint64_t z = (m_state += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }
    // Uniform in [lo, hi].
    int64_t Range(int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(Next() % static_cast<uint64_t>(hi - lo + 1));
    }
    double Unit() { return static_cast<double>(Next() >> 11) * 0x1.0p-53; }
    bool Chance(double p) { return Unit() < p; }

private:
    uint64_t m_state;
};

// xorshift32 white noise, one value per call.
struct Noise {
    uint32_t state = 2463534242u;
    uint32_t NextBits() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    float Next() { return static_cast<float>(static_cast<int32_t>(NextBits())) * 0x1.0p-31f; }
};

int64_t SecondsToMs(double seconds) {
    return std::max<int64_t>(10, std::llround(seconds * 1000));
}

double PauseLevelDbfs() {
    // Uniform integers in [-peak, peak]: mean square peak*(peak+1)/3.
    const double p = GeneratedMusic::kPauseNoisePeak;
    return 20 * std::log10(std::sqrt(p * (p + 1) / 3) / 32768);
}

// Draws the succession of tracks and pauses of a seed: a track first, then
// pause and track by turns.
class LayoutSequence {
public:
    LayoutSequence(uint32_t seed, int sampleRate, const GeneratorTiming& timing)
        : m_random(0x6C617966ULL << 32 | seed),
          m_rate(sampleRate),
          m_minTrackMs(SecondsToMs(timing.minTrackSeconds)),
          m_maxTrackMs(std::max(m_minTrackMs, SecondsToMs(timing.maxTrackSeconds))),
          m_minPauseMs(SecondsToMs(timing.minPauseSeconds)),
          m_maxPauseMs(std::max(m_minPauseMs, SecondsToMs(timing.maxPauseSeconds))) {}

    GeneratedTrack Next() {
        GeneratedTrack t;
        t.pause = m_pauseNext;
        t.startFrame = m_next;
        int64_t ms = 0;
        if (m_pauseNext) {
            ms = m_random.Range(m_minPauseMs, m_maxPauseMs);
            t.levelDbfs = PauseLevelDbfs();
        } else {
            ++m_tracks;
            ms = m_random.Range(m_minTrackMs, m_maxTrackMs);
            t.levelDbfs = NextLevel();
        }
        t.number = m_tracks;
        t.endFrame = m_next + std::max<int64_t>(1, ms * m_rate / 1000);
        m_next = t.endFrame;
        m_pauseNext = !m_pauseNext;
        return t;
    }

private:
    double NextLevel() {
        // Half-decibel steps; redrawn until it differs enough from the last track.
        const int64_t steps =
            std::llround((GeneratedMusic::kMaxLevelDbfs - GeneratedMusic::kMinLevelDbfs) * 2);
        double level = 0;
        do {
            level =
                GeneratedMusic::kMinLevelDbfs + 0.5 * static_cast<double>(m_random.Range(0, steps));
        } while (m_tracks > 1 && std::fabs(level - m_lastLevel) < GeneratedMusic::kMinLevelStepDb);
        m_lastLevel = level;
        return level;
    }

    Random m_random;
    int m_rate;
    int64_t m_minTrackMs, m_maxTrackMs, m_minPauseMs, m_maxPauseMs;
    int64_t m_next = 0;
    int m_tracks = 0;
    bool m_pauseNext = false;
    double m_lastLevel = 0;
};

// An oscillator with an attack-decay envelope. The phase runs on across notes
// and the attack starts from the current level, so note changes do not click.
struct Tone {
    uint32_t phase = 0;
    uint32_t increment = 0;
    float envelope = 0;
    float attackStep = 0;
    float decay = 1;    // per-sample factor while the note sounds
    float release = 1;  // per-sample factor after a note off
    bool attacking = false;
    bool released = false;

    void NoteOn(uint32_t newIncrement) {
        increment = newIncrement;
        attacking = true;
        released = false;
    }
    void NoteOff() {
        attacking = false;
        released = true;
    }
    float NextEnvelope() {
        if (attacking) {
            envelope += attackStep;
            if (envelope >= 1) {
                envelope = 1;
                attacking = false;
            }
        } else {
            envelope *= released ? release : decay;
            if (envelope < kEnvelopeFloor) envelope = 0;
        }
        return envelope;
    }
};

// A struck sound: full level at once, then an exponential decay.
struct Hit {
    float envelope = 0;
    float decay = 1;
    void Strike() { envelope = 1; }
    float Next() {
        const float v = envelope;
        envelope *= decay;
        if (envelope < kEnvelopeFloor) envelope = 0;
        return v;
    }
};

float DecayPerSample(double seconds, int rate) {
    // Falls to 1/1000 (-60 dB) in `seconds`.
    return static_cast<float>(std::pow(1e-3, 1.0 / (seconds * rate)));
}

uint32_t PhaseIncrement(double hz, int rate) {
    return static_cast<uint32_t>(std::llround(hz / rate * 4294967296.0));
}

double MidiHz(int note) {
    return 440.0 * std::pow(2.0, (note - 69) / 12.0);
}

uint64_t TrackKey(uint32_t seed, int number) {
    return (static_cast<uint64_t>(seed) << 32 | static_cast<uint32_t>(number)) ^ 0x7472616B5EEDULL;
}

constexpr int kLowestRoot = 45;  // A2
constexpr int kKeys = 12;
constexpr int kSlowestBpm = 80;
constexpr int kTempos = 73;

// A value in [0, range) for each track that always differs from the previous
// track's by at least range/8: a walk of steps drawn per track.
int Walk(uint32_t seed, int number, int which, int range) {
    const int minStep = std::max(1, range / 8);
    int value = 0;
    for (int k = 1; k <= number; ++k) {
        Random r(TrackKey(seed, k) ^ (0x57A1CULL + static_cast<uint64_t>(which)));
        value += static_cast<int>(r.Range(minStep, range - minStep));
    }
    return value % range;
}

// One track's band: melody, bass, a held chord and drums, played by an eighth-note
// sequencer whose patterns and sounds all come from the seed and the track
// number. Copyable, so that a copy can be rendered ahead to measure loudness.
class TrackVoice {
public:
    TrackVoice(uint32_t seed, int number, int rate) : m_sine(SineTable()), m_rate(rate) {
        Random r(TrackKey(seed, number));
        struct Scale {
            int size;
            int semitones[7];
        };
        static constexpr Scale kScales[] = {
            {7, {0, 2, 4, 5, 7, 9, 11}},  // major
            {7, {0, 2, 3, 5, 7, 8, 10}},  // natural minor
            {7, {0, 2, 3, 5, 7, 9, 10}},  // dorian
            {7, {0, 2, 4, 5, 7, 9, 10}},  // mixolydian
            {7, {0, 2, 3, 5, 7, 8, 11}},  // harmonic minor
            {5, {0, 2, 4, 7, 9, 0, 0}},   // major pentatonic
            {5, {0, 3, 5, 7, 10, 0, 0}},  // minor pentatonic
        };
        const Scale& scale = kScales[r.Range(0, std::size(kScales) - 1)];
        const int root = kLowestRoot + Walk(seed, number, 0, kKeys);
        m_bpm = kSlowestBpm + Walk(seed, number, 1, kTempos);

        // Melody: a random walk over the scale, with rests and held notes.
        int degree = static_cast<int>(r.Range(2, scale.size + 2));
        for (int i = 0; i < kMelodySteps; ++i) {
            const double roll = r.Unit();
            if (i % kPhraseSteps != 0 && roll < 0.15) {
                m_melody[static_cast<size_t>(i)] = kMelodyRest;
            } else if (i % kPhraseSteps != 0 && roll < 0.40) {
                m_melody[static_cast<size_t>(i)] = kMelodyHold;
            } else {
                degree =
                    std::clamp(degree + static_cast<int>(r.Range(-3, 3)), 0, 2 * scale.size - 1);
                const int note =
                    root + 12 + scale.semitones[degree % scale.size] + 12 * (degree / scale.size);
                m_melody[static_cast<size_t>(i)] = note;
            }
        }
        m_melodyTone.attackStep = 1.0f / (0.004f * static_cast<float>(rate));
        m_melodyTone.decay = DecayPerSample(0.4 + 1.4 * r.Unit(), rate);
        m_melodyTone.release = DecayPerSample(0.08, rate);
        m_harmonics[0] = 1.0f;
        m_harmonics[1] = static_cast<float>(0.6 * r.Unit());
        m_harmonics[2] = static_cast<float>(0.4 * r.Unit());
        m_harmonics[3] = static_cast<float>(0.25 * r.Unit());
        m_melodyPan = static_cast<float>(0.25 + 0.5 * r.Unit());

        // Bass: a four-bar chord progression, roots and fifths on a pattern.
        static constexpr int kChordDegrees[] = {0, 3, 4, 5, 1};
        for (int& chord : m_chords) {
            const int d = kChordDegrees[r.Range(0, std::size(kChordDegrees) - 1)] % scale.size;
            chord = root - 12 + scale.semitones[d];
        }
        m_chords[0] = root - 12;
        m_bassMask = static_cast<uint8_t>(0x01 | 0x10 | (r.Next() & 0xEE));
        m_bassTone.attackStep = 1.0f / (0.006f * static_cast<float>(rate));
        m_bassTone.decay = DecayPerSample(0.8 + 0.8 * r.Unit(), rate);
        m_bassTone.release = DecayPerSample(0.1, rate);
        // A soft held chord under it all, so the music never drops towards
        // silence when melody, bass and drums happen to pause together.
        m_padThird = scale.semitones[2 % scale.size];
        m_padGlide = static_cast<float>(1.0 - std::pow(1e-3, 1.0 / (0.05 * rate)));

        // Drums: kick on one and three, snare on two and four, hats by chance.
        m_kickMask =
            static_cast<uint8_t>(0x11 | (r.Chance(0.5) ? 0x08 : 0) | (r.Chance(0.4) ? 0x80 : 0));
        m_snareMask = static_cast<uint8_t>(0x44 | (r.Chance(0.3) ? 0x80 : 0));
        m_hatMask = static_cast<uint8_t>(r.Chance(0.5) ? 0xFF : 0xAA | (r.Next() & 0x55));
        // Each band has its own kit.
        m_kick.decay = DecayPerSample(0.15 + 0.2 * r.Unit(), rate);
        m_snare.decay = DecayPerSample(0.12 + 0.12 * r.Unit(), rate);
        m_hat.decay = DecayPerSample(0.05 + 0.05 * r.Unit(), rate);
        m_kickStart = static_cast<float>(PhaseIncrement(110 + 70 * r.Unit(), rate));
        m_kickEnd = static_cast<float>(PhaseIncrement(40 + 20 * r.Unit(), rate));
        m_kickSweep = DecayPerSample(0.2 + 0.3 * r.Unit(), rate);
        m_snareIncrement = PhaseIncrement(160 + 80 * r.Unit(), rate);
        // Tracks in related keys do not start in phase.
        m_melodyTone.phase = static_cast<uint32_t>(r.Next());
        m_bassTone.phase = static_cast<uint32_t>(r.Next());
        for (uint32_t& phase : m_padPhase) phase = static_cast<uint32_t>(r.Next());
        m_noise.state ^= static_cast<uint32_t>(r.Next());
        if (m_noise.state == 0) m_noise.state = 1;
    }

    // Frames of one full turn of the patterns.
    int64_t CycleFrames() const { return StepStart(kMelodySteps); }

    void Next(float& left, float& right) {
        if (m_position == m_nextStep) Step();
        ++m_position;

        const uint32_t p = m_melodyTone.phase;
        const float melody = m_melodyTone.NextEnvelope() *
                             (m_harmonics[0] * Sine(p) + m_harmonics[1] * Sine(2 * p) +
                              m_harmonics[2] * Sine(3 * p) + m_harmonics[3] * Sine(4 * p));
        m_melodyTone.phase += m_melodyTone.increment;

        const uint32_t b = m_bassTone.phase;
        const float bass = m_bassTone.NextEnvelope() * (Sine(b) + 0.35f * Sine(2 * b));
        m_bassTone.phase += m_bassTone.increment;

        const float kick = m_kick.Next() * Sine(m_kickPhase);
        m_kickPhase += static_cast<uint32_t>(m_kickIncrement);
        m_kickIncrement = std::max(m_kickEnd, m_kickIncrement * m_kickSweep);

        const float noise = m_noise.Next();
        const float snare = m_snare.Next() * (0.75f * noise + 0.25f * Sine(m_snarePhase));
        m_snarePhase += m_snareIncrement;
        const float hat = m_hat.Next() * 0.5f * (noise - m_lastNoise);
        m_lastNoise = noise;

        m_padLevel += m_padGlide * (m_padTarget - m_padLevel);
        const float pad =
            m_padLevel * (Sine(m_padPhase[0]) + Sine(m_padPhase[1]) + Sine(m_padPhase[2]));
        for (size_t i = 0; i < m_padPhase.size(); ++i) m_padPhase[i] += m_padIncrement[i];

        const float centre = 0.45f * bass + 0.6f * kick + 0.3f * snare + 0.12f * pad;
        left = centre + 0.5f * m_melodyPan * melody + 0.25f * (1 - m_melodyPan) * hat;
        right = centre + 0.5f * (1 - m_melodyPan) * melody + 0.25f * m_melodyPan * hat;
    }

private:
    float Sine(uint32_t phase) const { return m_sine[phase >> (32 - kTableBits)]; }

    int64_t StepStart(int64_t step) const {
        return step * m_rate * 60 / (static_cast<int64_t>(m_bpm) * kStepsPerBeat);
    }

    void Step() {
        const int inBar = static_cast<int>(m_step % kStepsPerBar);
        const int bar = static_cast<int>(m_step / kStepsPerBar % kPhraseBars);
        const int event = m_melody[static_cast<size_t>(m_step % kMelodySteps)];
        if (event == kMelodyRest) {
            m_melodyTone.NoteOff();
        } else if (event != kMelodyHold) {
            m_melodyTone.NoteOn(PhaseIncrement(MidiHz(event), m_rate));
        }
        const uint8_t bit = static_cast<uint8_t>(1u << inBar);
        if (m_bassMask & bit) {
            // Root on the beat, fifth off it.
            const int note = m_chords[static_cast<size_t>(bar)] + (inBar % 2 ? 7 : 0);
            m_bassTone.NoteOn(PhaseIncrement(MidiHz(note), m_rate));
        } else if (inBar % 2 == 0) {
            m_bassTone.NoteOff();
        }
        if (inBar == 0) {
            const int chord = m_chords[static_cast<size_t>(bar)] + 24;
            const int notes[] = {chord, chord + m_padThird, chord + 7};
            for (size_t i = 0; i < m_padIncrement.size(); ++i)
                m_padIncrement[i] = PhaseIncrement(MidiHz(notes[i]), m_rate);
            m_padTarget = 1;
        }
        if (m_kickMask & bit) {
            m_kick.Strike();
            m_kickPhase = 0;
            m_kickIncrement = m_kickStart;
        }
        if (m_snareMask & bit) m_snare.Strike();
        if (m_hatMask & bit) m_hat.Strike();
        ++m_step;
        m_nextStep = StepStart(m_step);
    }

    const float* m_sine;
    int m_rate;
    int m_bpm = 120;
    std::array<int, kMelodySteps> m_melody{};
    std::array<float, 4> m_harmonics{};
    float m_melodyPan = 0.5f;
    std::array<int, kPhraseBars> m_chords{};
    uint8_t m_bassMask = 0, m_kickMask = 0, m_snareMask = 0, m_hatMask = 0;

    Tone m_melodyTone, m_bassTone;
    Hit m_kick, m_snare, m_hat;
    int m_padThird = 4;
    std::array<uint32_t, 3> m_padPhase{};
    std::array<uint32_t, 3> m_padIncrement{};
    float m_padLevel = 0, m_padTarget = 0, m_padGlide = 0;
    uint32_t m_kickPhase = 0;
    float m_kickIncrement = 0, m_kickStart = 0, m_kickEnd = 0, m_kickSweep = 1;
    uint32_t m_snarePhase = 0, m_snareIncrement = 0;
    Noise m_noise;
    float m_lastNoise = 0;

    int64_t m_position = 0;  // frames into the track
    int64_t m_step = 0;
    int64_t m_nextStep = 0;
};

int16_t ToSample(float v) {
    // Peaks of the loudest tracks bend softly towards full scale rather than
    // clip; below the knee the signal is untouched.
    constexpr float kKnee = 0.75f;
    const float magnitude = std::fabs(v);
    if (magnitude > kKnee) {
        v = std::copysign(kKnee + (1 - kKnee) * std::tanh((magnitude - kKnee) / (1 - kKnee)), v);
    }
    v = std::clamp(v * 32767.0f, -32768.0f, 32767.0f);
    return static_cast<int16_t>(v + (v >= 0 ? 0.5f : -0.5f));
}

}  // namespace

struct GeneratedMusic::State {
    State(uint32_t seed, int rate, int channels, const GeneratorTiming& timing)
        : seed(seed),
          rate(rate),
          channels(channels),
          layout(seed, rate, timing),
          fadeFrames(std::max<int64_t>(1, std::llround(kFadeSeconds * rate))) {
        pauseNoise.state ^= seed * 2654435761u;
        if (pauseNoise.state == 0) pauseNoise.state = 1;
    }

    void NextSegment() {
        segment = layout.Next();
        inSegment = 0;
        if (segment.pause) {
            voice.reset();
            return;
        }
        voice = std::make_unique<TrackVoice>(seed, segment.number, rate);
        // Renders the track's opening (a whole pattern turn when it is that
        // long) on a copy, so that the track lands on its level.
        TrackVoice probe = *voice;
        const int64_t n = std::min(probe.CycleFrames(), segment.endFrame - segment.startFrame);
        double sum = 0;
        for (int64_t i = 0; i < n; ++i) {
            float l = 0, r = 0;
            probe.Next(l, r);
            if (channels == 1) {
                const double m = 0.5 * (l + r);
                sum += m * m;
            } else {
                sum += static_cast<double>(l) * l + static_cast<double>(r) * r;
            }
        }
        const double meanSquare =
            sum / static_cast<double>(std::max<int64_t>(1, n)) / (channels == 1 ? 1 : 2);
        const double target = std::pow(10.0, segment.levelDbfs / 20);
        gain = meanSquare > 0 ? static_cast<float>(target / std::sqrt(meanSquare)) : 0.0f;
    }

    void Render(int16_t* out, int64_t frames) {
        for (int64_t f = 0; f < frames; ++f) {
            if (inSegment >= segment.endFrame - segment.startFrame) NextSegment();
            if (segment.pause) {
                for (int c = 0; c < channels; ++c) {
                    constexpr uint32_t kValues = 2 * kPauseNoisePeak + 1;
                    *out++ = static_cast<int16_t>(
                        static_cast<int>((pauseNoise.NextBits() >> 8) % kValues) - kPauseNoisePeak);
                }
            } else {
                float l = 0, r = 0;
                voice->Next(l, r);
                const int64_t edge =
                    std::min(inSegment, segment.endFrame - segment.startFrame - 1 - inSegment);
                float g = gain;
                if (edge < fadeFrames)
                    g *= static_cast<float>(edge) / static_cast<float>(fadeFrames);
                if (channels == 1) {
                    *out++ = ToSample(0.5f * (l + r) * g);
                } else {
                    *out++ = ToSample(l * g);
                    *out++ = ToSample(r * g);
                    for (int c = 2; c < channels; ++c) *out++ = ToSample(0.5f * (l + r) * g);
                }
            }
            ++inSegment;
            ++position;
        }
    }

    const uint32_t seed;
    const int rate;
    const int channels;
    LayoutSequence layout;
    const int64_t fadeFrames;
    GeneratedTrack segment;  // empty: the first Render draws the first one
    int64_t inSegment = 0;
    std::unique_ptr<TrackVoice> voice;
    float gain = 0;
    Noise pauseNoise;
    int64_t position = 0;
};

GeneratedMusic::GeneratedMusic(uint32_t seed, int sampleRate, int channels,
                               const GeneratorTiming& timing)
    : m_state(
          std::make_unique<State>(seed, std::max(1, sampleRate), std::max(1, channels), timing)) {}

GeneratedMusic::~GeneratedMusic() = default;

void GeneratedMusic::Render(int16_t* out, int64_t frames) {
    m_state->Render(out, frames);
}

int64_t GeneratedMusic::Position() const {
    return m_state->position;
}

std::vector<GeneratedTrack> GeneratedMusic::Layout(uint32_t seed, int sampleRate, int64_t frames,
                                                   const GeneratorTiming& timing) {
    std::vector<GeneratedTrack> tracks;
    LayoutSequence sequence(seed, std::max(1, sampleRate), timing);
    while (tracks.empty() || tracks.back().endFrame < frames) tracks.push_back(sequence.Next());
    return tracks;
}

}  // namespace wk
