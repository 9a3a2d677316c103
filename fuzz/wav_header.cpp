// WAV files as the WAV-file input reads them: header, chunks, samples.
#include <vector>

#include "FuzzSupport.h"
#include "platform/WavReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    wk::fuzz::WriteHomeFile("input.wav", wk::fuzz::AsText(data, size));
    wk::WavReader reader;
    if (!reader.Open(wk::fuzz::ScratchHome() + "input.wav")) return 0;
    if (reader.Channels() < 1 || reader.SampleRate() < 1)
        wk::fuzz::Fail("opened with no channel or rate");
    std::vector<int16_t> samples(static_cast<size_t>(256 * reader.Channels()));
    int64_t total = 0;
    for (int64_t got; (got = reader.Read(samples.data(), 256)) > 0;) total += got;
    if (total > reader.Frames()) wk::fuzz::Fail("more frames read than the header gives");
    return 0;
}
