#include "export/OggExport.h"

#include <fcntl.h>
#include <ogg/ogg.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "core/EventLog.h"
#include "core/FileUtil.h"
#include "core/ProgramHome.h"
#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "core/Translation.h"
#include "export/ExportProgress.h"
#include "export/ExportTrack.h"
#include "platform/Process.h"
#include "platform/WavReader.h"
#include "streamstore/ChunkStartNote.h"
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

constexpr int64_t kSampleRate = 44100;
// Wide enough for any stream time times the sample rate.
__extension__ typedef __int128 WideInt;
constexpr size_t kReadBlock = 4096;
constexpr size_t kCopyBlock = 2048;
// How long one run of the decoder may take before it is stopped.
constexpr int64_t kDecoderTimeoutMs = 120000;

// ---------------------------------------------------------------------------
// Files

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates (truncating) a file for writing, never through a link someone left
// in its place.
FilePtr CreateForWriting(const std::string& path) {
    return FilePtr(CreateExportFile(path));
}

// A new, uniquely named file in `folder`, removed again when the object goes.
class TempFile {
public:
    TempFile(const std::string& folder, const char* suffix) {
        std::string pattern = FolderFile(folder, "wkpiece-XXXXXX");
        const int suffixLength = static_cast<int>(std::strlen(suffix));
        pattern += suffix;
        const int fd = ::mkostemps(pattern.data(), suffixLength, O_CLOEXEC);
        if (fd < 0) {
            m_path = FolderFile(folder, "wkpiece-XXXXXX") + suffix;
            return;
        }
        m_file.reset(::fdopen(fd, "w+b"));
        if (!m_file) {
            ::close(fd);
            ::unlink(pattern.c_str());
            m_path = std::move(pattern);
            return;
        }
        m_path = std::move(pattern);
        m_created = true;
    }
    ~TempFile() {
        m_file.reset();
        if (m_created) ::unlink(m_path.c_str());
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    bool Ok() const { return m_file != nullptr; }
    std::FILE* Get() const { return m_file.get(); }
    const std::string& Path() const { return m_path; }
    // Closes the handle; the file stays until the object goes. False when
    // buffered data could not be written.
    bool Close() {
        std::FILE* f = m_file.release();
        return f == nullptr || std::fclose(f) == 0;
    }

private:
    FilePtr m_file;
    std::string m_path;
    bool m_created = false;
};


// ---------------------------------------------------------------------------
// Pieces

enum class PieceKind {
    kNone,
    kRest,       // from the cut point `from` to the end
    kBeginning,  // from the start to the cut point `to`
    kWhole,      // bytes [0, to)
    kBetween,    // from the cut point `from` to the cut point `to`
};

PieceKind KindOf(int64_t from, int64_t to) {
    if (from > 0 && from != to) return PieceKind::kRest;
    if (from == to && to > 0) return PieceKind::kBeginning;
    if (from == 0 && to > 0) return PieceKind::kWhole;
    return PieceKind::kNone;
}

void CopyWhole(std::FILE* in, std::FILE* out, int64_t to, CExportProgress& progress) {
    std::array<char, kCopyBlock> buffer{};
    // Copied without a look inside, but something that is not Ogg at all
    // would only spoil the file.
    if (std::fseek(in, 0, SEEK_SET) != 0 || std::fread(buffer.data(), 1, 4, in) != 4 ||
        std::memcmp(buffer.data(), "OggS", 4) != 0 || std::fseek(in, 0, SEEK_SET) != 0) {
        Trace(kTraceError, "A chunk that is not an Ogg stream is left out");
        return;
    }
    int64_t position = 0;
    while (position < to) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(kCopyBlock, to - position));
        const size_t got = std::fread(buffer.data(), 1, want, in);
        if (got == 0) break;
        if (!WriteAll(out, buffer.data(), got)) {
            Trace(kTraceError, "Error writing a copied chunk");
            return;
        }
        progress.StepBy(static_cast<int64_t>(got));
        position += static_cast<int64_t>(got);
    }
}

// One cut with the unwanted half going to a temporary file.
void CutKeeping(std::FILE* in, std::FILE* out, int64_t cut, bool keepRest, int line,
                const std::string& tempFolder) {
    TempFile discard(tempFolder, ".ogg");
    if (!discard.Ok()) {
        Trace(kTraceError, "[L %d] Can't create file with name  %s", line, discard.Path().c_str());
        return;
    }
    if (std::fseek(in, 0, SEEK_SET) != 0) {
        Trace(kTraceError, "[L %d] save_ogg(), Vorbis processing failed while cutting", line);
        return;
    }
    const int result = keepRest ? CutOggStream(in, discard.Get(), out, cut)
                                : CutOggStream(in, out, discard.Get(), cut);
    if (result != 0) {
        Trace(kTraceError, "[L %d] save_ogg(), Vorbis processing failed while cutting", line);
    }
}

