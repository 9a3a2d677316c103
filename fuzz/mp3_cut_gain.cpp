// The MP3 cutter and the gain change on arbitrary frame data: the first four
// bytes give the cut's two byte offsets (in 1/256ths of the data), the last
// two the gain steps of the channels; the rest is a chunk. The chunk is cut
// in two pieces as a track spanning two chunks is, the result's gain changed,
// then the chunk's own.
#include <sys/stat.h>

#include <cstdio>

#include "FuzzSupport.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "export/Mp3Normalize.h"

namespace {

int64_t FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6) return 0;
    const auto chunkBytes = static_cast<int64_t>(size - 6);
    const int64_t from = chunkBytes * data[0] / 256;
    const int64_t middle = from + (chunkBytes - from) * data[1] / 256;
    const int64_t to = middle + (chunkBytes + 64 - middle) * data[2] / 256;
    const int left = static_cast<int8_t>(data[size - 2]);
    const int right = (data[3] & 1) ? left : static_cast<int8_t>(data[size - 1]);
    const std::string& home = wk::fuzz::ScratchHome();
    wk::fuzz::WriteHomeFile("chunk.mp3", wk::fuzz::AsText(data + 4, size - 6));
    const std::string chunk = home + "chunk.mp3";
    const std::string song = home + "song.mp3";

    (void)wk::GetMp3FrameLength(chunk);
    std::FILE* in = std::fopen(chunk.c_str(), "rb");
    std::FILE* out = wk::CreateExportFile(song);
    if (in == nullptr || out == nullptr) wk::fuzz::Fail("cannot open the scratch files");
    wk::SilentExportProgress progress;
    wk::Mp3SyncWindow sync;
    int64_t written = wk::CopyMp3Range(in, out, from, middle, sync, progress);
    written += wk::CopyMp3Range(in, out, middle, to, sync, progress);
    std::fclose(in);
    if (std::fclose(out) != 0) wk::fuzz::Fail("cannot write the song");
    const int64_t songSize = FileSize(song);
    if (songSize != written || written > chunkBytes - from + 4 || written < 0)
        wk::fuzz::Fail("the cut wrote more than its range");
    if (progress.position != written) wk::fuzz::Fail("the progress does not add up");

    // The gain change rewrites fields in place: the file keeps its size.
    for (const std::string* path : {&song, &chunk}) {
        const int64_t before = FileSize(*path);
        (void)wk::ChangeMp3Gain(*path, left, right);
        if (FileSize(*path) != before) wk::fuzz::Fail("the gain change changed the file's size");
    }
    return 0;
}
