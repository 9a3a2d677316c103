#include <gtest/gtest.h>

#include <string>

#include "core/CTError.h"

namespace wk {
namespace {

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
    for (const auto& c : cases)
        EXPECT_EQ(CTError(c.code, "x").GetText(), std::string(c.prefix) + "Description: x")
            << c.code;
    // Codes outside the table have no description.
    for (int unknown : {-1, 0, 16, 19, 23, 30, 32, 35, 39, 41, 45, 49, 55, 61396})
        EXPECT_EQ(CTErrorRecorder(unknown).GetDescription(), "") << unknown;
}

TEST(CTErrorTest, NamesAndDescriptionAreCutToTheirLimits) {
    CTError error(1, std::string(1000, 'd'));
    EXPECT_EQ(error.GetClassName(), "");
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
        EXPECT_STREQ(
            e.what(),
            "Error code: 000022 (0x000016)\nDescription: Encoder can not write file (disk full)");
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