void WritePiece(std::FILE* in, std::FILE* out, PieceKind kind, int64_t from, int64_t to,
                const std::string& tempFolder, CExportProgress& progress) {
    switch (kind) {
        case PieceKind::kNone:
            return;
        case PieceKind::kRest:
            CutKeeping(in, out, from, true, 691, tempFolder);
            return;
        case PieceKind::kBeginning:
            CutKeeping(in, out, to, false, 727, tempFolder);
            return;
        case PieceKind::kWhole:
            CopyWhole(in, out, to, progress);
            return;
        case PieceKind::kBetween: {
            // The rest after `from` as a stream of its own whose samples count
            // from `from`, then its beginning up to `to`.
            if (to <= from) return;
            if (from <= 0) {
                CutKeeping(in, out, to, false, 727, tempFolder);
                return;
            }
            TempFile middle(tempFolder, ".ogg");
            if (!middle.Ok()) {
                Trace(kTraceError, "[L %d] Can't create file with name  %s", 691,
                      middle.Path().c_str());
                return;
            }
            CutKeeping(in, middle.Get(), from, true, 691, tempFolder);
            if (std::fflush(middle.Get()) != 0 || FileLength(middle.Get()) == 0) return;
            CutKeeping(middle.Get(), out, to - from, false, 727, tempFolder);
            return;
        }
    }
}

// ---------------------------------------------------------------------------
// The external decoder

// A path that no program takes for an option.
std::string ArgumentPath(const std::string& path) {
    if (path.empty() || path[0] != '-') return path;
    std::string safe("./");
    safe += path;
    return safe;
}

void ReportLaunchFailure(const std::string& program) {
    std::string text = LoadTranslatedString(kStrOggConverterLaunchFailed);
    const size_t at = text.find("%s");
    if (at != std::string::npos) {
        text.replace(at, 2, program);
    } else {
        text += ' ';
        text += program;
    }
    Report(text, 0);
}

// Decodes the Ogg file `oggPath` into headerless 16-bit little-endian PCM
// in `rawPath`. False (with the trace and event lines) when that failed.
bool DecodeOggToRaw(const std::string& decoder, const std::string& oggPath,
                    const std::string& rawPath) {
    const std::vector<std::string> args = {decoder,
                                           "-Q",
                                           "-R",
                                           "-b",
                                           "16",
                                           "-e",
                                           "0",
                                           "-s",
                                           "1",
                                           "-o",
                                           ArgumentPath(rawPath),
                                           ArgumentPath(oggPath)};
    int status = 0;
    switch (RunProgram(args, kDecoderTimeoutMs, &status)) {
        case ProgramResult::kDone:
            return true;
        case ProgramResult::kStartFailed:
            Trace(kTraceError, "Cannot start the ogg converter %s", decoder.c_str());
            ReportLaunchFailure(decoder);
            return false;
        case ProgramResult::kTimedOut:
            Trace(
                kTraceError, "The ogg converter %s did not finish %s within %lld s and was stopped",
                decoder.c_str(), oggPath.c_str(), static_cast<long long>(kDecoderTimeoutMs / 1000));
            Report("The ogg converter " + decoder + " did not finish in time and was stopped", 0);
            return false;
        case ProgramResult::kFailed:
            break;
    }
    Trace(kTraceError, "The ogg converter %s failed on %s (status %d)", decoder.c_str(),
          oggPath.c_str(), status);
    return false;
}

// Appends the whole of `path` to `out`; the number of bytes, -1 when the
// file could not be read or `out` not written.
int64_t AppendFile(const std::string& path, std::FILE* out) {
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in) return -1;
    std::array<char, 1 << 15> buffer{};
    int64_t total = 0;
    for (;;) {
        const size_t got = std::fread(buffer.data(), 1, buffer.size(), in.get());
        if (got == 0) break;
        if (!WriteAll(out, buffer.data(), got)) return -1;
        total += static_cast<int64_t>(got);
    }
    return std::ferror(in.get()) != 0 ? -1 : total;
}

