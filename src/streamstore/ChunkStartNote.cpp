#include "streamstore/ChunkStartNote.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "core/Trace.h"

namespace wk {

namespace {
constexpr long long kMaxFirstFrameByte = 1 << 16;
}  // namespace

bool WriteChunkStartNote(const std::string& base, const ChunkStartNote& note) {
    std::ostringstream text;
    text << "first-frame-byte " << note.firstFrameByte << "\n"
         << "first-sample " << note.firstSample << "\n"
         << "sample-rate " << note.sampleRate << "\n";
    const std::string path = base + kChunkNoteExtension;
    // Written in place, on the recording thread: a note torn by a crash
    // reads as damaged, and the chunk is then cut by its nominal start.
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text.str();
    out.close();
    if (!out) {
        Trace(kTraceError, "Cannot write the chunk start note %s", path.c_str());
        return false;
    }
    return true;
}

std::optional<ChunkStartNote> ReadChunkStartNote(const std::string& chunkPath) {
    const size_t dot = chunkPath.rfind('.');
    const size_t slash = chunkPath.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    const std::string path = chunkPath.substr(0, dot) + kChunkNoteExtension;
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    ChunkStartNote note;
    bool byte = false, sample = false, rate = false;
    std::string key;
    long long value = 0;
    // Unknown keys are skipped, so that later recorders may add some.
    while (in >> key >> value) {
        if (key == "first-frame-byte") {
            note.firstFrameByte = value;
            byte = true;
        } else if (key == "first-sample") {
            note.firstSample = value;
            sample = true;
        } else if (key == "sample-rate") {
            note.sampleRate = static_cast<int>(value);
            rate = true;
        }
    }
    // A frame starts within the first frame's length, and the audio within a
    // few frames of the cut: anything else is no note of ours.
    const bool sane = byte && sample && rate && note.sampleRate >= 8000 &&
                      note.sampleRate <= 192000 && note.firstFrameByte >= -1 &&
                      note.firstFrameByte <= kMaxFirstFrameByte &&
                      std::llabs(note.firstSample) <= note.sampleRate;
    if (!in.eof() || !sane) {
        Trace(kTraceError, "Chunk start note %s is damaged; the chunk's nominal start is used",
              path.c_str());
        return {};
    }
    return note;
}

}  // namespace wk
