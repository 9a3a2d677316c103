#include "recording/VorbisWriter.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <exception>
#include <random>

#include "core/CTError.h"
#include "core/Clock.h"
#include "core/RecordingNotifier.h"
#include "core/Trace.h"

namespace wk {
namespace {

constexpr const char* kLibraryName = "libvorbisenc.so.2";
constexpr int kChannels = 2;
constexpr long kSampleRate = 44100;
constexpr float kQuality = 0.0f;
constexpr std::array<int, 14> kValidBitRates = {32,  40,  48,  56,  64,  80,  96,
                                                112, 128, 160, 192, 224, 256, 320};

enum State : int { kIdle = 1, kOpened = 2, kStarted = 3 };

void WritePage(ChunkFiles& files, const ogg_page& page) {
    files.WriteAudio({page.header, static_cast<size_t>(page.header_len)});
    files.WriteAudio({page.body, static_cast<size_t>(page.body_len)});
}

// Moves every finished packet of the analysis into the Ogg stream and every
// full page on to the disc; returns true once the last page was written.
bool Drain(vorbis_dsp_state& vd, vorbis_block& vb, ogg_stream_state& os, ChunkFiles& files) {
    bool eos = false;
    ogg_packet packet;
    ogg_page page;
    while (vorbis_analysis_blockout(&vd, &vb) == 1) {
        vorbis_analysis(&vb, nullptr);
        vorbis_bitrate_addblock(&vb);
        while (vorbis_bitrate_flushpacket(&vd, &packet) != 0) {
            ogg_stream_packetin(&os, &packet);
            while (ogg_stream_pageout(&os, &page) != 0) {
                WritePage(files, page);
                if (ogg_page_eos(&page)) eos = true;
            }
        }
    }
    return eos;
}

// libogg never emits a page without packets, so this one is built by hand.
void WriteEmptyEndPage(ChunkFiles& files, ogg_stream_state& os) {
    unsigned char header[27] = {'O', 'g', 'g', 'S', 0, 0x04};  // version 0, end of stream
    // Bytes 6..13 (granule position 0), 22..25 (checksum) and 26 (no
    // segments) stay zero.
    const auto putLe32 = [&](int at, uint32_t v) {
        for (int i = 0; i < 4; ++i) header[at + i] = static_cast<unsigned char>(v >> (8 * i));
    };
    putLe32(14, static_cast<uint32_t>(os.serialno));
    putLe32(18, static_cast<uint32_t>(os.pageno));
    ++os.pageno;
    ogg_page page{};
    page.header = header;
    page.header_len = sizeof header;
    page.body = header + sizeof header;  // never read: the body is empty
    page.body_len = 0;
    ogg_page_checksum_set(&page);
    WritePage(files, page);
}

}  // namespace

// Each flag records that the matching *_init succeeded, so that a failure
// half-way through setting up or tearing down a stream only clears what
// exists; libvorbis frees nothing twice when every clear is guarded.
struct VorbisWriter::Codec {
    vorbis_info vi{};
    vorbis_comment vc{};
    vorbis_dsp_state vd{};
    vorbis_block vb{};
    ogg_stream_state os{};
    bool infoReady = false;
    bool commentReady = false;
    bool dspReady = false;
    bool blockReady = false;
    bool oggReady = false;
    bool headersQueued = false;  // the three header packets went into `os`
    bool hasAudio = false;       // at least one frame went into the analysis

    Codec() = default;
    Codec(const Codec&) = delete;
    Codec& operator=(const Codec&) = delete;