// The samples the logical streams within bytes [from, to) of the file at
// `path` hold: the sum of each stream's last granule position. The export
// writes every piece as streams of their own whose granule positions count
// from the piece's first sample.
int64_t OggSamplesIn(const std::string& path, int64_t from, int64_t to) {
    FilePtr in(std::fopen(path.c_str(), "rb"));
    if (!in || to <= from || ::fseeko(in.get(), static_cast<off_t>(from), SEEK_SET) != 0) return 0;
    ogg_sync_state sync;
    ogg_sync_init(&sync);
    int64_t total = 0;
    int64_t streamEnd = 0;
    int64_t left = to - from;
    ogg_page page;
    for (;;) {
        const int got = ogg_sync_pageout(&sync, &page);
        if (got > 0) {
            if (ogg_page_bos(&page) != 0) {
                total += streamEnd;
                streamEnd = 0;
            }
            streamEnd = std::max<int64_t>(streamEnd, ogg_page_granulepos(&page));
            continue;
        }
        if (got < 0) continue;  // a gap: libogg resyncs on the next call
        if (left <= 0) break;
        const auto want = static_cast<size_t>(std::min<int64_t>(left, kReadBlock));
        char* buffer = ogg_sync_buffer(&sync, static_cast<long>(want));
        if (buffer == nullptr) break;
        const size_t n = std::fread(buffer, 1, want, in.get());
        if (n == 0) break;
        ogg_sync_wrote(&sync, static_cast<long>(n));
        left -= static_cast<int64_t>(n);
    }
    ogg_sync_clear(&sync);
    return total + streamEnd;
}

// Where the pieces of one track go: straight into the target, or (WAV mode)
// each through the decoder into the target's PCM data.
class PieceSink {
public:
    PieceSink(std::FILE* target, const std::string& tempFolder, const std::string& decoder,
              CExportProgress& progress)
        : m_target(target), m_temp(tempFolder), m_decoder(decoder), m_progress(progress) {}

    void Add(std::FILE* in, PieceKind kind, int64_t from, int64_t to) {
        if (m_decoder.empty()) {
            WritePiece(in, m_target, kind, from, to, m_temp, m_progress);
            return;
        }
        TempFile piece(m_temp, ".ogg");
        if (!piece.Ok()) {
            Trace(kTraceError, "[L %d] Can't create file with name  %s", 773, piece.Path().c_str());
            Report("Can't create file with name " + piece.Path(), 0);
            return;
        }
        WritePiece(in, piece.Get(), kind, from, to, m_temp, m_progress);
        const bool empty = std::fflush(piece.Get()) != 0 || FileLength(piece.Get()) == 0;
        if (!piece.Close() || empty) return;
        TempFile raw(m_temp, ".raw");
        if (!raw.Ok()) {
            Trace(kTraceError, "[L %d] Can't create file with name  %s", 795, raw.Path().c_str());
            Report("Can't create file with name " + raw.Path(), 0);
            return;
        }
        raw.Close();
        if (!DecodeOggToRaw(m_decoder, piece.Path(), raw.Path())) return;
        const int64_t appended = AppendFile(raw.Path(), m_target);
        if (appended < 0) {
            Trace(kTraceError, "[L %d] Can't create file with name  %s", 795, raw.Path().c_str());
            Report("Can't create file with name " + raw.Path(), 0);
            return;
        }
        if (appended % 4 != 0) {
            Trace(kTraceError, "The ogg converter gave %lld bytes for %s, not whole stereo frames",
                  static_cast<long long>(appended), piece.Path().c_str());
        }
        m_pcmBytes += appended;
    }

    int64_t PcmBytes() const { return m_pcmBytes; }
    // Where the next piece begins, for SamplesSince.
    int64_t Mark() const {
        if (!m_decoder.empty()) return m_pcmBytes;
        std::fflush(m_target);
        return static_cast<int64_t>(::ftello(m_target));
    }
    // The samples the pieces added since `mark`; `targetPath` names m_target.
    int64_t SamplesSince(int64_t mark, const std::string& targetPath) const {
        if (!m_decoder.empty()) return (m_pcmBytes - mark) / 4;
        std::fflush(m_target);
        return OggSamplesIn(targetPath, mark, static_cast<int64_t>(::ftello(m_target)));
    }

private:
    std::FILE* m_target;
    const std::string& m_temp;
    const std::string& m_decoder;
    CExportProgress& m_progress;
    int64_t m_pcmBytes = 0;
};

// One piece of a track: what is taken from chunk `chunk`.
struct Piece {
    int chunk;
    PieceKind kind;
    int64_t from;
    int64_t to;
};

