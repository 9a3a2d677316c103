#include "streamstore/RecordingMarker.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <optional>

#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "streamstore/ChunkName.h"

namespace wk {
namespace {

namespace fs = std::filesystem;

struct Note {
    std::string folder;
    std::string session;
};

std::string AbsoluteFolder(const std::string& folder) {
    std::error_code ec;
    fs::path path = fs::weakly_canonical(fs::absolute(folder.empty() ? "." : folder, ec), ec);
    if (ec) path = folder;
    std::string text = path.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') text.pop_back();
    return text;
}

// A session name as the recorder makes them: a chunk name without its number.
bool IsSessionName(const std::string& session) {
    return ParseChunkName(session + "_1.").has_value();
}

// The note as the file holds it, whether its writer lives or not.
std::optional<Note> ReadNoteFile() {
    std::ifstream in(ProgramFile(kRecordingNoteFile), std::ios::binary);
    if (!in) return std::nullopt;
    Note note;
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("folder=", 0) == 0) note.folder = line.substr(7);
        else if (line.rfind("session=", 0) == 0) note.session = line.substr(8);
    }
    if (note.folder.empty() || !IsSessionName(note.session)) return std::nullopt;
    return note;
}

// The note of a live recorder; nullopt when none is published.
std::optional<Note> ReadNote() {
    std::optional<Note> note = ReadNoteFile();
    // Checked after reading: a recorder that died left its note behind, and
    // its lock went with it.
    if (!note || !FileLock::IsHeld(kRecordingLockName)) return std::nullopt;
    return note;
}

// Whether the MP3 chunk at `path` holds one whole Layer III frame in its
// first 8 KiB (an encoder's first write holds several).
bool HoldsMp3Frame(const std::string& path, uintmax_t size) {
    static constexpr int kKbps[2][15] = {
        {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
        {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}};
    static constexpr int kRates[3] = {44100, 48000, 32000};
    std::ifstream in(path, std::ios::binary);
    std::string head(8192, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    for (size_t i = 0; i + 4 <= head.size(); ++i) {
        const auto b = [&](size_t k) { return static_cast<uint8_t>(head[i + k]); };
        if (b(0) != 0xFF || (b(1) & 0xE6) != 0xE2 || (b(1) & 0x18) == 0x08) continue;
        const int bitrate = b(2) >> 4, rateIndex = (b(2) >> 2) & 3;
        if (bitrate == 0 || bitrate == 15 || rateIndex == 3) continue;
        const bool mpeg1 = (b(1) & 0x18) == 0x18;
        const int shift = mpeg1 ? 0 : ((b(1) & 0x18) == 0x10 ? 1 : 2);
        const int64_t rate = kRates[rateIndex] >> shift;
        const int64_t length = (mpeg1 ? 144000 : 72000) * kKbps[mpeg1 ? 1 : 0][bitrate] / rate +
                               ((b(2) >> 1) & 1);
        return static_cast<int64_t>(i) + length <= static_cast<int64_t>(size);
    }
    return false;
}

// Whether the Ogg chunk at `path` holds a whole page of audio (one whose
// granule position is set) within its first 64 KiB; a longer chunk counts
// as holding audio. The page checksums are not checked: the recorder writes
// whole pages, a kill tears at most the last.
bool HoldsOggAudio(const std::string& path, uintmax_t size) {
    std::ifstream in(path, std::ios::binary);
    std::string head(65536, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    const auto b = [&head](size_t k) { return static_cast<uint8_t>(head[k]); };
    size_t at = 0;
    while (at + 27 <= head.size() && head.compare(at, 4, "OggS") == 0) {
        const size_t segments = b(at + 26);
        if (at + 27 + segments > head.size()) break;
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += b(at + 27 + i);
        const size_t end = at + 27 + segments + body;
        if (end > head.size()) break;
        uint64_t granule = 0;
        for (int i = 7; i >= 0; --i) granule = (granule << 8) | b(at + 6 + static_cast<size_t>(i));
        if (granule != 0 && granule != ~uint64_t{0}) return true;
        at = end;
    }
    return size > head.size();
}

// A recorder killed just after it created a chunk leaves it without a whole
// frame or audio page (and its side files empty): no audio to speak of, and
// no reader can decode any. Removed with its side files when the next
// recorder starts.
void RemoveEmptyChunks(const Note& died) {
    std::error_code ec;
    const std::string prefix = died.session + "_";
    for (fs::directory_iterator it(died.folder, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& path = it->path();
        const std::string name = path.filename().string();
        const std::string ext = path.extension().string();
        if (name.rfind(prefix, 0) != 0 || (ext != ".mp3" && ext != ".ogg")) continue;
        std::error_code sizeError;
        const uintmax_t size = fs::file_size(path, sizeError);
        if (sizeError || (size != 0 && (ext == ".mp3" ? HoldsMp3Frame(path.string(), size)
                                                      : HoldsOggAudio(path.string(), size))))
            continue;
        for (const char* side : {".mp3", ".ogg", ".dat", ".fgp", ".pos"}) {
            fs::path file = path;
            file.replace_extension(side);
            std::error_code e;
            if (fs::remove(file, e))
                Trace(kTraceInfo, "Removed %s: a recorder that was killed left it without audio",
                      file.string().c_str());
        }
    }
}

// Replaces the note at once, never half written. No flush to the disk: the
// note is only true while its writer lives, which no power cut survives, and
// the recording waits while it is written.
bool WriteNote(const std::string& text) {
    const std::string path = ProgramFile(kRecordingNoteFile);
    const std::string temp = path + ".new." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    const bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), path.c_str()) != 0) {
        Trace(kTraceError, "Cannot write %s: %s", path.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool LockStreams(FileLock& lock, int timeoutMs, std::string* why, const std::atomic<int>* cancel) {
    return lock.Acquire(kStreamsLockName, timeoutMs, why, cancel);
}

bool RecordingMarker::Publish(const std::string& folder, const std::string& session, std::string* why) {
    Withdraw();
    if (!m_lock.Acquire(kRecordingLockName, 0, why)) return false;
    // A note found now was left by a recorder that died.
    if (const std::optional<Note> died = ReadNoteFile()) RemoveEmptyChunks(*died);
    std::string text = "folder=" + AbsoluteFolder(folder) + "\nsession=" + session +
                       "\npid=" + std::to_string(::getpid()) + "\n";
    if (folder.find('\n') != std::string::npos || !IsSessionName(session) || !WriteNote(text)) {
        if (why) *why = "cannot note the recording of " + folder + " in " + ProgramFile(kRecordingNoteFile);
        ::unlink(ProgramFile(kRecordingNoteFile).c_str());
        m_lock.Release();
        return false;
    }
    return true;
}

void RecordingMarker::Withdraw() {
    if (!m_lock.Held()) return;
    ::unlink(ProgramFile(kRecordingNoteFile).c_str());
    m_lock.Release();
}

bool SameFolder(const std::string& a, const std::string& b) {
    std::error_code ec;
    if (fs::equivalent(a.empty() ? "." : a, b.empty() ? "." : b, ec) && !ec) return true;
    return AbsoluteFolder(a) == AbsoluteFolder(b);
}

std::string RecordedSessionIn(const std::string& folder) {
    std::string localFolder;
    const std::string local = CurrentSessionPrefix(&localFolder);
    if (!local.empty() && (localFolder.empty() || SameFolder(localFolder, folder))) return local;
    const std::optional<Note> note = ReadNote();
    if (note && SameFolder(note->folder, folder)) return note->session;
    return {};
}

}  // namespace wk
