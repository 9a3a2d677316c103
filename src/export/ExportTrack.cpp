#include "export/ExportTrack.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
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
#include "export/Mp3Frame.h"
#include "export/OggExport.h"
#include "export/SongTags.h"
#include "streamstore/ChunkStartNote.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

// The copy advances the progress bar by at most this many bytes at a time.
constexpr int64_t kCopyBlock = 2048;
// stdio buffer of the files of one export, and the copy's block.
constexpr size_t kFileBuffer = 1 << 16;
// Longest file name the file systems we write to accept, in bytes.
constexpr size_t kMaxFileNameBytes = 255;

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

}  // namespace

std::string StreamOfFolder(const std::string& folder) {
    const std::string f = StripTrailingSlashes(folder);
    const auto slash = f.find_last_of('/');
    return slash == std::string::npos ? f : f.substr(slash + 1);
}

namespace {

// How far a piece may fall short before the song counts as lacking audio:
// the cut points move to frame boundaries and a chunk ends on a whole
// encoder block, which together stay well below this.
constexpr int64_t kPieceSlackMs = 250;

std::string Seconds(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000.0);
    return text;
}

// A Layer III decoder's first output sample plays the audio this many
// samples before the first frame's own.
constexpr int64_t kDecoderDelay = 529;

// Where the frame that plays `t` first lies in chunk `chunk`, by the chunk's
// start note: counted from the noted first frame, the frame whose decoded
// audio (the decoder's delay included) begins nearest to t. The offset is
// that frame's header, or the file's end when the chunk ends before it.
// Nothing without a usable note, and the caller keeps to the nominal rule.
std::optional<int64_t> NotedFrameOffset(const MP3SingleSaving& session, int chunk, StreamTime t,
                                        std::FILE* in) {
    if (in == nullptr) return std::nullopt;
    const auto note = ReadChunkStartNote(ChunkPath(session, chunk));
    if (!note || note->firstFrameByte < 0) return std::nullopt;
    const int64_t intoChunkMs = t - (int64_t{chunk} - 1) * session.length - session.start;
    if (intoChunkMs < -session.length || intoChunkMs > 2 * session.length) return std::nullopt;
    const int64_t wanted = (intoChunkMs * note->sampleRate + 500) / 1000;
    int64_t position = note->firstFrameByte;
    uint8_t header[4];
    for (int64_t frame = 0;; ++frame) {
        if (::fseeko(in, static_cast<off_t>(position), SEEK_SET) != 0) return std::nullopt;
        if (std::fread(header, 1, 4, in) != 4) return frame == 0 ? std::nullopt
                                                                 : std::optional(position);
        const int64_t bytes = LayerThreeFrameBytes(header);
        if (!IsMp3FrameHeader(header) || bytes <= 4) {
            Trace(kTraceError, "chunk %d: no frame header at byte %lld where its start note "
                  "leads; its nominal start is used", chunk, static_cast<long long>(position));
            return std::nullopt;
        }
        const int64_t samples = (header[1] & 0x18) == 0x18 ? 1152 : 576;
        // The frame's decoded audio begins here relative to t; the next
        // frame is the better start once this one begins over half a frame early.
        const int64_t early = wanted - (note->firstSample + frame * samples - kDecoderDelay);
        if (early <= samples / 2) return position;
        position += bytes;
    }
}

// The chunks of one track: a from the track's start, those between whole,
// b up to its end (whole when the track runs past the recorded data).
struct TrackChunks {
    const MP3SingleSaving& session;
    StreamTime start;
    StreamTime end;
    int a;
    int b;
    bool toEndOfData;
};

