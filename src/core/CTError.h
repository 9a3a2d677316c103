#pragma once
// The errors the recording classes throw: a numeric code, a description and
// where it happened (class and method), shown to the user as GetText().

#include <cstdint>
#include <exception>
#include <string>

namespace wk {

enum ErrorCode : int32_t {
    kErrEncoderNotIdle = 1,
    kErrEncoderNotOpened = 2,
    kErrEncoderStarted = 3,
    kErrEncoderNotStarted = 4,
    kErrEncoderEngineInvalid = 5,
    kErrEncoderSampleRateInvalid = 6,
    kErrEncoderBitrateInvalid = 7,
    kErrEncoderModeInvalid = 8,
    kErrEncoderLoadEngine = 9,
    kErrEncoderInitEngine = 10,
    kErrEncoderFreeEngine = 11,
    kErrEncoderStartEngine = 12,
    kErrEncoderStopEngine = 13,
    kErrEncoderEncode = 14,
    kErrEncoderFlush = 15,
    kErrEncoderFileNameInvalid = 20,
    kErrEncoderCreateFile = 21,
    kErrEncoderWriteFile = 22,
    kErrRecorderNotIdle = 31,
    kErrRecorderNotStarted = 33,
    kErrRecorderSampleRateInvalid = 34,
    kErrRecorderChannelsInvalid = 36,
    kErrRecorderWaveFormat = 37,
    kErrRecorderWaveOpen = 38,
    kErrRecorderWaveStart = 40,
    kErrRecorderWavePrepare = 42,
    kErrRecorderWaveAdd = 43,
    kErrRecorderWaveUnprepare = 44,
    kErrControllerNotIdle = 50,
    kErrControllerNotOpened = 51,
    kErrControllerStarted = 52,
    kErrControllerNotStarted = 53,
    kErrControllerCreateThread = 54,
};

// The English description of a code; "" for an unknown code.
const char* ErrorCodeDescription(int code);

class CTError : public std::exception {
public:
    static constexpr size_t kMaxNameLength = 299;
    static constexpr size_t kMaxDescriptionLength = 699;

    CTError(int32_t code, const std::string& description);

    int32_t GetCode() const { return m_code; }
    // Longer names and descriptions are cut to the maximum length.
    void SetClassName(const std::string& name);
    void SetMethodName(const std::string& name);

    virtual std::string GetMethodName() const { return m_methodName; }
    virtual std::string GetClassName() const { return m_className; }
    // "Class::Method".
    virtual std::string GetFullName() const;
    virtual std::string GetDescription() const { return m_description; }
    // The translated "Error code: ... Description: ..." text.
    virtual std::string GetText() const;

    const char* what() const noexcept override;

private:
    int32_t m_code;
    std::string m_className;
    std::string m_methodName;
    std::string m_description;
    mutable std::string m_what;
};

// The recorder family's errors; catch sites tell them apart by type.
class CTErrorRecorder : public CTError {
public:
    // Description from the code table.
    explicit CTErrorRecorder(int32_t code);
    CTErrorRecorder(int32_t code, const std::string& description) : CTError(code, description) {}
};

}  // namespace wk
