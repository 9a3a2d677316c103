#include <string>
#include <vector>

#include "core/ConfigStore.h"
#include "platform/Tuner.h"
#include "platform/TunerFake.h"
#include "recording/TvInput.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"

namespace wk {
namespace {

constexpr int kCountry = 41;
constexpr int kSatelliteChannel = 1234;

class TvInputTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        SetTuner(&m_tuner);
        StreamNameFile streams;
        const std::tuple<const char*, int32_t, int32_t, int32_t> records[] = {
            {"twice", kSourceMusicTv, 300, 1}, {"Jazz", kSourceRadio, 1601600, 1},
            {"MTV", kSourceMusicTv, 8692, 1},  {"Off", kSourceMusicTv, 9000, 0},
            {"Twice", kSourceMusicTv, 100, 0}, {"Twice", kSourceMusicTv, 200, 1},
            {"Twice", kSourceMusicTv, 250, 1}};
        for (const auto& [name, source, channel, active] : records) {
            StreamRecord r;
            r.name = name;
            r.sourceType = source;
            r.tunerChannel = channel;
            r.active = active;
            streams.AddCopy(r);
        }
        ASSERT_TRUE(streams.save());
    }
    void TearDown() override {
        SetTuner(nullptr);
        TempHomeTest::TearDown();
    }
    static void SetKind(int kind) {
        ConfigStore config;
        config.Load();
        config.SetInt("DirectXCable", kind);
        config.SetInt("CountryCode", kCountry);
        config.SetInt("FreqSatelliteModeSignal", kSatelliteChannel);
        config.SetString("TVInputAntenna", "0");
        ASSERT_TRUE(config.Save());
    }
    TunerFake m_tuner;
};

using Calls = std::vector<std::string>;

// The full sequence of a successful tuning.
Calls Tuned(int antenna, int channel, int radio) {
    const std::string run =
        "RunTunedGraph(" + std::to_string(channel) + "," + std::to_string(radio) + ")";
    return {"OpenDevice(" + std::to_string(kCountry) + "," + std::to_string(antenna) + ")",
            run,
            "StopGraph()",
            run,
            "SelectInput(" + std::to_string(antenna) + ")",
            "SelectModeAndChannel(" + std::to_string(channel) + "," + std::to_string(radio) + ")"};
}

Calls FirstOf(Calls calls, size_t count) {
    calls.resize(count);
    return calls;
}

TEST_F(TvInputTest, TunesTheActiveRecordOfTheTaskStream) {
    struct Case {
        const char* label;
        int kind;
        std::string stream;
        bool openOk;
        int failingRun;  // 0: none
        bool result;
        Calls calls;
    };
    const std::vector<Case> cases = {
        {"kind 3 uses no tuner", 3, "Jazz", true, 0, true, {}},
        {"kind 4 uses no tuner", 4, "Jazz", true, 0, true, {}},
        {"no task", 1, "", true, 0, true, {}},
        {"inactive stream", 1, "Off", true, 0, true, {}},
        {"unknown stream", 1, "Pop", true, 0, true, {}},
        {"names are compared with case", 1, "jazz", true, 0, true, {}},
        {"kind 1 radio stream", 1, "Jazz", true, 0, true, Tuned(1, 1601600, 1)},
        {"kind 1 TV stream", 1, "MTV", true, 0, true, Tuned(1, 8692, 0)},
        {"first active record of the exact name", 1, "Twice", true, 0, true, Tuned(1, 200, 0)},
        {"kind 2 radio stream on the satellite channel", 2, "Jazz", true, 0, true,
         Tuned(0, kSatelliteChannel, 1)},
        {"kind 2 TV stream on the satellite channel", 2, "MTV", true, 0, true,
         Tuned(0, kSatelliteChannel, 0)},
        {"device does not open", 1, "MTV", false, 0, false, FirstOf(Tuned(1, 8692, 0), 1)},
        {"first run fails", 1, "MTV", true, 1, false, FirstOf(Tuned(1, 8692, 0), 2)},
        {"second run fails", 1, "MTV", true, 2, false, Tuned(1, 8692, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        SetKind(c.kind);
        TunerFake tuner;
        tuner.SetOpenResult(c.openOk);
        if (c.failingRun > 0) tuner.SetRunResult(c.failingRun, false);
        SetTuner(&tuner);
        EXPECT_EQ(PrepareTvInput(c.stream), c.result);
        EXPECT_EQ(tuner.CallTexts(), c.calls);
        SetTuner(&m_tuner);
    }
}

TEST_F(TvInputTest, ReleaseStopsOnlyKindsThatUseTheTuner) {
    for (int kind = 1; kind <= 4; ++kind) {
        SCOPED_TRACE(kind);
        SetKind(kind);
        m_tuner.ClearCalls();
        ReleaseTvInput();
        EXPECT_EQ(m_tuner.CallTexts(), kind <= 2 ? Calls{"StopGraph()"} : Calls{});
    }
}

}  // namespace
}  // namespace wk
