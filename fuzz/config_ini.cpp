// config.ini of the program home, and the recording settings read from it.
#include "FuzzSupport.h"
#include "core/ConfigStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::fuzz::WriteHomeFile("config.ini", wk::fuzz::AsText(data, size));
    wk::ConfigStore config;
    config.Load();
    wk::RecordingSettings settings;
    config.ReadRecordingSettings(settings);
    (void)config.GetInt("DiskSpace");
    (void)config.GetBool("AutoTimeCheck");
    return 0;
}