// The pieces of a track over chunks a..b: chunk a from sa (whole when sa is
// 0), the chunks between whole, chunk b up to eb (whole at the end of the
// data, nothing when eb is 0); within one chunk the stretch from sa to eb.
std::vector<Piece> PlanPieces(int a, int b, int64_t sa, int64_t eb, bool toEndOfData) {
    std::vector<Piece> pieces;
    const auto endKind = [&](int64_t from) {
        if (toEndOfData) return from > 0 ? PieceKind::kRest : PieceKind::kWhole;
        if (eb <= 0) return PieceKind::kNone;
        return from > 0 ? PieceKind::kBetween : PieceKind::kBeginning;
    };
    if (a == b) {
        pieces.push_back({a, endKind(sa), sa, eb});
    } else {
        pieces.push_back({a, sa > 0 ? PieceKind::kRest : PieceKind::kWhole, sa, 0});
        for (int n = a + 1; n < b; ++n) pieces.push_back({n, PieceKind::kWhole, 0, 0});
        pieces.push_back({b, endKind(0), 0, eb});
    }
    return pieces;
}

// The track's stretch of its session, and its last chunk `b`.
struct TrackSpan {
    const MP3SingleSaving& session;
    StreamTime start;
    StreamTime end;
    int b;
    bool toEndOfData;
};

// Writes the pieces into `sink` (whose target file is `targetPath`); what
// each chunk gave, for MissingAudio. The last piece of a track that runs
// past the recorded data wants whatever its chunk holds.
std::vector<PieceAudio> WritePieces(const std::vector<Piece>& pieces, const TrackSpan& span,
                                    const std::string& targetPath, PieceSink& sink) {
    std::vector<PieceAudio> audio;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        if (p.kind == PieceKind::kNone) continue;
        const std::string path = ChunkPath(span.session, p.chunk);
        FilePtr in(std::fopen(path.c_str(), "rb"));
        PieceAudio given;
        given.chunk = p.chunk;
        given.wantedMs = TrackMsInChunk(span.session, p.chunk, span.start, span.end);
        if (!in) {
            const int line = i == 0 ? 1532 : (i + 1 == pieces.size() ? 1625 : 1600);
            Trace(kTraceError, "[L %d] Error opening %s", line, path.c_str());
            given.unreadable = true;
            audio.push_back(given);
            continue;
        }
        const int64_t to = p.kind == PieceKind::kWhole ? FileLength(in.get()) : p.to;
        const int64_t mark = sink.Mark();
        sink.Add(in.get(), p.kind, p.from, to);
        given.gotMs = sink.SamplesSince(mark, targetPath) * 1000 / kSampleRate;
        if (span.toEndOfData && p.chunk == span.b) given.wantedMs = given.gotMs;
        audio.push_back(given);
    }
    return audio;
}

int64_t PathLength(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

}  // namespace

int64_t OggCutPoint(const MP3SingleSaving& session, int chunk, StreamTime t) {
    const WideInt offset =
        static_cast<WideInt>(t) - static_cast<WideInt>(chunk - 1) * session.length - session.start;
    const WideInt samples = offset * kSampleRate / 1000;
    if (samples > std::numeric_limits<int64_t>::max()) return std::numeric_limits<int64_t>::max();
    if (samples < std::numeric_limits<int64_t>::min()) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(samples);
}

int64_t NotedOggCutPoint(const MP3SingleSaving& session, int chunk, StreamTime t) {
    const int64_t cut = OggCutPoint(session, chunk, t);
    const auto note = ReadChunkStartNote(ChunkPath(session, chunk));
    if (!note || note->firstFrameByte >= 0) return cut;
    // Far from the limits: the note's offset is at most a second.
    if (cut > INT64_MAX / 2 || cut < INT64_MIN / 2) return cut;
    return cut - note->firstSample;
}

void SaveOggPiece(std::FILE* in, std::FILE* out, int64_t from, int64_t to,
                  const std::string& tempFolder, CExportProgress& progress) {
    if (in == nullptr || out == nullptr) return;
    WritePiece(in, out, KindOf(from, to), from, to, tempFolder, progress);
}

std::string FindOggDecoder() {
    return FindProgram("oggdec", {ProgramFolder()});
}

