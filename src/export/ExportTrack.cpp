#include "export/ExportTrack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string_view>
#include <vector>

#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "descriptions/Description.h"
#include "export/ExportProgress.h"
#include "export/Id3Tag.h"
#include "export/OggExport.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

// The copy advances the progress bar by at most this many bytes at a time.
constexpr int64_t kCopyBlock = 2048;
// stdio buffer of the files of one export, and the copy's block.
constexpr size_t kFileBuffer = 1 << 16;
// Longest file name the file systems we write to accept, in bytes.
constexpr size_t kMaxFileNameBytes = 255;

// MPEG-1 Layer III bit rates in kbit/s by bitrate index (15 is not allowed).
constexpr int kMpeg1Kbps[16] = {0,   32,  40,  48,  56,  64,  80,  96,
                                112, 128, 160, 192, 224, 256, 320, 0};
// MPEG-2 and 2.5 Layer III.
constexpr int kMpeg2Kbps[16] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
constexpr int kMpeg1Rates[3] = {44100, 48000, 32000};

// The whole length of the Layer III frame a header starts, padding included;
// 0 for the free format, whose length the header does not tell.
int64_t LayerThreeFrameBytes(const uint8_t h[4]) {
    const int version = (h[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    const int bitrateIndex = h[2] >> 4;
    const int rateIndex = (h[2] >> 2) & 3;
    const int padding = (h[2] >> 1) & 1;
    if (rateIndex == 3) return 0;
    int rate = kMpeg1Rates[rateIndex];
    if (version == 2) rate /= 2;
    if (version == 0) rate /= 4;
    if (version == 3) return int64_t{144000} * kMpeg1Kbps[bitrateIndex] / rate + padding;
    const int kbps = kMpeg2Kbps[bitrateIndex];
    return kbps == 0 ? 0 : int64_t{72000} * kbps / rate + padding;
}

// Frames of the same stream: version, layer and sample rate agree.
bool SameStream(const uint8_t a[4], const uint8_t b[4]) {
    return (a[1] & 0xFE) == (b[1] & 0xFE) && (a[2] & 0x0C) == (b[2] & 0x0C);
}

// How many frames after a candidate header must begin where the lengths say.
constexpr int kConfirmingFrames = 2;

// Whether the header the window holds, ending just before `after` in `in`,
// is followed by kConfirmingFrames headers of the same stream, each one
// frame length after the one before. Two or three bytes of audio data pass
// the header test by chance: in LAME's 128 kbit/s output about one byte
// position in 1500, enough for a search from an arbitrary offset to stop at
// one in about every seventh track. The frames after a real header tell it
// from those. When the input ends first, the bytes that are there must fit.
// The file position is left at `after`.
bool ConfirmFrameHeader(std::FILE* in, const std::array<uint8_t, 4>& header, int64_t after) {
    uint8_t current[4] = {header[0], header[1], header[2], header[3]};
    int64_t at = after - 4;
    bool confirmed = true;
    for (int k = 0; k < kConfirmingFrames && confirmed; ++k) {
        const int64_t size = LayerThreeFrameBytes(current);
        if (size <= 4) {
            confirmed = false;
            break;
        }
        at += size;
        uint8_t next[4] = {};
        size_t got = 0;
        if (::fseeko(in, static_cast<off_t>(at), SEEK_SET) == 0) got = std::fread(next, 1, 4, in);
        if (got == 4) {
            confirmed = IsMp3FrameHeader(next) && SameStream(next, header.data());
            std::copy(next, next + 4, current);
            continue;
        }
        // The input ends here: what there is of a header must fit.
        confirmed = (got < 1 || next[0] == 0xFF) &&
                    (got < 2 || (next[1] & 0xFE) == (header[1] & 0xFE)) &&
                    (got < 3 || (next[2] & 0x0C) == (header[2] & 0x0C));
        break;
    }
    std::clearerr(in);
    return ::fseeko(in, static_cast<off_t>(after), SEEK_SET) == 0 && confirmed;
}

// Shifts the bytes of `in` from its current position `position` one at a
// time into `window` until it holds a confirmed frame header, or until
// `position` reaches `limit` or the input ends. On success the file is
// positioned just after the header and `position` is there too.
bool SearchFrameHeader(std::FILE* in, std::array<uint8_t, 4>& window, int64_t& position,
                       int64_t limit) {
    while (position < limit) {
        const int c = std::getc(in);
        if (c == EOF) return false;
        window[0] = window[1];
        window[1] = window[2];
        window[2] = window[3];
        window[3] = static_cast<uint8_t>(c);
        ++position;
        if (IsMp3FrameHeader(window.data()) && ConfirmFrameHeader(in, window, position)) {
            return true;
        }
    }
    return false;
}

int64_t FileLength(std::FILE* f) {
    struct stat st {};
    if (f == nullptr || ::fstat(::fileno(f), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

// A stdio stream with a large buffer of its own (without one, glibc keeps
// its default size whatever setvbuf is asked), so that the frame search's
// single bytes and the tag cost no system calls of their own. The stream is
// closed before its buffer goes.
class BufferedFile {
public:
    explicit BufferedFile(std::FILE* f) : m_f(f) {
        if (m_f != nullptr) {
            m_buffer.resize(kFileBuffer);
            std::setvbuf(m_f, m_buffer.data(), _IOFBF, m_buffer.size());
        }
    }
    ~BufferedFile() { Close(); }
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    std::FILE* get() const { return m_f; }
    // False when the stream could not be flushed or closed.
    bool Close() {
        if (m_f == nullptr) return true;
        const bool ok = std::fclose(m_f) == 0;
        m_f = nullptr;
        return ok;
    }

private:
    std::FILE* m_f;
    std::vector<char> m_buffer;
};

BufferedFile OpenForReading(const std::string& path) {
    return BufferedFile(std::fopen(path.c_str(), "rb"));
}

bool IsUtf8Continuation(char c) {
    return (static_cast<uint8_t>(c) & 0xC0) == 0x80;
}

// The base name (no extension) that files are created under: the file-name
// safe form of `name` with control characters made underscores too, leading
// dots made underscores (so "." and ".." cannot name the folder itself or its
// parent, and nothing becomes a hidden file), and an empty name made "_".
std::string SafeBaseName(const std::string& name) {
    std::string safe = name;
    MakeFileNameSafe(safe);
    for (char& c : safe) {
        const auto u = static_cast<uint8_t>(c);
        if (u < 0x20 || u == 0x7F) c = '_';
    }
    for (char& c : safe) {
        if (c != '.') break;
        c = '_';
    }
    if (safe.empty()) safe.push_back('_');
    return safe;
}

// base + suffix, with base cut so that the whole stays within the file-name
// limit; a cut never splits a UTF-8 sequence.
std::string FitFileName(const std::string& base, const std::string& suffix) {
    if (base.size() + suffix.size() <= kMaxFileNameBytes) return base + suffix;
    size_t keep = suffix.size() < kMaxFileNameBytes ? kMaxFileNameBytes - suffix.size() : 0;
    while (keep > 0 && IsUtf8Continuation(base[keep])) --keep;
    std::string fitted = base.substr(0, keep);
    fitted += suffix;
    return fitted;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    return FolderFile(folder, name);
}

bool EntryExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// A file, link or anything else that is not a folder.
bool NonFolderExists(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return false;
    if (S_ISDIR(st.st_mode)) return false;
    // A link to a folder counts as the folder.
    return !(S_ISLNK(st.st_mode) && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
}

// The collision rule of CollisionFreeName over the music folder; entries of
// the `alsoTaken` folders (the temporary folder, where results wait for
// their move) count as taken for every candidate, so two tracks of one run
// with the same name, or a result left from an earlier run, are kept apart.
std::string FreeFileName(const std::string& musicFolder, const std::string& name,
                         const std::string& extension,
                         std::initializer_list<std::string> alsoTaken) {
    const std::string base = SafeBaseName(name);
    const auto takenElsewhere = [&](const std::string& file) {
        return std::any_of(alsoTaken.begin(), alsoTaken.end(), [&](const std::string& folder) {
            return EntryExists(JoinPath(folder, file));
        });
    };
    std::string file = FitFileName(base, extension);
    if (!NonFolderExists(JoinPath(musicFolder, file)) && !takenElsewhere(file)) return file;
    for (int64_t k = 2;; ++k) {
        std::string suffix = "_";
        suffix += std::to_string(k);
        suffix += extension;
        file = FitFileName(base, suffix);
        if (!EntryExists(JoinPath(musicFolder, file)) && !takenElsewhere(file)) return file;
    }
}

// The number of the last chunk the session has on disk.
int LastRecordedChunk(const MP3SingleSaving& session) {
    if (session.spans.empty() || session.length <= 0) return 0;
    const int64_t n = (session.spans.back().start - session.start) / session.length + 1;
    return static_cast<int>(std::clamp<int64_t>(n, 0, INT32_MAX));
}

// Whether the track's chunks are Ogg Vorbis. A missing chunk's path names
// ".ogg" whatever the stream holds, so the first of chunks a..b that is on
// disk decides, else any chunk of the session that is, else chunk a's path.
bool IsOggTrack(const MP3SingleSaving& session, int a, int b) {
    const auto isOgg = [](const std::string& path) {
        return path.size() >= 4 && path.find(".ogg") == path.size() - 4;
    };
    const auto decide = [&](int n, bool& found) {
        const std::string path = ChunkPath(session, n);
        found = ::access(path.c_str(), F_OK) == 0;
        return found && isOgg(path);
    };
    bool found = false;
    for (int n = std::max(a, 1); n <= b; ++n) {
        const bool ogg = decide(n, found);
        if (found) return ogg;
    }
    for (const ChunkSpan& span : session.spans) {
        if (session.length <= 0) break;
        const int64_t n = (span.start - session.start) / session.length + 1;
        if (n < 1 || n > INT32_MAX) continue;
        const bool ogg = decide(static_cast<int>(n), found);
        if (found) return ogg;
    }
    return isOgg(ChunkPath(session, a));
}

// Follows the frames of the bytes an export writes, from the synced header
// on, by the lengths their headers give. The end offset of a track falls
// inside a frame, and a decoder that meets the cut frame reports the stream
// as broken: WholeEnd tells where the last whole frame ends. Where a missing
// chunk broke the chain, the next header of the same stream picks it up.
class FrameWalker {
public:
    void Feed(const uint8_t* data, size_t n) {
        for (size_t i = 0; i < n;) {
            const int64_t at = m_offset + static_cast<int64_t>(i);
            if (at < m_next) {
                // Inside a frame's body: skip to its end (or this block's).
                const auto skip = static_cast<size_t>(
                    std::min<int64_t>(m_next - at, static_cast<int64_t>(n - i)));
                i += skip;
                continue;
            }
            m_header[m_have++] = data[i++];
            if (m_have < 4) continue;
            const int64_t length = HeaderFits() ? LayerThreeFrameBytes(m_header) : 0;
            if (length > 4) {
                if (m_first[0] == 0) std::copy(m_header, m_header + 4, m_first);
                ++m_frames;
                m_frameStart = m_next;
                m_frameEnd = m_next + length;
                m_next = m_frameEnd;
                m_have = 0;
            } else {
                // Not a header where one belongs: look one byte further.
                std::copy(m_header + 1, m_header + 4, m_header);
                m_have = 3;
                ++m_next;
            }
        }
        m_offset += static_cast<int64_t>(n);
    }
    // Frames begun so far (the last may be cut short).
    int64_t Frames() const { return m_frames; }
    // The playing time of `frames` frames of the stream followed, in ms.
    int64_t MsOf(int64_t frames) const {
        const int version = (m_first[1] >> 3) & 3;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
        const int rateIndex = (m_first[2] >> 2) & 3;
        if (m_first[0] == 0 || rateIndex == 3) return 0;
        const int rate = kMpeg1Rates[rateIndex] / (version == 3 ? 1 : version == 2 ? 2 : 4);
        return frames * (version == 3 ? 1152 : 576) * 1000 / rate;
    }
    // The end of the last whole frame, 0 when there is none: bytes after it
    // belong to a frame cut short or to no frame at all.
    int64_t WholeEnd() const {
        if (m_frameStart < 0) return 0;
        return m_frameEnd <= m_offset ? m_frameEnd : m_frameStart;
    }

private:
    bool HeaderFits() const {
        if (!IsMp3FrameHeader(m_header)) return false;
        return m_first[0] == 0 || SameStream(m_header, m_first);
    }

    int64_t m_offset = 0;       // bytes fed so far
    int64_t m_next = 0;         // where the next header begins
    int64_t m_frameStart = -1;  // the last frame found
    int64_t m_frameEnd = 0;
    int64_t m_frames = 0;
    uint8_t m_header[4] = {};
    int m_have = 0;           // header bytes gathered at m_next
    uint8_t m_first[4] = {};  // the first frame's header
};

// CopyMp3Range, telling `walker` (when given) every byte written.
int64_t CopyRange(std::FILE* in, std::FILE* out, int64_t from, int64_t to, Mp3SyncWindow& sync,
                  CExportProgress& progress, FrameWalker* walker) {
    if (in == nullptr || out == nullptr || ::fseeko(in, static_cast<off_t>(from), SEEK_SET) != 0) {
        Report("Error saving...", 0);
        return 0;
    }
    int64_t position = from;
    int64_t written = 0;
    if (!sync.synced) {
        // The range holds no frame start when the search passes its end.
        if (!SearchFrameHeader(in, sync.bytes, position, to)) return 0;
        if (std::fwrite(sync.bytes.data(), 1, 4, out) != 4) return 0;
        if (walker != nullptr) walker->Feed(sync.bytes.data(), 4);
        sync.synced = true;
        written = 4;
        progress.StepBy(4);
    }
    // Large reads and writes pass the stdio buffers by; the bar still
    // moves by at most kCopyBlock at a time.
    std::vector<uint8_t> block(kFileBuffer);
    while (position < to) {
        const auto n =
            static_cast<size_t>(std::min(static_cast<int64_t>(block.size()), to - position));
        const size_t got = std::fread(block.data(), 1, n, in);
        if (got == 0) break;
        const size_t put = std::fwrite(block.data(), 1, got, out);
        if (walker != nullptr) walker->Feed(block.data(), put);
        written += static_cast<int64_t>(put);
        for (size_t step = 0; step < got; step += kCopyBlock) {
            progress.StepBy(std::min<int64_t>(kCopyBlock, static_cast<int64_t>(got - step)));
        }
        if (put != got || got < n) break;
        position += static_cast<int64_t>(got);
    }
    return written;
}

std::string StripTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// How far a piece may fall short before the song counts as lacking audio:
// the cut points move to frame boundaries and a chunk ends on a whole
// encoder block, which together stay well below this.
constexpr int64_t kPieceSlackMs = 250;

std::string Seconds(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

}  // namespace

ExportDirectories ExportDirectories::ForMusicFolder(const std::string& music) {
    ExportDirectories dirs;
    dirs.music = StripTrailingSlashes(music);
    dirs.temp = JoinPath(dirs.music, "temp");
    dirs.badcut = JoinPath(dirs.music, "badcut");
    return dirs;
}

ExportDirectories ExportDirectories::FromConfig() {
    ConfigStore config;
    config.Load();
    std::string music = config.GetString("ExportPath");
    // An empty value would put the folders at the file system's root.
    if (music == kKeyNotFound || music.empty()) music = ProgramFolder() + "Songs";
    return ForMusicFolder(music);
}

bool ExportDirectories::Ensure() const {
    bool ok = true;
    for (const std::string* dir : {&music, &temp, &badcut}) {
        if (!EnsureDirectory(*dir)) ok = false;
    }
    return ok;
}

bool IsMp3FrameHeader(const uint8_t header[4]) {
    return header[0] == 0xFF && (header[1] & 0xE0) == 0xE0 && (header[1] & 0x18) != 0x08 &&
           (header[1] & 0x06) == 0x02 && (header[2] & 0xF0) != 0xF0 && (header[2] & 0x0C) != 0x0C;
}

int64_t GetMp3FrameLength(const std::string& chunkPath) {
    const FilePtr f(std::fopen(chunkPath.c_str(), "rb"));
    if (!f) return -1;
    std::array<uint8_t, 4> window{};
    int64_t position = 0;
    if (!SearchFrameHeader(f.get(), window, position, INT64_MAX)) return -1;
    // The chunks are constant-bit-rate 44.1 kHz streams: only the bit rate counts.
    return int64_t{kMpeg1Kbps[window[2] >> 4]} * 144000 / 44100;
}

int64_t TrackMsInChunk(const MP3SingleSaving& session, int number, StreamTime start,
                       StreamTime end) {
    const StreamTime chunkStart = session.start + (int64_t{number} - 1) * session.length;
    const StreamTime chunkEnd =
        std::min(chunkStart + session.length, session.start + session.duration);
    return std::max<int64_t>(0, std::min(end, chunkEnd) - std::max(start, chunkStart));
}

std::string MissingAudio(const std::vector<PieceAudio>& pieces) {
    int64_t lackingMs = 0;
    std::string detail;
    for (const PieceAudio& p : pieces) {
        const int64_t shortMs = p.wantedMs - p.gotMs;
        if (!p.unreadable && shortMs <= kPieceSlackMs) continue;
        lackingMs += std::max<int64_t>(shortMs, 0);
        if (!detail.empty()) detail += ", ";
        detail += "chunk " + std::to_string(p.chunk);
        detail += p.unreadable ? " cannot be read"
                  : p.gotMs == 0 ? " gave no audio"
                                 : " gave " + Seconds(p.gotMs) + " of " + Seconds(p.wantedMs);
    }
    if (detail.empty()) return {};
    return "lacks " + Seconds(lackingMs) + " of audio (" + detail + ")";
}

int64_t Mp3FrameNumber(const MP3SingleSaving& session, int chunk, StreamTime t) {
    const int64_t intoChunk = t - (int64_t{chunk} - 1) * session.length - session.start;
    return static_cast<int64_t>(static_cast<double>(intoChunk) * kMp3FramesPerMs);
}

int64_t CopyMp3Range(std::FILE* in, std::FILE* out, int64_t from, int64_t to, Mp3SyncWindow& sync,
                     CExportProgress& progress) {
    return CopyRange(in, out, from, to, sync, progress, nullptr);
}

std::FILE* CreateExportFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* f = ::fdopen(fd, "wb");
    if (f == nullptr) ::close(fd);
    return f;
}

std::string CollisionFreeName(const std::string& musicFolder, const std::string& name,
                              const std::string& extension) {
    return FreeFileName(musicFolder, name, extension, {});
}

std::string ExportTrack(const StreamInfo& info, StreamTime start, StreamTime end,
                        const std::string& name, const Description& track,
                        const ExportDirectories& dirs, bool wavMode, CExportProgress& progress,
                        std::string* missing) {
    if (missing) missing->clear();
    if (start == end) return {};
    const std::string safeName = SafeBaseName(name);
    const MP3SingleSaving* session = FindSession(info, start);
    if (session == nullptr) {
        Trace(kTraceError, "export failed for file %s because of NULL MP3SingleSaving*",
              safeName.c_str());
        return {};
    }
    if (end < start) {
        Trace(kTraceError, "export failed for file %s because it ends before it starts",
              safeName.c_str());
        return {};
    }
    if (!EnsureDirectory(dirs.music)) {
        Trace(kTraceError, "export failed because the export directory could not be created");
        return {};
    }
    if (!EnsureDirectory(dirs.temp)) {
        Trace(kTraceError, "export failed because the export temp directory could not be created");
        return {};
    }
    if (!EnsureDirectory(dirs.badcut)) {
        Trace(kTraceError,
              "export failed because the export badcut directory could not be created");
        return {};
    }

    const int a = ChunkIndexAt(*session, start);
    int b = ChunkIndexAt(*session, end);
    // An end after the recorded data (after the session, or after its last
    // chunk on disk) ends the track with the last chunk there is.
    const int lastChunk = std::max(LastRecordedChunk(*session), a);
    const bool toEndOfData = b < 0 || b > lastChunk;
    if (toEndOfData) b = lastChunk;
    if (IsOggTrack(*session, a, b)) {
        Trace(kTraceDebug, "...exporting in a case of OGG");
        return ExportOggTrack(info, start, end, safeName, track, dirs, wavMode, progress, missing);
    }
    if (toEndOfData) {
        Trace(kTraceDebug, "export of %s: the end lies after the recorded data, chunk %d ends it",
              safeName.c_str(), b);
    }

    const std::string fileName = FreeFileName(dirs.music, safeName, ".mp3", {dirs.temp});
    const std::string target = JoinPath(dirs.temp, fileName);
    progress.SetFileName(fileName);

    const int64_t fa = Mp3FrameNumber(*session, a, start);
    const int64_t fb = toEndOfData ? 0 : Mp3FrameNumber(*session, b, end);

    // Not through a link someone left in the temporary folder.
    BufferedFile out(CreateExportFile(target));
    if (out.get() == nullptr) {
        Trace(kTraceError, "export of %s: cannot create %s (errno %d)", safeName.c_str(),
              target.c_str(), errno);
        Report("Can't create file with name " + safeName, 0);
        return {};
    }
    const auto fail = [&](const char* why) {
        Trace(kTraceError, "export failed for file %s: %s", safeName.c_str(), why);
        out.Close();
        ::unlink(target.c_str());
        return std::string();
    };

    const std::string pathA = ChunkPath(*session, a);
    const int64_t frameLength = GetMp3FrameLength(pathA);
    BufferedFile inA = OpenForReading(pathA);
    const int64_t lengthA = FileLength(inA.get());
    const int64_t from = frameLength * fa;

    int64_t expected = 0;
    if (a == b) {
        expected = (toEndOfData ? lengthA : frameLength * fb) - from;
    } else {
        expected =
            (lengthA - from) + (b - a - 1) * lengthA + (toEndOfData ? lengthA : frameLength * fb);
    }
    progress.SetRange(from, from + std::max<int64_t>(expected, 0));
    Mp3SyncWindow sync;
    FrameWalker walker;

    // What each chunk gave, for MissingAudio; the last piece of a track
    // that runs past the recorded data wants whatever its chunk holds.
    std::vector<PieceAudio> pieces;
    const auto piece = [&](int n, bool readable, int64_t framesBefore) {
        PieceAudio p;
        p.chunk = n;
        p.unreadable = !readable;
        p.gotMs = walker.MsOf(walker.Frames() - framesBefore);
        p.wantedMs = toEndOfData && n == b ? p.gotMs : TrackMsInChunk(*session, n, start, end);
        pieces.push_back(p);
    };
    int64_t written = 0;
    if (a == b) {
        if (inA.get() == nullptr) {
            Trace(kTraceError, "[L %d] Error opening file %s", 1230, pathA.c_str());
            return fail("its chunk cannot be read");
        }
        written = CopyRange(inA.get(), out.get(), from, toEndOfData ? lengthA : frameLength * fb,
                            sync, progress, &walker);
        piece(a, true, 0);
    } else {
        if (inA.get() == nullptr) {
            Trace(kTraceError, "[L %d] Error opening file %s", 1230, pathA.c_str());
        }
        written += CopyRange(inA.get(), out.get(), from, lengthA, sync, progress, &walker);
        piece(a, inA.get() != nullptr, 0);
        for (int n = a + 1; n < b; ++n) {
            const std::string path = ChunkPath(*session, n);
            BufferedFile in = OpenForReading(path);
            const int64_t before = walker.Frames();
            if (in.get() == nullptr) {
                Trace(kTraceError, "[L %d] Error opening file %s", 1242, path.c_str());
            } else {
                written += CopyRange(in.get(), out.get(), 0, FileLength(in.get()), sync, progress,
                                     &walker);
            }
            piece(n, in.get() != nullptr, before);
        }
        // An end on the chunk's first frame takes nothing from it.
        if (toEndOfData || fb > 0) {
            const std::string path = ChunkPath(*session, b);
            BufferedFile in = OpenForReading(path);
            const int64_t before = walker.Frames();
            if (in.get() == nullptr) {
                Trace(kTraceError, "[L %d] Error opening file %s", 1259, path.c_str());
            } else {
                const int64_t to =
                    toEndOfData ? FileLength(in.get()) : GetMp3FrameLength(path) * fb;
                written += CopyRange(in.get(), out.get(), 0, to, sync, progress, &walker);
            }
            piece(b, in.get() != nullptr, before);
        }
    }

    if (written == 0) return fail("no audio could be read");
    if (std::fflush(out.get()) != 0 || std::ferror(out.get()) != 0) {
        return fail("writing the file failed");
    }
    const int64_t audioEnd = walker.WholeEnd();
    if (audioEnd == 0) return fail("no whole frame could be read");
    if (audioEnd < written && ::ftruncate(::fileno(out.get()), static_cast<off_t>(audioEnd)) != 0) {
        return fail("writing the file failed");
    }
    if (!WriteId3v1Tag(out.get(), track)) return fail("writing the file failed");
    if (!out.Close()) {
        Trace(kTraceError, "export failed for file %s: writing the file failed", safeName.c_str());
        ::unlink(target.c_str());
        return {};
    }
    if (missing) *missing = MissingAudio(pieces);
    return target;
}

}  // namespace wk
