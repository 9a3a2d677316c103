#include "export/OggExport.h"

#include <fcntl.h>
#include <ogg/ogg.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <memory>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "core/Clock.h"
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
#include "streamstore/StreamInfo.h"

namespace wk {
namespace {

constexpr int64_t kSampleRate = 44100;
// Wide enough for any stream time times the sample rate.
__extension__ typedef __int128 WideInt;
constexpr size_t kReadBlock = 4096;
// Header, the longest segment table and the longest body.
constexpr long kLongestPage = 27 + 255 + 255 * 255;
constexpr size_t kCopyBlock = 2048;
// How long one run of the decoder may take before it is stopped.
constexpr int64_t kDecoderTimeoutMs = 120000;
// Numbered names tried for one track before giving up.
constexpr int kMaxNameNumber = 100000;
// Damaged input could otherwise fill the trace with one line per page.
constexpr int kMaxInputComplaints = 8;

// ---------------------------------------------------------------------------
// Files

bool WriteAll(std::FILE* out, const void* data, size_t size) {
    return size == 0 || std::fwrite(data, 1, size, out) == size;
}

int64_t FileLength(std::FILE* f) {
    struct stat st {};
    if (f == nullptr || ::fstat(::fileno(f), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool EntryExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
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
// The Ogg Vorbis cutter

// A packet copied out of libogg's buffers, which the next page replaces.
struct SavedPacket {
    std::vector<unsigned char> bytes;
    int64_t granule = -1;
    int64_t samples = 0;   // what the packet adds to the stream's sample position
    bool pageEnd = false;  // the last packet completed on its page
    bool bos = false;

    static SavedPacket From(const ogg_packet& op) {
        SavedPacket p;
        if (op.bytes > 0 && op.packet != nullptr) p.bytes.assign(op.packet, op.packet + op.bytes);
        p.granule = op.granulepos;
        p.bos = op.b_o_s != 0;
        return p;
    }
};

// One output stream: the input's headers, then packets. A page ends where
// the input's page ended (and after the last packet), so the pages keep the
// input's granule positions, including a first audio page that tells the
// decoder to drop samples at the start. The headers go out with the first
// packet, so an output that never gets audio stays empty rather than
// holding a stream without an end.
class OutputStream {
public:
    OutputStream(std::FILE* out, int serial, const std::array<SavedPacket, 3>& headers)
        : m_out(out), m_headers(headers) {
        ogg_stream_init(&m_os, serial);
    }
    ~OutputStream() { ogg_stream_clear(&m_os); }
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    bool Started() const { return m_started; }

    // Adds a packet, writing out the page it ends (the number of pages
    // written goes to *pages). False when writing fails.
    bool Put(const SavedPacket& packet, bool eos, int* pages = nullptr) {
        if (pages != nullptr) *pages = 0;
        if (!m_started && !WriteHeaders()) return false;
        ogg_packet op = View(packet, m_packetNo++);
        op.b_o_s = 0;
        op.e_o_s = eos ? 1 : 0;
        ogg_stream_packetin(&m_os, &op);
        return packet.pageEnd || eos ? Flush(pages) : true;
    }

private:
    bool Flush(int* pages = nullptr) {
        ogg_page page;
        int count = 0;
        // No size limit: a page holds what the input's page held.
        while (ogg_stream_flush_fill(&m_os, &page, std::numeric_limits<int>::max()) != 0) {
            ++count;
            if (!WritePage(page)) return false;
        }
        if (pages != nullptr) *pages = count;
        return true;
    }

    static ogg_packet View(const SavedPacket& p, int64_t packetNo) {
        ogg_packet op{};
        op.packet = const_cast<unsigned char*>(p.bytes.data());
        op.bytes = static_cast<long>(p.bytes.size());
        op.granulepos = p.granule;
        op.packetno = packetNo;
        return op;
    }

    bool WriteHeaders() {
        m_started = true;
        for (size_t i = 0; i < m_headers.size(); ++i) {
            ogg_packet op = View(m_headers[i], m_packetNo++);
            op.b_o_s = i == 0 ? 1 : 0;
            op.granulepos = 0;
            ogg_stream_packetin(&m_os, &op);
        }
        // The audio must begin on a page of its own.
        return Flush();
    }

    bool WritePage(const ogg_page& page) {
        return WriteAll(m_out, page.header, static_cast<size_t>(page.header_len)) &&
               WriteAll(m_out, page.body, static_cast<size_t>(page.body_len));
    }

    std::FILE* m_out;
    const std::array<SavedPacket, 3>& m_headers;
    ogg_stream_state m_os{};
    int64_t m_packetNo = 0;
    bool m_started = false;
};

int RandomSerial(int avoid) {
    uint32_t seed = 0;
    try {
        std::random_device device;
        seed = device();
    } catch (const std::exception&) {
        seed = static_cast<uint32_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    std::mt19937 generator(seed);
    int serial = avoid;
    while (serial == avoid) serial = static_cast<int>(generator());
    return serial;
}

class OggCutter {
public:
    OggCutter(std::FILE* in, std::FILE* first, std::FILE* second, int64_t cutPoint)
        : m_in(in), m_first(first), m_second(second), m_cut(cutPoint) {
        ogg_sync_init(&m_sync);
        vorbis_info_init(&m_info);
        vorbis_comment_init(&m_comment);
    }
    ~OggCutter() {
        if (m_inReady) ogg_stream_clear(&m_inStream);
        vorbis_comment_clear(&m_comment);
        vorbis_info_clear(&m_info);
        ogg_sync_clear(&m_sync);
    }
    OggCutter(const OggCutter&) = delete;
    OggCutter& operator=(const OggCutter&) = delete;

    int Run();

private:
    // 1: a page; 0: the input has ended; -1: bytes had to be skipped.
    int NextPage(ogg_page& page);
    // Traces a problem of the input, up to kMaxInputComplaints of them.
    void Complain(const char* text);
    bool ReadHeaders();
    // Takes every packet the input stream completed; bad ones are left out
    // with `badPacketText` in the trace.
    std::vector<SavedPacket> TakePackets(const char* badPacketText);
    // Gives the packets of a page with granule position `pageGranule` each
    // its own granule position, counted back from the page's; those that
    // would come out negative (a stream whose start is trimmed) get none.
    static void AssignGranules(std::vector<SavedPacket>& packets, int64_t pageGranule);
    int SecondPart(OutputStream& second, SavedPacket prev, SavedPacket straddle,
                   std::vector<SavedPacket> rest, int64_t pageLimit, bool inputEnds);

    std::FILE* m_in;
    std::FILE* m_first;
    std::FILE* m_second;
    int64_t m_cut;

    ogg_sync_state m_sync{};
    ogg_stream_state m_inStream{};
    bool m_inReady = false;
    bool m_inputEnded = false;
    bool m_padded = false;
    int m_serial = 0;
    vorbis_info m_info{};
    vorbis_comment m_comment{};
    std::array<SavedPacket, 3> m_headers;
    long m_prevBlock = 0;  // block size of the previous audio packet, 0 before the first
    int m_complaints = 0;
};

void OggCutter::Complain(const char* text) {
    if (++m_complaints <= kMaxInputComplaints) Trace(kTraceError, "%s", text);
    if (m_complaints == kMaxInputComplaints) {
        Trace(kTraceError, "Further errors of this input are not traced");
    }
}

int OggCutter::NextPage(ogg_page& page) {
    for (;;) {
        const int result = ogg_sync_pageout(&m_sync, &page);
        if (result != 0) return result < 0 ? -1 : 1;
        if (m_inputEnded) return 0;
        char* buffer = ogg_sync_buffer(&m_sync, static_cast<long>(kReadBlock));
        if (buffer == nullptr) return 0;
        const size_t got = std::fread(buffer, 1, kReadBlock, m_in);
        ogg_sync_wrote(&m_sync, static_cast<long>(got));
        if (got > 0) continue;
        if (!m_padded && m_sync.fill > m_sync.returned) {
            // Damaged bytes that look like the start of a page longer than
            // the rest of the input would make the sync layer wait for the
            // rest of that page forever and lose the real pages behind it.
            // Zeros (never a page) complete it, so its checksum fails and
            // the search goes on behind it.
            m_padded = true;
            char* pad = ogg_sync_buffer(&m_sync, kLongestPage);
            if (pad == nullptr) return 0;
            std::memset(pad, 0, kLongestPage);
            ogg_sync_wrote(&m_sync, kLongestPage);
            continue;
        }
        m_inputEnded = true;
    }
}

bool OggCutter::ReadHeaders() {
    ogg_page page;
    if (NextPage(page) != 1) {
        Trace(kTraceError, "Input not ogg.");
        return false;
    }
    m_serial = ogg_page_serialno(&page);
    ogg_stream_init(&m_inStream, m_serial);
    m_inReady = true;
    if (ogg_stream_pagein(&m_inStream, &page) != 0) {
        Trace(kTraceError, "Error in first page");
        return false;
    }
    ogg_packet op;
    if (ogg_stream_packetout(&m_inStream, &op) != 1) {
        Trace(kTraceError, "error in first packet");
        return false;
    }
    if (vorbis_synthesis_headerin(&m_info, &m_comment, &op) != 0) {
        Trace(kTraceError, "Error in primary header: not vorbis?");
        return false;
    }
    m_headers[0] = SavedPacket::From(op);
    int count = 1;
    while (count < 3) {
        const int result = ogg_stream_packetout(&m_inStream, &op);
        if (result == 1) {
            if (vorbis_synthesis_headerin(&m_info, &m_comment, &op) != 0) {
                Trace(kTraceError, "Secondary header corrupt");
                return false;
            }
            m_headers[static_cast<size_t>(count++)] = SavedPacket::From(op);
            continue;
        }
        if (result < 0) {
            Trace(kTraceError, "Secondary header corrupt");
            return false;
        }
        const int pageResult = NextPage(page);
        if (pageResult == 0) {
            Trace(kTraceError, "EOF in headers");
            return false;
        }
        if (pageResult < 0 || ogg_stream_pagein(&m_inStream, &page) != 0) {
            Trace(kTraceError, "Secondary header corrupt");
            return false;
        }
    }
    return true;
}

std::vector<SavedPacket> OggCutter::TakePackets(const char* badPacketText) {
    std::vector<SavedPacket> packets;
    ogg_packet op;
    for (;;) {
        const int result = ogg_stream_packetout(&m_inStream, &op);
        if (result == 0) break;
        if (result < 0) {
            Complain(badPacketText);
            continue;
        }
        const long block = vorbis_packet_blocksize(&m_info, &op);
        if (block <= 0) {
            // Not audio (or an empty packet, which carries none): a decoder
            // skips it, so it is left out.
            if (op.bytes > 0) Complain(badPacketText);
            continue;
        }
        SavedPacket packet = SavedPacket::From(op);
        packet.samples = m_prevBlock == 0 ? 0 : (m_prevBlock + block) / 4;
        m_prevBlock = block;
        packets.push_back(std::move(packet));
    }
    if (!packets.empty()) packets.back().pageEnd = true;
    return packets;
}

void OggCutter::AssignGranules(std::vector<SavedPacket>& packets, int64_t pageGranule) {
    if (pageGranule < 0) {
        for (SavedPacket& p : packets) p.granule = -1;
        return;
    }
    int64_t granule = pageGranule;
    for (auto it = packets.rbegin(); it != packets.rend(); ++it) {
        it->granule = granule >= 0 ? granule : -1;
        granule -= it->samples;
    }
}

int OggCutter::Run() {
    if (!ReadHeaders()) {
        Trace(kTraceError, "Error reading headers");
        return -1;
    }
    OutputStream first(m_first, m_serial, m_headers);
    OutputStream second(m_second, RandomSerial(m_serial), m_headers);

    const auto failFirst = [] {
        Trace(kTraceError, "Error writing first output file");
        return -1;
    };

    // First part: whole pages before the cut. The last packet given to the
    // first stream is held back until the next one comes, so that it can
    // still be marked as the end of the stream.
    std::optional<SavedPacket> prev;
    int64_t lastGranule = -1;
    ogg_page page;
    bool found = false;
    bool inputEnds = false;
    int64_t cutPageGranule = 0;
    std::vector<SavedPacket> cutPagePackets;
    while (!found && !inputEnds) {
        const int result = NextPage(page);
        if (result == 0) {
            Trace(kTraceDebug, "Setting eos: update sync returned 0");
            inputEnds = true;
            break;
        }
        if (result < 0 || ogg_stream_pagein(&m_inStream, &page) != 0) {
            Complain("Page error. Corrupt input.");
            continue;
        }
        const int64_t granule = ogg_page_granulepos(&page);
        const bool eos = ogg_page_eos(&page) != 0;
        std::vector<SavedPacket> packets = TakePackets("Bitstream error, continuing");
        if (granule > m_cut) {
            // This page holds the cut. Everything before it stays whole.
            found = true;
            cutPageGranule = granule;
            cutPagePackets = std::move(packets);
            inputEnds = eos;
            break;
        }
        AssignGranules(packets, granule);
        for (SavedPacket& packet : packets) {
            if (prev && !first.Put(*prev, false)) return failFirst();
            prev = std::move(packet);
        }
        if (granule >= 0) lastGranule = granule;
        if (eos) {
            Trace(kTraceDebug, "Found EOS before cut point.");
            inputEnds = true;
        }
    }

    if (!found) {
        Trace(kTraceError, "Cutpoint not within stream. Second file will be empty");
        if (prev && !first.Put(*prev, true)) return failFirst();
        return -1;
    }

    // The page holding the cut: its packets go to the first stream while the
    // position stays at or before the cut; the first to pass it straddles it.
    int64_t position = lastGranule;
    if (position < 0) {
        // The first audio page: its granule position counts back to where
        // the stream starts (after any trimmed samples); a page that is also
        // the last one starts at 0 instead, its end being the trimmed side,
        // unless pages before it were lost.
        position = 0;
        if (!inputEnds || m_complaints > 0) {
            position = cutPageGranule;
            for (const SavedPacket& p : cutPagePackets) position -= p.samples;
        }
    }
    std::optional<SavedPacket> straddle;
    // The audio up to the cut was lost with damaged pages: nothing more for
    // the first part, and the second begins where the audio comes back.
    bool lostBeforeCut = false;
    size_t next = 0;
    while (next < cutPagePackets.size()) {
        SavedPacket& packet = cutPagePackets[next++];
        position += packet.samples;
        if (position <= m_cut) {
            packet.granule = position;
            if (prev && !first.Put(*prev, false)) return failFirst();
            prev = std::move(packet);
        } else if (!prev && m_complaints > 0) {
            lostBeforeCut = true;
            prev = std::move(packet);
        } else {
            straddle = std::move(packet);
            break;
        }
    }
    if (!prev || !straddle) {
        Trace(kTraceError, "Unhandled special case: first file too short?");
        if (prev && !lostBeforeCut && !first.Put(*prev, true)) return failFirst();
        return -1;
    }
    if (lostBeforeCut) {
        Trace(kTraceError,
              "The audio before the cut point is lost; the second part begins after it");
    } else {
        // The straddling packet ends the first stream; its granule position
        // tells the decoder to drop what it produces beyond the cut.
        SavedPacket last = *straddle;
        last.granule = m_cut;
        if (!first.Put(*prev, false) || !first.Put(last, true)) return failFirst();
    }

    std::vector<SavedPacket> rest(
        std::make_move_iterator(cutPagePackets.begin() + static_cast<std::ptrdiff_t>(next)),
        std::make_move_iterator(cutPagePackets.end()));
    const int64_t pageLimit = cutPageGranule - m_cut;
    if (inputEnds && position > cutPageGranule) {
        // The stream ends inside the straddling packet's output: the few
        // samples between the cut and the end would need both ends of that
        // one packet's output dropped, which granule positions cannot say.
        Trace(kTraceDebug,
              "Cut point within the last packet; the %lld samples after it are left out",
              static_cast<long long>(pageLimit));
        return 0;
    }
    straddle->granule = position - m_cut;
    return SecondPart(second, std::move(*prev), std::move(*straddle), std::move(rest), pageLimit,
                      inputEnds);
}

int OggCutter::SecondPart(OutputStream& second, SavedPacket prev, SavedPacket straddle,
                          std::vector<SavedPacket> rest, int64_t pageLimit, bool inputEnds) {
    const auto failSecond = [] {
        Trace(kTraceError, "Error writing second output file");
        return -1;
    };
    // The two packets before the cut let a decoder overlap into the first
    // sample after it; the granule position of the second one makes it drop
    // what lies before the cut.
    prev.granule = 0;
    prev.pageEnd = false;
    if (!second.Put(prev, false)) return failSecond();
    int64_t running = straddle.granule;
    SavedPacket held = std::move(straddle);
    held.pageEnd = true;  // the two on a page of their own
    int written = 1;      // packets given to the second stream

    // Writes the held packet and holds `packet` instead.
    const auto emit = [&](SavedPacket packet) {
        const bool firstPage = ++written == 2;
        int pages = 0;
        if (!second.Put(held, false, &pages)) return false;
        if (firstPage && pages > 1) {
            Trace(kTraceError,
                  "ERROR: First two audio packets did not fit into one ogg page. File may not "
                  "decode correctly.");
        }
        held = std::move(packet);
        return true;
    };
    const auto take = [&](std::vector<SavedPacket>& packets) {
        for (SavedPacket& packet : packets) {
            running = std::min(running + packet.samples, pageLimit);
            packet.granule = running;
            if (!emit(std::move(packet))) return false;
        }
        return true;
    };

    if (!take(rest)) return failSecond();
    ogg_page page;
    while (!inputEnds) {
        const int result = NextPage(page);
        if (result == 0) {
            Trace(kTraceDebug, "Update sync returned 0, setting eos");
            break;
        }
        if (result < 0 || ogg_stream_pagein(&m_inStream, &page) != 0) {
            Complain("Recoverable bitstream error");
            continue;
        }
        const int64_t granule = ogg_page_granulepos(&page);
        if (granule >= 0) pageLimit = granule - m_cut;
        inputEnds = ogg_page_eos(&page) != 0;
        std::vector<SavedPacket> packets = TakePackets("Bitstream error");
        if (!take(packets)) return failSecond();
    }
    int pages = 0;
    const bool firstPage = ++written == 2;
    if (!second.Put(held, true, &pages)) return failSecond();
    if (firstPage && pages > 1) {
        Trace(kTraceError,
              "ERROR: First two audio packets did not fit into one ogg page. File may not "
              "decode correctly.");
    }
    return 0;
}

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

int64_t PathLength(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : 0;
}

// The number of the last chunk the session has on disk, 0 when none.
int LastChunkOf(const MP3SingleSaving& session) {
    if (session.spans.empty() || session.length <= 0) return 0;
    const int64_t n = (session.spans.back().start - session.start) / session.length + 1;
    return static_cast<int>(std::clamp<int64_t>(n, 0, std::numeric_limits<int>::max()));
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

int CutOggStream(std::FILE* in, std::FILE* first, std::FILE* second, int64_t cutPoint) {
    if (in == nullptr || first == nullptr || second == nullptr) {
        Trace(kTraceError, "Ogg cut without its files");
        return -1;
    }
    OggCutter cutter(in, first, second, cutPoint);
    return cutter.Run();
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
    const std::string extension = wavMode ? ".wav" : ".ogg";
    std::string fileName = CollisionFreeName(dirs.music, name, extension);
    for (int k = 2; EntryExists(FolderFile(dirs.temp, fileName)); ++k) {
        if (k > kMaxNameNumber) {
            Trace(kTraceError, "ogg export failed for file %s: no free file name", name.c_str());
            return {};
        }
        // The number goes with the extension, which a long name is never
        // cut into.
        std::string suffix = "_";
        suffix += std::to_string(k);
        suffix += extension;
        fileName = CollisionFreeName(dirs.music, name, suffix);
    }
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

    const int a = ChunkIndexAt(*session, start);
    int b = ChunkIndexAt(*session, end);
    const int lastChunk = LastChunkOf(*session);
    // An end after the recorded data ends the track with the last chunk
    // there is, taken to its end.
    const bool toEndOfData = b < 0 || b > lastChunk;
    if (toEndOfData) b = lastChunk;
    if (a < 1 || b < a) {
        Trace(kTraceError, "ogg export failed for file %s: nothing recorded from its start on",
              name.c_str());
        return {};
    }
    const int64_t sa = OggCutPoint(*session, a, start);
    const int64_t eb = toEndOfData ? 0 : OggCutPoint(*session, b, end);
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

    // The pieces: chunk a from sa (whole when sa is 0), the chunks between
    // whole, chunk b up to eb (whole at the end of the data, nothing when
    // eb is 0); within one chunk the stretch from sa to eb.
    struct Piece {
        int chunk;
        PieceKind kind;
        int64_t from;
        int64_t to;
    };
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

    // Only whole-chunk copies advance the bar.
    int64_t wholeBytes = 0;
    for (const Piece& p : pieces) {
        if (p.kind == PieceKind::kWhole) wholeBytes += PathLength(ChunkPath(*session, p.chunk));
    }
    progress.SetRange(0, wholeBytes);

    PieceSink sink(out.get(), dirs.temp, decoder, progress);
    // What each chunk gave, for MissingAudio; the last piece of a track
    // that runs past the recorded data wants whatever its chunk holds.
    std::vector<PieceAudio> audio;
    for (size_t i = 0; i < pieces.size(); ++i) {
        const Piece& p = pieces[i];
        if (p.kind == PieceKind::kNone) continue;
        const std::string path = ChunkPath(*session, p.chunk);
        FilePtr in(std::fopen(path.c_str(), "rb"));
        PieceAudio given;
        given.chunk = p.chunk;
        given.wantedMs = TrackMsInChunk(*session, p.chunk, start, end);
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
        given.gotMs = sink.SamplesSince(mark, target) * 1000 / kSampleRate;
        if (toEndOfData && p.chunk == b) given.wantedMs = given.gotMs;
        audio.push_back(given);
    }
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