    ~Codec() {
        // Reverse order of set-up: the block and the dsp state point into
        // the info.
        if (oggReady) ogg_stream_clear(&os);
        if (blockReady) vorbis_block_clear(&vb);
        if (dspReady) vorbis_dsp_clear(&vd);
        if (commentReady) vorbis_comment_clear(&vc);
        if (infoReady) vorbis_info_clear(&vi);
    }
};

VorbisWriter::VorbisWriter() = default;

VorbisWriter::~VorbisWriter() {
    if (m_state == kStarted) {
        // A destructor must not throw; a chunk that cannot be finished keeps
        // whatever reached the disc.
        try {
            EndStream();
        } catch (const std::exception&) {
        }
        try {
            m_files.Close();
        } catch (const std::exception&) {
        }
    }
    m_codec.reset();
}

void VorbisWriter::RequireState(int state, int code) const {
    if (m_state != state) throw CTErrorRecorder(code);
}

void VorbisWriter::Open() {
    RequireState(kIdle, kErrEncoderNotIdle);
    Trace(kTraceDetail, "LIB Load %s", kLibraryName);
    // The encoder is linked in; loading the shared library only proves that
    // the installation the user relies on is complete.
    std::string why;
    if (!m_library.Load(kLibraryName, &why)) {
        Trace(kTraceError, "LIB Load %s failed: %s", kLibraryName, why.c_str());
        throw CTErrorRecorder(kErrEncoderLoadEngine);
    }
    m_state = kOpened;
}

void VorbisWriter::Close() {
    RequireState(kOpened, kErrEncoderNotOpened);
    Trace(kTraceDetail, "LIB Free ogg encoder");
    // A handle the loader refused to release is not usable any more either,
    // so the writer goes back to idle whatever happened.
    std::string why;
    const bool released = m_library.Unload(&why);
    m_codec.reset();
    m_state = kIdle;
    if (!released) {
        Trace(kTraceError, "LIB Free ogg encoder failed: %s", why.c_str());
        throw CTErrorRecorder(kErrEncoderFreeEngine);
    }
}

void VorbisWriter::SetBitRate(int kbps) {
    if (m_state == kStarted) throw CTErrorRecorder(kErrEncoderStarted);
    if (std::find(kValidBitRates.begin(), kValidBitRates.end(), kbps) == kValidBitRates.end())
        throw CTErrorRecorder(kErrEncoderBitrateInvalid);
    m_bitRate = kbps;
}

void VorbisWriter::SetFileName(const std::string& base) {
    if (m_state == kStarted) throw CTErrorRecorder(kErrEncoderStarted);
    if (base.empty()) throw CTErrorRecorder(kErrEncoderFileNameInvalid);
    m_base = base;
}

int VorbisWriter::StartFile() {
    RequireState(kOpened, kErrEncoderNotOpened);
    m_files.Create(m_base, ".ogg");
    try {
        BeginStream();
    } catch (...) {
        m_files.CloseAndDelete();
        throw;
    }
    m_pendingDat.clear();
    m_pendingFgp.clear();
    m_state = kStarted;
    return kBlockSamples;
}

void VorbisWriter::SetSideBlocks(std::span<const uint8_t> dat, std::span<const uint8_t> fgp) {
    m_pendingDat.assign(dat.begin(), dat.end());
    m_pendingFgp.assign(fgp.begin(), fgp.end());
}

void VorbisWriter::BeginStream() {
    m_codec.reset();
    auto codec = std::make_unique<Codec>();
    vorbis_info_init(&codec->vi);
    codec->infoReady = true;
    if (vorbis_encode_init_vbr(&codec->vi, kChannels, kSampleRate, kQuality) != 0) {
        Trace(kTraceError, "Cannot set up the Vorbis encoder");
        throw CTErrorRecorder(kErrEncoderStartEngine);
    }
    vorbis_comment_init(&codec->vc);
    codec->commentReady = true;
    vorbis_comment_add_tag(&codec->vc, "ENCODER", "wavkeep");
    if (vorbis_analysis_init(&codec->vd, &codec->vi) != 0) {
        Trace(kTraceError, "Cannot start the Vorbis analysis");
        throw CTErrorRecorder(kErrEncoderStartEngine);
    }
    codec->dspReady = true;
    vorbis_block_init(&codec->vd, &codec->vb);
    codec->blockReady = true;
    // The Ogg stream waits for the first block: its serial number comes
    // from the time the audio begins, not the time the file was created.
    m_codec = std::move(codec);
}

void VorbisWriter::WriteHeaders() {
    Codec& c = *m_codec;
    if (!c.oggReady) {
        std::minstd_rand generator(static_cast<std::minstd_rand::result_type>(
            GetClock().NowStream() / kMsPerSecond));
        const int serial = static_cast<int>(generator());
        if (ogg_stream_init(&c.os, serial) != 0) {
            Trace(kTraceError, "Cannot start the Ogg stream");
            throw CTErrorRecorder(kErrEncoderStartEngine);
        }
        c.oggReady = true;
    }
    if (!c.headersQueued) {
        ogg_packet header{};
        ogg_packet comments{};
        ogg_packet codebooks{};
        vorbis_analysis_headerout(&c.vd, &c.vc, &header, &comments, &codebooks);
        ogg_stream_packetin(&c.os, &header);
        ogg_stream_packetin(&c.os, &comments);
        ogg_stream_packetin(&c.os, &codebooks);
        // Set before writing: a failed write must not queue the headers twice.
        c.headersQueued = true;
        // Vorbis requires the audio to begin on a fresh page.
        ogg_page page;
        while (ogg_stream_flush(&c.os, &page) != 0) WritePage(m_files, page);
    }
}

void VorbisWriter::EncodeBlock(const int16_t* samples, int count) {
    RequireState(kStarted, kErrEncoderNotStarted);
    // A stream lost to a write failure at a cut is replaced rather than
    // leaving the writer unusable.
    if (!m_codec) BeginStream();
    WriteHeaders();
    Codec& c = *m_codec;
    // The stream is always stereo; a mono recording's sample goes to both sides.
    const int step = m_inputChannels == 1 ? 1 : 2;
    const int frames = std::max(count, 0) / step;
    // Zero frames would tell libvorbis that the stream has ended.
    if (frames > 0) {
        float** buffer = vorbis_analysis_buffer(&c.vd, frames);
        for (int i = 0; i < frames; ++i) {
            buffer[0][i] = static_cast<float>(samples[step * i]) / 32768.0f;
            buffer[1][i] = static_cast<float>(samples[step * i + step - 1]) / 32768.0f;
        }
        vorbis_analysis_wrote(&c.vd, frames);
        c.hasAudio = true;
        Drain(c.vd, c.vb, c.os, m_files);
    }
    WritePending();
}

void VorbisWriter::WritePending() {
    // Taken out first so that a failed write cannot repeat them in the next block.
    const std::vector<uint8_t> dat = std::move(m_pendingDat);
    const std::vector<uint8_t> fgp = std::move(m_pendingFgp);
    m_pendingDat.clear();
    m_pendingFgp.clear();
    m_files.WriteDat(dat);
    m_files.WriteFgp(fgp);
}

void VorbisWriter::EndStream() {
    if (!m_codec) return;
    try {
        // Even a chunk without audio must be a valid stream: headers, then
        // an end-of-stream page.
        WriteHeaders();
        Codec& c = *m_codec;
        ogg_page page;
        bool eos = false;
        if (!c.hasAudio) {
            // Ending the analysis here would emit silent packets ending at
            // granule position 0, which checkers reject; a page without
            // packets is the legal way to end an empty stream.
            while (ogg_stream_flush(&c.os, &page) != 0) WritePage(m_files, page);
            WriteEmptyEndPage(m_files, c.os);
        } else {
            vorbis_analysis_wrote(&c.vd, 0);
            eos = Drain(c.vd, c.vb, c.os, m_files);
        }
        // libogg forces out the last page once it holds the end-of-stream
        // packet; this only guards against a libogg that does not.
        while (!eos && c.hasAudio && ogg_stream_flush(&c.os, &page) != 0) {
            WritePage(m_files, page);
            eos = ogg_page_eos(&page) != 0;
        }
    } catch (...) {
        // End-of-stream may already have been signalled to libvorbis; the
        // stream cannot be continued, only released.
        m_codec.reset();
        throw;
    }
    m_codec.reset();
}

void VorbisWriter::SwitchFile(const std::string& newBase) {
    RequireState(kStarted, kErrEncoderNotStarted);
    EndStream();
    m_files.Close();
    RecordingNotifier::Instance().Notify(kEventChunkCompleted);
    m_base = newBase;
    m_files.Create(m_base, ".ogg");
    BeginStream();
}

void VorbisWriter::StopFile() {
    RequireState(kStarted, kErrEncoderNotStarted);
    // The writer must come back to opened even when the disc fails, so the
    // first error is reported only after everything was released.
    std::exception_ptr failure;
    try {
        EndStream();
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        m_files.Close();
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    m_codec.reset();
    m_pendingDat.clear();
    m_pendingFgp.clear();
    m_state = kOpened;
    RecordingNotifier::Instance().Notify(kEventChunkFilesClosed);
    if (failure) std::rethrow_exception(failure);
}

void VorbisWriter::AbortFile() {
    RequireState(kStarted, kErrEncoderNotStarted);
    // The files are deleted anyway, so a failure to finish them is no error.
    try {
        EndStream();
    } catch (const std::exception&) {
    }
    m_codec.reset();
    // Closed files belong to a chunk that was already completed at a cut
    // (the new ones could not be created); they must survive.
    if (m_files.IsOpen()) m_files.CloseAndDelete();
    m_pendingDat.clear();
    m_pendingFgp.clear();
    m_state = kOpened;
    RecordingNotifier::Instance().Notify(kEventChunkFilesClosed);
}

}  // namespace wk
