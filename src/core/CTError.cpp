#include "core/CTError.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

#include "core/Translation.h"

namespace wk {
namespace {

struct CodeEntry {
    int code;
    const char* text;
};

constexpr std::array kCodes{
    CodeEntry{kErrEncoderNotIdle, "Encoder is not idle"},
    CodeEntry{kErrEncoderNotOpened, "Encoder is not opened"},
    CodeEntry{kErrEncoderStarted, "Encoder is started"},
    CodeEntry{kErrEncoderNotStarted, "Encoder is not started"},
    CodeEntry{kErrEncoderEngineInvalid, "Encoder engine is not valid"},
    CodeEntry{kErrEncoderSampleRateInvalid, "Encoder sample rate is not valid"},
    CodeEntry{kErrEncoderBitrateInvalid, "Encoder bitrate is not valid"},
    CodeEntry{kErrEncoderModeInvalid, "Encoder mode is not valid"},
    CodeEntry{kErrEncoderLoadEngine, "Encoder load engine error"},
    CodeEntry{kErrEncoderInitEngine, "Encoder init engine error"},
    CodeEntry{kErrEncoderFreeEngine, "Encoder free engine error"},
    CodeEntry{kErrEncoderStartEngine, "Encoder start engine error"},
    CodeEntry{kErrEncoderStopEngine, "Encoder stop engine error"},
    CodeEntry{kErrEncoderEncode, "Encoder encode error"},
    CodeEntry{kErrEncoderFlush, "Encoder flush error"},
    CodeEntry{kErrEncoderFileNameInvalid, "Encoder file name is not valid"},
    CodeEntry{kErrEncoderCreateFile, "Encoder can not create file"},
    CodeEntry{kErrEncoderWriteFile, "Encoder can not write file"},
    CodeEntry{kErrRecorderNotIdle, "Recorder is not idle"},
    CodeEntry{kErrRecorderNotStarted, "Recorder is not started"},
    CodeEntry{kErrRecorderSampleRateInvalid, "Recorder sample rate is not valid"},
    CodeEntry{kErrRecorderChannelsInvalid, "Recorder channels are not valid"},
    CodeEntry{kErrRecorderWaveFormat, "Recorder wave format error"},
    CodeEntry{kErrRecorderWaveOpen, "Recorder wave open error"},
    CodeEntry{kErrRecorderWaveStart, "Recorder wave start error"},
    CodeEntry{kErrRecorderWavePrepare, "Recorder wave prepare error"},
    CodeEntry{kErrRecorderWaveAdd, "Recorder wave add error"},
    CodeEntry{kErrRecorderWaveUnprepare, "Recorder wave unprepare error"},
    CodeEntry{kErrControllerNotIdle, "Controller is not idle"},
    CodeEntry{kErrControllerNotOpened, "Controller is not opened"},
    CodeEntry{kErrControllerStarted, "Controller is started"},
    CodeEntry{kErrControllerNotStarted, "Controller is not started"},
    CodeEntry{kErrControllerCreateThread, "Controller can not create thread"},
};

constexpr bool ByCode(const CodeEntry& a, const CodeEntry& b) { return a.code < b.code; }
static_assert(std::is_sorted(kCodes.begin(), kCodes.end(), ByCode),
              "the code table is searched by halving");

// The printf conversions of a format, in order ("%06i", "%06X", "%s" ...).
std::vector<std::string> Conversions(const std::string& format) {
    std::vector<std::string> result;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        size_t end = format.find_first_of("diouxXeEfFgGaAcspn%", i + 1);
        if (end == std::string::npos) {
            result.push_back(format.substr(i));
            break;
        }
        if (format[end] != '%') result.push_back(format.substr(i, end - i + 1));
        i = end;
    }
    return result;
}

// A catalogue whose translated format asks for other arguments than the
// English one would make snprintf read garbage, so such a translation is
// dropped.
std::string TranslateFormat(const std::string& format) {
    std::string translated = TranslateText(format);
    if (translated != format && Conversions(translated) != Conversions(format)) return format;
    return translated;
}

}  // namespace

const char* ErrorCodeDescription(int code) {
    auto it = std::lower_bound(kCodes.begin(), kCodes.end(), CodeEntry{code, nullptr}, ByCode);
    if (it == kCodes.end() || it->code != code) return "";
    return it->text;
}

CTError::CTError(int32_t code, const std::string& description)
    : m_code(code), m_description(description.substr(0, kMaxDescriptionLength)) {}

void CTError::SetClassName(const std::string& name) {
    m_className = name.substr(0, kMaxNameLength);
}

void CTError::SetMethodName(const std::string& name) {
    m_methodName = name.substr(0, kMaxNameLength);
}

std::string CTError::GetFullName() const {
    return GetClassName() + "::" + GetMethodName();
}

std::string CTError::GetText() const {
    const std::string format = TranslateFormat(LoadStringId(kStrErrorCodeFormat));
    const std::string description = TranslateText(GetDescription());
    const int code = m_code;
    const auto hex = static_cast<unsigned>(m_code);
    const int length = std::snprintf(nullptr, 0, format.c_str(), code, hex, description.c_str());
    if (length <= 0) return {};
    std::string text(static_cast<size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format.c_str(), code, hex, description.c_str());
    return text;
}

const char* CTError::what() const noexcept {
    try {
        m_what = GetText();
    } catch (...) {
        return "CTError";
    }
    return m_what.c_str();
}

CTErrorRecorder::CTErrorRecorder(int32_t code) : CTError(code, ErrorCodeDescription(code)) {}

}  // namespace wk
