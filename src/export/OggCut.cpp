// The Ogg Vorbis cutter: one logical stream split at a sample position at
// page and packet level, without decoding.

#include "export/OggCut.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "core/FileUtil.h"
#include "core/Trace.h"

namespace wk {
namespace {

constexpr size_t kReadBlock = 4096;
// Header, the longest segment table and the longest body.
constexpr long kLongestPage = 27 + 255 + 255 * 255;
// Damaged input could otherwise fill the trace with one line per page.
constexpr int kMaxInputComplaints = 8;

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

}  // namespace

int CutOggStream(std::FILE* in, std::FILE* first, std::FILE* second, int64_t cutPoint) {
    if (in == nullptr || first == nullptr || second == nullptr) {
        Trace(kTraceError, "Ogg cut without its files");
        return -1;
    }
    // Samples count from 0; a cut before them cuts nothing (and the page
    // arithmetic is done relative to the cut, which must stay in range).
    if (cutPoint < 0) {
        Trace(kTraceError, "Ogg cut at sample %lld, before the first",
              static_cast<long long>(cutPoint));
        return -1;
    }
    OggCutter cutter(in, first, second, cutPoint);
    return cutter.Run();
}

}  // namespace wk
