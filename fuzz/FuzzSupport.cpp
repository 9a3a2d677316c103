#include "FuzzSupport.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "core/ProgramHome.h"

namespace wk::fuzz {

const std::string& ScratchHome() {
    // Never destroyed: the exit handler below still needs it after the
    // destructors of function statics have run.
    static const std::string& home = *new std::string([] {
        std::filesystem::path dir =
            std::filesystem::temp_directory_path() / ("wavkeep-fuzz-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir);
        std::string folder = dir.string() + "/";
        SetProgramHome(folder);
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(ScratchHome(), ignored);
        });
        return folder;
    }());
    return home;
}

void WriteHomeFile(const std::string& name, std::string_view bytes) {
    std::ofstream out(ScratchHome() + name, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) Fail("cannot write the scratch file");
}

}  // namespace wk::fuzz
