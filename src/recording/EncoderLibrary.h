#pragma once
// A loaded encoder library with the BladeEnc interface (lame_enc.so,
// bladeenc.so or any library exporting the same functions).
//
// A bare library name is looked up in the program home, then beside the
// executable, then on the system's library path; a name with a '/' is used
// as it is.

#include <string>

#include "bladeenc/BladeEnc.h"
#include "platform/SharedLibrary.h"

namespace wk {

class EncoderLibrary {
public:
    EncoderLibrary() = default;
    ~EncoderLibrary();
    EncoderLibrary(const EncoderLibrary&) = delete;
    EncoderLibrary& operator=(const EncoderLibrary&) = delete;

    // Loads the library; false with the loader's reason in `error`.
    bool Load(const std::string& nameOrPath, std::string* error);
    // Looks up the six functions; false when one of the five required ones
    // is missing (beFlushNoGap is optional).
    bool ResolveFunctions();
    // False when the loader refuses to release it.
    bool Unload();
    bool IsLoaded() const { return m_library.IsLoaded(); }
    const std::string& Path() const { return m_path; }

    BEINITSTREAM initStream = nullptr;
    BEENCODECHUNK encodeChunk = nullptr;
    BEDEINITSTREAM deinitStream = nullptr;
    BECLOSESTREAM closeStream = nullptr;
    BEVERSION version = nullptr;
    BEFLUSHNOGAP flushNoGap = nullptr;
    BEENCODERDELAY encoderDelay = nullptr;  // optional

    // Where a bare name is found: home, beside the executable, else the name
    // itself for the system loader.
    static std::string Locate(const std::string& name);

private:
    SharedLibrary m_library;
    std::string m_path;
};

// The test of the encoder page: loads the file, looks up the five required
// functions and releases it again ("LIB Load %s" / "LIB Free %s").
// False with "Invalid encoder" (or the loader's reason) in `why`.
bool TestEncoderLibrary(const std::string& path, std::string* why);

// Tests the library and copies it into the program home under its own file
// name, replacing an earlier copy. False with the reason in `why`.
bool ImportEncoderLibrary(const std::string& path, std::string* why);

}  // namespace wk
