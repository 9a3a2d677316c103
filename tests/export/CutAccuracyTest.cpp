// Where exported songs really start: generator music recorded through the
// real recording path by each engine, songs exported at exact descriptions,
// decoded, and found in the generator's own audio by cross-correlation.

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "descriptions/Description.h"
#include "export/CutAccuracy.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "platform/CaptureDeviceGenerator.h"
#include "platform/GeneratedMusic.h"
#include "recording/EncoderBase.h"
#include "streamstore/ChunkName.h"
#include "streamstore/ChunkStartNote.h"
#include "streamstore/StreamInfo.h"
#include "support/Mp3Decode.h"
#include "support/OggDecode.h"
#include "support/RecordToEnd.h"
#include "support/TempHome.h"

namespace fs = std::filesystem;

namespace wk {
namespace {

const DateTime kStart{2004, 3, 1, 9, 0, 0};
constexpr uint32_t kSeed = 19;
constexpr int kRate = 44100;
constexpr int64_t kSeconds = 30;
const GeneratorTiming kTiming{4, 7, 1, 2};

struct EngineCase {
    const char* name;
    int engine;
    const char* library;  // put into the home as bladeenc.so, or nullptr
    double boundMs;       // half an MP3 frame; Ogg granules are exact
};

class CutAccuracyTest : public test::TempHomeTest,
                        public ::testing::WithParamInterface<EngineCase> {
protected:
    // Records the generator through a real session into 10-second chunks.
    void Record() {
        if (GetParam().library) fs::copy_file(GetParam().library, HomeFile("bladeenc.so"));
        fs::create_directory(HomeFile("stream"));
        RecordingSession session;
        auto device = std::make_unique<CaptureDeviceGenerator>(kSeed, false, kTiming);
        device->SetFrameLimit(kRate * kSeconds);
        session.SetDevice(std::move(device));
        session.Configure(GetParam().engine, 128, 0, 10,
                          HomeFile("stream/" + ChunkSessionName(kStart, 3600, 10)));
        test::RecordToEnd(session);
        m_info.folder = HomeFile("stream");
        UpdateStreamInfo(m_info);
    }
    // The decoded song's mono mix.
    static std::vector<float> Decode(const std::string& path) {
        if (path.ends_with(".ogg")) {
            const test::DecodedOgg d = test::DecodeOgg(path);
            std::vector<float> mono(d.channels[0].size());
            for (size_t i = 0; i < mono.size(); ++i)
                mono[i] = d.channels[1].empty() ? d.channels[0][i]
                                                : (d.channels[0][i] + d.channels[1][i]) / 2;
            return mono;
        }
        std::vector<int16_t> pcm;
        const test::DecodedMp3 d = test::DecodeMp3File(path, &pcm);
        return MonoMix(pcm, d.channels);
    }

    StreamInfo m_info;
    SilentExportProgress m_progress;
};

// Songs start anywhere in a chunk, on a cut and across cuts; each one's
// measured start lies within the bound of its description's start.
TEST_P(CutAccuracyTest, SongsStartWhereTheirDescriptionsSay) {
    Record();
    GeneratedMusic music(kSeed, kRate, 2, kTiming);
    std::vector<int16_t> pcm(size_t{kRate} * kSeconds * 2);
    music.Render(pcm.data(), kRate * kSeconds);
    const std::vector<float> source = MonoMix(pcm, 2);
    const auto layout = GeneratedMusic::Layout(kSeed, kRate, kRate * kSeconds, kTiming);
    const auto inMusic = [&](int64_t from, int64_t to) {
        for (const GeneratedTrack& t : layout)
            if (!t.pause && t.startFrame <= from && to <= t.endFrame) return true;
        return false;
    };

    // Each MP3 chunk's note tells where its first frame's audio begins, as
    // the chunk decoded alone shows (a decoder's delay later).
    for (int n = 1; n <= 3 && GetParam().engine != kEngineVorbis; ++n) {
        const std::string chunk = ChunkPath(m_info.sessions.at(0), n);
        const auto note = ReadChunkStartNote(chunk);
        ASSERT_TRUE(note) << n;
        std::vector<int16_t> chunkPcm;
        test::DecodeMp3File(chunk, &chunkPcm);
        const int64_t nominal = (n - 1) * 10 * kRate;
        const auto place = FindInSource(MonoMix(chunkPcm, 2), source, nominal, kRate / 10, 20000);
        ASSERT_TRUE(place) << n;
        EXPECT_NEAR(double(place->frame - nominal), double(note->firstSample - 529), 10) << n;
    }
    const ExportDirectories dirs = ExportDirectories::ForMusicFolder(HomeFile("music"));
    const StreamTime t0 = kStart.ToStreamTime();
    std::vector<double> errors;
    std::string figures;
    for (int64_t fromMs = 700; fromMs + 2600 < kSeconds * 1000; fromMs += 1931) {
        const double truth = double(fromMs) * kRate / 1000;
        // The comparison window must hold music to be found at all.
        if (!inMusic(int64_t(truth) + 4096, int64_t(truth) + 4096 + 8192)) continue;
        Description track;
        char name[32];
        std::snprintf(name, sizeof name, "Song %lld", static_cast<long long>(fromMs));
        const std::string path = ExportTrack(m_info, t0 + fromMs, t0 + fromMs + 2600, name,
                                             track, dirs, false, m_progress);
        ASSERT_NE(path, "") << fromMs;
        const auto place = FindInSource(Decode(path), source, int64_t(truth), kRate / 10);
        ASSERT_TRUE(place) << fromMs;
        EXPECT_GT(place->correlation, 0.9) << fromMs;
        const double errorMs = (double(place->frame) - truth) * 1000 / kRate;
        errors.push_back(errorMs);
        char figure[16];
        std::snprintf(figure, sizeof figure, " %.1f", errorMs);
        figures += figure;
        EXPECT_LE(std::fabs(errorMs), GetParam().boundMs) << "song from " << fromMs << " ms";
    }
    ASSERT_GE(errors.size(), 6u);
    const ErrorSpread spread = SpreadOf(errors);
    std::printf("%s start errors (ms):%s; p50 %.1f p95 %.1f worst %.1f\n", GetParam().name,
                figures.c_str(), spread.p50, spread.p95, spread.worst);
}

INSTANTIATE_TEST_SUITE_P(
    Engines, CutAccuracyTest,
    ::testing::Values(EngineCase{"lame", kEngineLame, nullptr, 13.1},
                      EngineCase{"blade", kEngineBlade, WAVKEEP_NOGAPLESS_LIBRARY, 13.1},
                      EngineCase{"vorbis", kEngineVorbis, nullptr, 5}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace wk