// Copies the track's chunks into `out`, telling `walker` every byte and
// `pieces` what each chunk gave. The bytes written; -1 when the track lies
// in one chunk that cannot be read.
int64_t CopyTrackChunks(const TrackChunks& c, std::FILE* out, CExportProgress& progress,
                        FrameWalker& walker, std::vector<PieceAudio>& pieces) {
    const int a = c.a;
    const int b = c.b;
    const bool toEndOfData = c.toEndOfData;
    const int64_t fa = Mp3FrameNumber(c.session, a, c.start);
    const int64_t fb = toEndOfData ? 0 : Mp3FrameNumber(c.session, b, c.end);
    const std::string pathA = ChunkPath(c.session, a);
    const int64_t frameLength = GetMp3FrameLength(pathA);
    BufferedFile inA = OpenForReading(pathA);
    const int64_t lengthA = FileLength(inA.get());
    const int64_t from =
        NotedFrameOffset(c.session, a, c.start, inA.get()).value_or(frameLength * fa);
    // Where chunk n's part of the track ends: its noted frame, else the
    // nominal rule; the file's end when the track runs past the data.
    const auto endIn = [&](int n, std::FILE* in, int64_t nominalFrameLength) -> int64_t {
        if (toEndOfData) return FileLength(in);
        return NotedFrameOffset(c.session, n, c.end, in).value_or(nominalFrameLength * fb);
    };

    int64_t expected = 0;
    if (a == b) {
        expected = (toEndOfData ? lengthA : frameLength * fb) - from;
    } else {
        expected =
            (lengthA - from) + (b - a - 1) * lengthA + (toEndOfData ? lengthA : frameLength * fb);
    }
    progress.SetRange(from, from + std::max<int64_t>(expected, 0));
    Mp3SyncWindow sync;

    // What each chunk gave, for MissingAudio; the last piece of a track
    // that runs past the recorded data wants whatever its chunk holds.
    const auto piece = [&](int n, bool readable, int64_t framesBefore) {
        PieceAudio p;
        p.chunk = n;
        p.unreadable = !readable;
        p.gotMs = walker.MsOf(walker.Frames() - framesBefore);
        p.wantedMs =
            toEndOfData && n == b ? p.gotMs : TrackMsInChunk(c.session, n, c.start, c.end);
        pieces.push_back(p);
    };
    int64_t written = 0;
    if (a == b) {
        if (inA.get() == nullptr) {
            Trace(kTraceError, "[L %d] Error opening file %s", 1230, pathA.c_str());
            return -1;
        }
        written = CopyRange(inA.get(), out, from, endIn(a, inA.get(), frameLength), sync,
                            progress, &walker);
        piece(a, true, 0);
    } else {
        if (inA.get() == nullptr) {
            Trace(kTraceError, "[L %d] Error opening file %s", 1230, pathA.c_str());
        }
        written += CopyRange(inA.get(), out, from, lengthA, sync, progress, &walker);
        piece(a, inA.get() != nullptr, 0);
        for (int n = a + 1; n < b; ++n) {
            const std::string path = ChunkPath(c.session, n);
            BufferedFile in = OpenForReading(path);
            const int64_t before = walker.Frames();
            if (in.get() == nullptr) {
                Trace(kTraceError, "[L %d] Error opening file %s", 1242, path.c_str());
            } else {
                written += CopyRange(in.get(), out, 0, FileLength(in.get()), sync, progress,
                                     &walker);
            }
            piece(n, in.get() != nullptr, before);
        }
        // An end on the chunk's first frame takes nothing from it; with a
        // start note, the bytes before that frame still end the one before.
        const std::string path = ChunkPath(c.session, b);
        if (toEndOfData || fb > 0 || ReadChunkStartNote(path)) {
            BufferedFile in = OpenForReading(path);
            const int64_t before = walker.Frames();
            if (in.get() == nullptr) {
                Trace(kTraceError, "[L %d] Error opening file %s", 1259, path.c_str());
            } else {
                const int64_t to = endIn(b, in.get(), GetMp3FrameLength(path));
                written += CopyRange(in.get(), out, 0, to, sync, progress, &walker);
            }
            piece(b, in.get() != nullptr, before);
        }
    }
    return written;
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

int64_t GetMp3FrameLength(const std::string& chunkPath) {
    const FilePtr f(std::fopen(chunkPath.c_str(), "rb"));
    if (!f) return -1;
    std::array<uint8_t, 4> window{};
    int64_t position = 0;
    if (!SearchFrameHeader(f.get(), window, position, INT64_MAX)) return -1;
    // The chunks are constant-bit-rate 44.1 kHz streams: only the bit rate counts.
    return int64_t{Layer3Kbps(true, window[2] >> 4)} * 144000 / 44100;
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

int LastRecordedChunk(const MP3SingleSaving& session) {
    if (session.spans.empty() || session.length <= 0) return 0;
    const int64_t n = (session.spans.back().start - session.start) / session.length + 1;
    return static_cast<int>(std::clamp<int64_t>(n, 0, INT32_MAX));
}

std::string FreeExportName(const ExportDirectories& dirs, const std::string& name,
                           const std::string& extension) {
    return FreeFileName(dirs.music, name, extension, {dirs.temp});
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

    const std::string fileName = FreeExportName(dirs, safeName, ".mp3");
    const std::string target = JoinPath(dirs.temp, fileName);
    progress.SetFileName(fileName);

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

    // The long tag opens the song; its ReplayGain values follow once the
    // run has been measured.
    const std::string id3v2 =
        RenderId3v2Tag(SongTagsFor(track, StreamOfFolder(info.folder), start));
    if (!WriteAll(out.get(), id3v2.data(), id3v2.size())) return fail("writing the file failed");
    const auto tagBytes = static_cast<int64_t>(id3v2.size());

    const TrackChunks chunks{*session, start, end, a, b, toEndOfData};
    FrameWalker walker;
    std::vector<PieceAudio> pieces;
    const int64_t written = CopyTrackChunks(chunks, out.get(), progress, walker, pieces);
    if (written < 0) return fail("its chunk cannot be read");
    if (written == 0) return fail("no audio could be read");
    if (std::fflush(out.get()) != 0 || std::ferror(out.get()) != 0) {
        return fail("writing the file failed");
    }
    const int64_t audioEnd = walker.WholeEnd();
    if (audioEnd == 0) return fail("no whole frame could be read");
    if (audioEnd < written &&
        ::ftruncate(::fileno(out.get()), static_cast<off_t>(tagBytes + audioEnd)) != 0) {
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
