#include "recording/EncoderLibrary.h"

#include <filesystem>

#include "core/ProgramHome.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"

namespace wk {

EncoderLibrary::~EncoderLibrary() {
    Unload();
}

std::string EncoderLibrary::Locate(const std::string& name) {
    if (name.find('/') != std::string::npos) return name;
    std::error_code ec;
    for (const std::string& folder : {ProgramFolder(), GetExecutableFolder()}) {
        if (folder.empty()) continue;
        const std::string candidate = folder + name;
        if (std::filesystem::is_regular_file(candidate, ec)) return candidate;
    }
    return name;
}

bool EncoderLibrary::Load(const std::string& nameOrPath, std::string* error) {
    Unload();
    m_path = Locate(nameOrPath);
    return m_library.Load(m_path, error);
}

bool EncoderLibrary::ResolveFunctions() {
    if (!m_library.IsLoaded()) return false;
    auto find = [this](const char* name) { return m_library.Symbol(name); };
    initStream = reinterpret_cast<BEINITSTREAM>(find(TEXT_BEINITSTREAM));
    encodeChunk = reinterpret_cast<BEENCODECHUNK>(find(TEXT_BEENCODECHUNK));
    deinitStream = reinterpret_cast<BEDEINITSTREAM>(find(TEXT_BEDEINITSTREAM));
    closeStream = reinterpret_cast<BECLOSESTREAM>(find(TEXT_BECLOSESTREAM));
    version = reinterpret_cast<BEVERSION>(find(TEXT_BEVERSION));
    flushNoGap = reinterpret_cast<BEFLUSHNOGAP>(find(TEXT_BEFLUSHNOGAP));
    encoderDelay = reinterpret_cast<BEENCODERDELAY>(find(TEXT_BEENCODERDELAY));
    return initStream && encodeChunk && deinitStream && closeStream && version;
}

bool EncoderLibrary::Unload() {
    initStream = nullptr;
    encodeChunk = nullptr;
    deinitStream = nullptr;
    closeStream = nullptr;
    version = nullptr;
    flushNoGap = nullptr;
    encoderDelay = nullptr;
    return m_library.Unload();
}

bool TestEncoderLibrary(const std::string& path, std::string* why) {
    EncoderLibrary library;
    Trace(kTraceDetail, "LIB Load %s", path.c_str());
    std::string error;
    if (!library.Load(path, &error)) {
        if (why) *why = "Invalid encoder: " + error;
        return false;
    }
    const bool complete = library.ResolveFunctions();
    Trace(kTraceDetail, "LIB Free %s", path.c_str());
    library.Unload();
    if (!complete && why) *why = "Invalid encoder";
    return complete;
}

bool ImportEncoderLibrary(const std::string& path, std::string* why) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(path, ec)) {
        if (why) *why = "no such file: " + path;
        return false;
    }
    if (!TestEncoderLibrary(std::filesystem::absolute(path, ec).string(), why)) return false;
    const std::filesystem::path target =
        std::filesystem::path(ProgramFolder()) / std::filesystem::path(path).filename();
    if (std::filesystem::exists(target, ec) && std::filesystem::equivalent(path, target, ec))
        return true;
    // Copied beside and renamed over: a running recorder may have the old copy
    // mapped, and overwriting it in place would pull the code from under it.
    const std::filesystem::path temp = target.string() + ".new";
    std::filesystem::copy_file(path, temp, std::filesystem::copy_options::overwrite_existing, ec);
    if (!ec) std::filesystem::rename(temp, target, ec);
    if (ec) {
        std::filesystem::remove(temp, ec);
        if (why) *why = "cannot copy to " + target.string() + ": " + ec.message();
        return false;
    }
    return true;
}

}  // namespace wk