std::string ExportOggTrack(const StreamInfo& info, StreamTime start, StreamTime end,
                           const std::string& name, const Description& /*track*/,
                           const ExportDirectories& dirs, bool wavMode, CExportProgress& progress,
                           std::string* missing) {
    if (missing) missing->clear();
    if (!(EnsureDirectory(dirs.music) && IsFolder(dirs.music)) ||
        !(EnsureDirectory(dirs.temp) && IsFolder(dirs.temp))) {
        Trace(kTraceError, "ogg export failed because the export directory could not be created");
        return {};
    }

    // The name must be free for the file that the track becomes; a result
    // of this run still waiting in the temporary folder counts as taken.
    const std::string fileName = FreeExportName(dirs, name, wavMode ? ".wav" : ".ogg");
    const std::string target = FolderFile(dirs.temp, fileName);
    progress.SetFileName(fileName);

    const MP3SingleSaving* session = FindSession(info, start);
    if (session == nullptr) {
        Trace(kTraceError, "ogg export failed for file %s because of NULL MP3SingleSaving*",
              name.c_str());
        return {};
    }
    if (end <= start) {
        Trace(kTraceError, "ogg export failed for file %s because it does not end after its start",
              name.c_str());
        return {};
    }

    int a = ChunkIndexAt(*session, start);
    int b = ChunkIndexAt(*session, end);
    const int lastChunk = LastRecordedChunk(*session);
    // An end after the recorded data ends the track with the last chunk
    // there is, taken to its end.
    const bool toEndOfData = b < 0 || b > lastChunk;
    if (toEndOfData) b = lastChunk;
    if (a < 1 || b < a) {
        Trace(kTraceError, "ogg export failed for file %s: nothing recorded from its start on",
              name.c_str());
        return {};
    }
    int64_t sa = NotedOggCutPoint(*session, a, start);
    // A chunk's audio begins on a whole block after its nominal start; a
    // track starting before that starts in the chunk before, which holds it.
    if (sa < 0 && a > 1 && ::access(ChunkPath(*session, a - 1).c_str(), R_OK) == 0) {
        --a;
        sa = NotedOggCutPoint(*session, a, start);
    }
    sa = std::max<int64_t>(sa, 0);
    const int64_t eb = toEndOfData ? 0 : NotedOggCutPoint(*session, b, end);
    Trace(kTraceDebug, "ogg export of %s: chunks %d to %d, from sample %lld to %lld%s",
          name.c_str(), a, b, static_cast<long long>(sa), static_cast<long long>(eb),
          toEndOfData ? " (end of the recorded data)" : "");

    std::string decoder;
    if (wavMode) {
        decoder = FindOggDecoder();
        if (decoder.empty()) {
            Trace(kTraceError, "ogg export failed for file %s: no oggdec in %s or on the PATH",
                  name.c_str(), ProgramFolder().c_str());
            ReportLaunchFailure(ProgramFile("oggdec"));
            return {};
        }
    }

    FilePtr out = CreateForWriting(target);
    if (!out) {
        Trace(kTraceError, "[L %d] Can't create file with name  %s", 1516, target.c_str());
        Report("Can't create file with name " + target, 0);
        return {};
    }
    const auto fail = [&](const char* why) {
        Trace(kTraceError, "ogg export failed for file %s: %s", name.c_str(), why);
        out.reset();
        ::unlink(target.c_str());
        return std::string();
    };
    if (wavMode && !WriteAll(out.get(), WavHeaderForData(kSampleRate, 2, 0).data(), 44)) {
        return fail("the file cannot be written");
    }

    const std::vector<Piece> pieces = PlanPieces(a, b, sa, eb, toEndOfData);
    // Only whole-chunk copies advance the bar.
    int64_t wholeBytes = 0;
    for (const Piece& p : pieces) {
        if (p.kind == PieceKind::kWhole) wholeBytes += PathLength(ChunkPath(*session, p.chunk));
    }
    progress.SetRange(0, wholeBytes);

    PieceSink sink(out.get(), dirs.temp, decoder, progress);
    const TrackSpan span{*session, start, end, b, toEndOfData};
    const std::vector<PieceAudio> audio = WritePieces(pieces, span, target, sink);
    if (missing) *missing = MissingAudio(audio);

    if (std::fflush(out.get()) != 0 || std::ferror(out.get()) != 0) {
        return fail("writing the file failed");
    }
    if (!wavMode) {
        if (FileLength(out.get()) == 0) return fail("no audio could be cut from its chunks");
        if (std::fclose(out.release()) != 0) return fail("writing the file failed");
        return target;
    }

    const int64_t pcmBytes = sink.PcmBytes();
    if (pcmBytes == 0) return fail("no audio could be decoded from its chunks");
    if (pcmBytes > int64_t{std::numeric_limits<uint32_t>::max()} - 36) {
        Report("Failed to create .wav file", 0);
        return fail("too long for a WAV file");
    }
    const std::string header = WavHeaderForData(kSampleRate, 2, static_cast<uint32_t>(pcmBytes));
    if (std::fseek(out.get(), 0, SEEK_SET) != 0 ||
        !WriteAll(out.get(), header.data(), header.size()) || std::fclose(out.release()) != 0) {
        Report("Failed to create .wav file", 0);
        return fail("the WAV header cannot be written");
    }
    return target;
}

}  // namespace wk
