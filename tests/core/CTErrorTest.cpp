#include <set>
#include <string>

#include <gtest/gtest.h>

#include "core/CTError.h"

namespace wk {
namespace {

TEST(CTErrorTest, TextOfControllerThreadError) {
    CTErrorRecorder error(kErrControllerCreateThread);
    EXPECT_EQ(error.GetText(),
              "Error code: 000054 (0x000036)\nDescription: Controller can not create thread");
    EXPECT_STREQ(error.what(), error.GetText().c_str());
}

TEST(CTErrorTest, CodeIsShownInDecimalAndUpperCaseHex) {
    const struct {
        int32_t code;
        const char* prefix;
    } cases[] = {
        {0, "Error code: 000000 (0x000000)\n"},
        {255, "Error code: 000255 (0x0000FF)\n"},
        {0xABCDEF, "Error code: 11259375 (0xABCDEF)\n"},
        {-1, "Error code: -00001 (0xFFFFFFFF)\n"},
    };
    for (const auto& c : cases) {
        CTError error(c.code, "x");
        EXPECT_EQ(error.GetText(), std::string(c.prefix) + "Description: x") << c.code;
    }
}

TEST(CTErrorTest, EveryCodeHasItsOwnDescription) {
    const int32_t codes[] = {
        kErrEncoderNotIdle, kErrEncoderNotOpened, kErrEncoderStarted, kErrEncoderNotStarted,
        kErrEncoderEngineInvalid, kErrEncoderSampleRateInvalid, kErrEncoderBitrateInvalid,
        kErrEncoderModeInvalid, kErrEncoderLoadEngine, kErrEncoderInitEngine,
        kErrEncoderFreeEngine, kErrEncoderStartEngine, kErrEncoderStopEngine, kErrEncoderEncode,
        kErrEncoderFlush, kErrEncoderFileNameInvalid, kErrEncoderCreateFile,
        kErrEncoderWriteFile, kErrRecorderNotIdle, kErrRecorderNotStarted,
        kErrRecorderSampleRateInvalid, kErrRecorderChannelsInvalid, kErrRecorderWaveFormat,
        kErrRecorderWaveOpen, kErrRecorderWaveStart, kErrRecorderWavePrepare,
        kErrRecorderWaveAdd, kErrRecorderWaveUnprepare, kErrControllerNotIdle,
        kErrControllerNotOpened, kErrControllerStarted, kErrControllerNotStarted,
        kErrControllerCreateThread,
    };
    std::set<std::string> seen;
    for (int32_t code : codes) {
        const std::string description = ErrorCodeDescription(code);
        EXPECT_FALSE(description.empty()) << code;
        EXPECT_TRUE(seen.insert(description).second) << code << " repeats " << description;
        EXPECT_EQ(CTErrorRecorder(code).GetDescription(), description);
    }
    EXPECT_EQ(std::string(ErrorCodeDescription(kErrEncoderNotIdle)), "Encoder is not idle");
    EXPECT_EQ(std::string(ErrorCodeDescription(kErrRecorderWaveUnprepare)),
              "Recorder wave unprepare error");

    for (int unknown : {-1, 0, 16, 19, 23, 30, 32, 35, 39, 41, 45, 49, 55, 61396}) {
        EXPECT_STREQ(ErrorCodeDescription(unknown), "") << unknown;
        EXPECT_EQ(CTErrorRecorder(unknown).GetDescription(), "") << unknown;
    }
}

TEST(CTErrorTest, NamesAndDescriptionAreCutToTheirLimits) {
    CTError error(1, std::string(1000, 'd'));
    EXPECT_EQ(error.GetClassName(), "");
    EXPECT_EQ(error.GetMethodName(), "");
    error.SetClassName(std::string(400, 'c'));
    error.SetMethodName(std::string(300, 'm'));
    EXPECT_EQ(error.GetClassName(), std::string(299, 'c'));
    EXPECT_EQ(error.GetMethodName(), std::string(299, 'm'));
    EXPECT_EQ(error.GetDescription(), std::string(699, 'd'));

    error.SetClassName("CTRecorder");
    error.SetMethodName("Start");
    EXPECT_EQ(error.GetFullName(), "CTRecorder::Start");
}

class DetailedError : public CTError {
public:
    DetailedError() : CTError(kErrEncoderWriteFile, "Encoder can not write file") {}
    std::string GetDescription() const override {
        return CTError::GetDescription() + " (disk full)";
    }
};

TEST(CTErrorTest, CaughtAsBaseTheTextUsesTheThrownType) {
    try {
        throw DetailedError();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(),
                     "Error code: 000022 (0x000016)\nDescription: Encoder can not write file "
                     "(disk full)");
    }
    try {
        throw CTErrorRecorder(kErrRecorderWaveOpen);
    } catch (const CTError& e) {
        EXPECT_EQ(e.GetCode(), kErrRecorderWaveOpen);
        EXPECT_NE(dynamic_cast<const CTErrorRecorder*>(&e), nullptr);
    }
}

}  // namespace
}  // namespace wk
