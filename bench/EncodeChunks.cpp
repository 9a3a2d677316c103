// Encodes a WAV file through the recorder's chunk writer path (side files,
// chunk cuts) into a folder, as a recording would: the benchmark's "ours".
//
//   wavkeep_bench_encode ENGINE IN.wav OUT_FOLDER [CHUNK_SECONDS]
//   ENGINE: lame | vorbis

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/CTError.h"
#include "platform/WavReader.h"
#include "recording/ChunkEncoder.h"
#include "recording/SideFileCalculator.h"

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s lame|vorbis IN.wav OUT_FOLDER [CHUNK_SECONDS]\n", argv[0]);
        return 2;
    }
    const std::string engine = argv[1];
    const int seconds = argc > 4 ? std::atoi(argv[4]) : 10;
    wk::WavReader wav;
    if (!wav.Open(argv[2])) {
        std::fprintf(stderr, "%s\n", wav.Error().c_str());
        return 1;
    }
    try {
        wk::ChunkEncoder enc;
        enc.SetEngine(engine == "vorbis" ? wk::kEngineVorbis : wk::kEngineLame);
        enc.SetSampleRate(wav.SampleRate());
        enc.SetMode(wav.Channels() == 1 ? 3 : 0);
        enc.Open();
        enc.SetFileName(std::string(argv[3]) + "/chunk");
        enc.SetChunkSize(wk::ChunkEncoder::ChunkBytes(wav.Channels(), wav.SampleRate(), seconds));
        const int block = enc.StartFile();
        wk::SideFileCalculator side(wav.SampleRate(), wav.Channels());
        std::vector<int16_t> pcm(static_cast<size_t>(block));
        for (;;) {
            const int64_t frames = wav.Read(pcm.data(), block / wav.Channels());
            if (frames == 0) break;
            std::fill(pcm.begin() + frames * wav.Channels(), pcm.end(), 0);
            side.AddBlock(pcm);
            enc.SetSideBlocks(side.Dat(), side.Fgp());
            enc.EncodeBlock(pcm.data(), block);
        }
        enc.FlushFile();
        enc.StopFile();
        enc.Close();
        std::printf("%d chunks\n", enc.ChunkNumber());
    } catch (const wk::CTError& e) {
        std::fprintf(stderr, "%s\n", e.GetText().c_str());
        return 1;
    }
    return 0;
}
