// MP3 normalisation: the frame search, decoding for the analysis (files in
// parallel, one decoder and one analysis per worker), and the in-place change
// of the global_gain fields.

#include "export/Mp3Normalize.h"

#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/SystemInfo.h"
#include "core/Trace.h"
#include "export/Mp3Frame.h"

namespace wk {

namespace {

constexpr size_t kReadBufferSize = 3'000'000;
constexpr size_t kWriteQueueLimit = 100'000;
// Workers report how far they got every this many frames.
constexpr int64_t kProgressFrames = 200;
// More workers than this gain nothing on the disks the files come from.
constexpr unsigned kMaxWorkers = 8;

std::atomic<unsigned> g_workers{0};
std::mutex g_hookMutex;
detail::Mp3DecodeFaultHook g_faultHook;

detail::Mp3DecodeFaultHook CurrentFaultHook() {
    std::lock_guard lock(g_hookMutex);
    return g_faultHook;
}

// Writes one message of the normalisation to standard error and the trace.
void Say(const std::string& text, int level = kTraceInfo) {
    std::fputs(text.c_str(), stderr);
    std::string line = text;
    while (!line.empty() && (line.back() == '\n' || line.back() == ' ')) line.pop_back();
    while (!line.empty() && line.front() == '\n') line.erase(line.begin());
    Trace(level, "%s", line.c_str());
}

// ---------------------------------------------------------------------------
// Frame search

struct Frame {
    int64_t pos = 0;
    int length = 0;
    bool mpeg1 = false;
    bool mono = false;
    bool crc = false;  // a 16-bit checksum follows the header
    int sideInfo = 0;  // bytes of side information
    long rate = 0;

    int SideStart() const { return crc ? 6 : 4; }
    int HeaderAndSideInfo() const { return SideStart() + sideInfo; }
};

// Sync, a version other than the reserved one, a bitrate index other than
// free format and 15, a sample-rate index other than 3. The layer is left to
// the caller.
bool IsAcceptedHeader(const uint8_t* h) {
    return h[0] == 0xFF && (h[1] & 0xE0) == 0xE0 && (h[1] & 0x18) != 0x08 && (h[2] & 0xF0) != 0 &&
           (h[2] & 0xF0) != 0xF0 && (h[2] & 0x0C) != 0x0C;
}

constexpr uint8_t kLayer3 = 0x02;
constexpr uint8_t kLayer2 = 0x04;
constexpr uint8_t kLayer1 = 0x06;

// Reads a file through one buffer that the search refills as it moves on:
// the unread tail moves to the front first, so a frame that crosses the end
// of the buffer is whole after the refill. An ID3v1 tag at the end of the
// file lies beyond the searched data.
class FrameScanner {
public:
    enum class First { kFound, kNone, kLayer1, kLayer2 };

    // The buffer grows to the read-buffer size, or to the file's size when
    // that is smaller.
    FrameScanner(int fd, int64_t fileSize, std::vector<uint8_t>& buffer)
        : m_fd(fd), m_end(fileSize), m_buf(buffer) {
        const auto wanted =
            static_cast<size_t>(std::clamp<int64_t>(fileSize, 64, int64_t{kReadBufferSize}));
        if (m_buf.size() < wanted) m_buf.resize(wanted);
        uint8_t tag[3];
        if (fileSize >= 128 && ReadAt(tag, 3, fileSize - 128) == 3 &&
            std::memcmp(tag, "TAG", 3) == 0)
            m_end = fileSize - 128;
    }

    int64_t End() const { return m_end; }
    bool ReadFailed() const { return m_readFailed; }

    // The bytes [pos, pos + n) in the buffer, null when they reach past the
    // searched data (or cannot be read). Valid until the next call.
    uint8_t* Window(int64_t pos, size_t n) {
        if (pos < 0 || n > m_buf.size() || pos + static_cast<int64_t>(n) > m_end) return nullptr;
        if (pos >= m_start && pos + static_cast<int64_t>(n) <= m_start + m_len)
            return &m_buf[static_cast<size_t>(pos - m_start)];
        size_t keep = 0;
        if (pos >= m_start && pos < m_start + m_len) {
            keep = static_cast<size_t>(m_start + m_len - pos);
            std::memmove(m_buf.data(), &m_buf[static_cast<size_t>(pos - m_start)], keep);
        }
        m_start = pos;
        m_len = static_cast<int64_t>(keep);
        while (m_len < static_cast<int64_t>(m_buf.size()) && m_start + m_len < m_end) {
            const auto want = static_cast<size_t>(std::min<int64_t>(
                static_cast<int64_t>(m_buf.size()) - m_len, m_end - m_start - m_len));
            const ssize_t got = ReadAt(&m_buf[static_cast<size_t>(m_len)], want, m_start + m_len);
            if (got <= 0) {
                // A read error, or the file became shorter: the data ends here.
                if (got < 0) m_readFailed = true;
                m_end = m_start + m_len;
                break;
            }
            m_len += got;
        }
        if (pos + static_cast<int64_t>(n) > m_start + m_len) return nullptr;
        return m_buf.data();
    }

    // Skips an ID3v2 tag and finds the first Layer III frame; a Layer I or II
    // header met before it ends the search.
    First FindFirst(Frame* frame) {
        int64_t pos = 0;
        if (const uint8_t* h = Window(0, 10)) {
            if (std::memcmp(h, "ID3", 3) == 0 && h[3] != 0xFF && h[4] != 0xFF &&
                ((h[6] | h[7] | h[8] | h[9]) & 0x80) == 0)
                pos = 10 + ((int64_t{h[6]} << 21) | (int64_t{h[7]} << 14) | (h[8] << 7) | h[9]);
        }
        for (;; ++pos) {
            const uint8_t* h = NextCandidate(&pos);
            if (h == nullptr) return First::kNone;
            const uint8_t layer = h[1] & 0x06;
            if (layer == kLayer2) return First::kLayer2;
            if (layer == kLayer1) return First::kLayer1;
            if (layer != kLayer3) continue;
            m_versionBits = h[1] & 0x18;
            m_rateBits = h[2] & 0x0C;
            m_rate = Mp3SampleRate(h);
            m_mpeg1 = m_versionBits == 0x18;
            const int64_t samples = m_mpeg1 ? 1152 : 576;
            for (int i = 0; i < 15; ++i) {
                const int64_t kbps = Layer3Kbps(m_mpeg1, i);
                // floor(floor(samples * kbit/s / kHz) / 8), in whole numbers.
                m_lengths[i] = static_cast<int>(samples * kbps * 1000 / m_rate / 8);
            }
            Describe(h, pos, frame);
            return First::kFound;
        }
    }

    // The next Layer III frame at or after `from` with the first frame's
    // version and sample rate.
    bool FindNext(int64_t from, Frame* frame) {
        for (int64_t pos = from;; ++pos) {
            const uint8_t* h = NextCandidate(&pos);
            if (h == nullptr) return false;
            if ((h[1] & 0x06) == kLayer3 && (h[1] & 0x18) == m_versionBits &&
                (h[2] & 0x0C) == m_rateBits) {
                Describe(h, pos, frame);
                return true;
            }
        }
    }

    // An information frame: "Xing" (or "Info", which encoders write into
    // the same frame of a constant-bitrate file) right after the side
    // information. It holds no audio: it is neither analysed nor changed.
    // With a checksum the text belongs 2 bytes later; some encoders leave
    // it where it would be without one, so both places count.
    bool IsInfoFrame(const Frame& frame) {
        for (int at : {frame.HeaderAndSideInfo(), 4 + frame.sideInfo}) {
            const uint8_t* text = Window(frame.pos + at, 4);
            if (text != nullptr &&
                (std::memcmp(text, "Xing", 4) == 0 || std::memcmp(text, "Info", 4) == 0))
                return true;
        }
        return false;
    }

private:
    ssize_t ReadAt(uint8_t* out, size_t n, int64_t pos) {
        for (;;) {
            const ssize_t got = ::pread(m_fd, out, n, static_cast<off_t>(pos));
            if (got < 0 && errno == EINTR) continue;
            return got;
        }
    }

    // Moves *pos to the next accepted header (any layer) and returns it.
    const uint8_t* NextCandidate(int64_t* pos) {
        for (;;) {
            const uint8_t* p = Window(*pos, 4);
            if (p == nullptr) return nullptr;
            const auto avail = static_cast<size_t>(m_start + m_len - *pos);
            const auto* ff = static_cast<const uint8_t*>(std::memchr(p, 0xFF, avail - 3));
            if (ff == nullptr) {
                *pos += static_cast<int64_t>(avail - 3);
                continue;
            }
            *pos += ff - p;
            if (IsAcceptedHeader(ff)) return ff;
            ++*pos;
        }
    }

    void Describe(const uint8_t* h, int64_t pos, Frame* frame) const {
        frame->pos = pos;
        frame->length = m_lengths[h[2] >> 4] + ((h[2] & 0x02) ? 1 : 0);
        frame->mpeg1 = m_mpeg1;
        frame->mono = (h[3] & 0xC0) == 0xC0;
        frame->crc = (h[1] & 0x01) == 0;
        frame->sideInfo = m_mpeg1 ? (frame->mono ? 17 : 32) : (frame->mono ? 9 : 17);
        frame->rate = m_rate;
    }

    int m_fd;
    int64_t m_end;
    std::vector<uint8_t>& m_buf;
    int64_t m_start = 0;
    int64_t m_len = 0;
    bool m_readFailed = false;
    uint8_t m_versionBits = 0;
    uint8_t m_rateBits = 0;
    bool m_mpeg1 = true;
    long m_rate = 0;
    int m_lengths[15] = {};
};

// Opens a regular file (never blocking on a pipe); -1 otherwise.
int OpenRegularFile(const std::string& path, int flags, int64_t* size) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EISDIR;
        return -1;
    }
    *size = st.st_size;
    return fd;
}

struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) ::close(fd);
    }
};

// The messages of a failed first-frame search; empty when a frame was found.
std::string FirstFrameMessage(FrameScanner::First first, const std::string& path) {
    switch (first) {
        case FrameScanner::First::kFound:
            return {};
        case FrameScanner::First::kLayer1:
            return std::string(path) += " is an MPEG Layer I file, not a layer III file\n";
        case FrameScanner::First::kLayer2:
            return std::string(path) += " is an MPEG Layer II file, not a layer III file\n";
        case FrameScanner::First::kNone:
            break;
    }
    return (std::string("Can't find any valid MP3 frames in file ") += path) += "\n\n";
}

// ---------------------------------------------------------------------------
// Decoding

class FrameDecoder {
public:
    FrameDecoder() = default;
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;
    ~FrameDecoder() {
        if (m_handle != nullptr) mpg123_delete(m_handle);
    }

    // A decoder for whole frames handed over one by one: no read-ahead, no
    // resampling, no gapless trimming, information frames decoded as audio.
    bool Open() {
        static std::once_flag once;
        std::call_once(once, [] { mpg123_init(); });
        int err = MPG123_OK;
        m_handle = mpg123_new(nullptr, &err);
        if (m_handle == nullptr) return false;
        mpg123_param(m_handle, MPG123_ADD_FLAGS,
                     MPG123_QUIET | MPG123_NO_READAHEAD | MPG123_IGNORE_INFOFRAME, 0);
        mpg123_param(m_handle, MPG123_REMOVE_FLAGS, MPG123_GAPLESS | MPG123_AUTO_RESAMPLE, 0);
        // Floating point keeps peaks above full scale; 16-bit output when the
        // library was built without it.
        m_float = SetFormats(MPG123_ENC_FLOAT_32);
        if (!m_float && !SetFormats(MPG123_ENC_SIGNED_16)) return false;
        return mpg123_open_feed(m_handle) == MPG123_OK;
    }

    // Decodes one frame into `left` and `right` (the 16-bit scale; `right`
    // unused for mono) and calls onBlock(count, channels) for each decoded
    // block. False on a decoder fault.
    template <typename OnBlock>
    bool Decode(const uint8_t* data, size_t n, std::vector<double>& left,
                std::vector<double>& right, OnBlock&& onBlock) {
        if (mpg123_feed(m_handle, data, n) != MPG123_OK) return false;
        for (;;) {
            off_t num = 0;
            unsigned char* audio = nullptr;
            size_t bytes = 0;
            const int r = mpg123_decode_frame(m_handle, &num, &audio, &bytes);
            if (r == MPG123_NEED_MORE) return true;
            if (r == MPG123_NEW_FORMAT) {
                long rate = 0;
                int encoding = 0;
                if (mpg123_getformat(m_handle, &rate, &m_channels, &encoding) != MPG123_OK)
                    return false;
                if (m_channels < 1 || m_channels > 2) return false;
                continue;
            }
            if (r != MPG123_OK) return false;
            if (audio == nullptr || bytes == 0 || m_channels == 0) continue;
            const auto channels = static_cast<size_t>(m_channels);
            const size_t count = bytes / (m_float ? sizeof(float) : sizeof(int16_t)) / channels;
            left.resize(count);
            right.resize(count);
            if (m_float)
                Split(reinterpret_cast<const float*>(audio), count, channels, 32768.0, left, right);
            else
                Split(reinterpret_cast<const int16_t*>(audio), count, channels, 1.0, left, right);
            onBlock(count, m_channels);
        }
    }

private:
    bool SetFormats(int encoding) {
        mpg123_format_none(m_handle);
        static const long kRates[] = {8000, 11025, 12000, 16000, 22050, 24000, 32000, 44100, 48000};
        for (long rate : kRates)
            if (mpg123_format(m_handle, rate, MPG123_MONO | MPG123_STEREO, encoding) != MPG123_OK)
                return false;
        return true;
    }

    template <typename Sample>
    static void Split(const Sample* pcm, size_t count, size_t channels, double scale,
                      std::vector<double>& left, std::vector<double>& right) {
        if (channels == 1) {
            for (size_t i = 0; i < count; ++i) left[i] = pcm[i] * scale;
            return;
        }
        for (size_t i = 0; i < count; ++i) {
            left[i] = pcm[2 * i] * scale;
            right[i] = pcm[2 * i + 1] * scale;
        }
    }

    mpg123_handle* m_handle = nullptr;
    bool m_float = true;
    int m_channels = 0;
};

// ---------------------------------------------------------------------------
// Analysis

struct FileOutcome {
    bool ok = false;       // a Layer III frame was found
    bool corrupt = false;  // the decoder failed outright
    std::string messages;  // to be shown in file order
};

// One analysing thread's own decoder state, buffer and analysis; the album
// part of its analysis collects the files it analysed.
struct Worker {
    ReplayGainAnalysis analysis;
    bool started = false;
    long rate = 0;
    std::vector<uint8_t> buffer;
    std::vector<double> left, right;
};

// Where a file's analysis reports its position; `abandon` says when the
// result is no longer wanted (an earlier file was corrupt).
struct AnalysisProgress {
    std::function<void(int64_t bytesDone)> report;
    std::function<bool()> abandon;
};

FileOutcome AnalyseFile(const std::string& path, Worker& w, const AnalysisProgress& progress) {
    FileOutcome out;
    int64_t size = 0;
    FdCloser file{OpenRegularFile(path, O_RDONLY, &size)};
    if (file.fd < 0) {
        out.messages = (std::string("Can't open ") += path) += " for reading\n\n";
        return out;
    }
    FrameDecoder decoder;
    const bool decoderOk = decoder.Open();
    FrameScanner scanner(file.fd, size, w.buffer);
    Frame frame;
    const FrameScanner::First first = scanner.FindFirst(&frame);
    if (first != FrameScanner::First::kFound) {
        out.messages = FirstFrameMessage(first, path);
        progress.report(size);
        return out;
    }
    out.ok = true;
    const auto corrupt = [&] {
        out.corrupt = true;
        out.messages += (std::string("Error analyzing ") += path) +=
            ". This mp3 has some very corrupt data.\n";
        return out;
    };
    if (!decoderOk) return corrupt();

    if (!w.started) {
        w.started = w.analysis.Init(frame.rate);
        w.rate = frame.rate;
    } else if (frame.rate != w.rate) {
        w.analysis.ResetSampleRate(frame.rate);
        w.rate = frame.rate;
    }
    bool analysing = true;
    const auto analyse = [&](size_t count, int channels) {
        if (!analysing) return;
        if (!w.analysis.Analyze(w.left.data(), channels == 2 ? w.right.data() : nullptr, count,
                                channels)) {
            out.messages += "Error analyzing further samples (max time reached)          \n";
            analysing = false;
        }
    };

    const detail::Mp3DecodeFaultHook hook = CurrentFaultHook();
    bool more = true;
    if (scanner.IsInfoFrame(frame)) more = scanner.FindNext(frame.pos + frame.length, &frame);
    for (int64_t n = 0; more; ++n) {
        const int64_t available = std::min<int64_t>(frame.length, scanner.End() - frame.pos);
        const uint8_t* bytes = scanner.Window(frame.pos, static_cast<size_t>(available));
        if (bytes == nullptr) break;
        if ((hook && hook(path, n)) ||
            !decoder.Decode(bytes, static_cast<size_t>(available), w.left, w.right, analyse))
            return corrupt();
        if (n % kProgressFrames == kProgressFrames - 1) {
            if (progress.abandon()) return out;
            progress.report(frame.pos);
        }
        more = scanner.FindNext(frame.pos + frame.length, &frame);
    }
    if (scanner.ReadFailed())
        Trace(kTraceError, "Reading %s failed; analysed up to the failure", path.c_str());
    if (w.analysis.TrackGain() == kGainNotEnoughSamples)
        out.messages += (std::string("Not enough samples in ") += path) += " to do analysis\n\n";
    progress.report(size);
    return out;
}

struct AnalysisRun {
    std::vector<FileOutcome> files;
    bool corrupt = false;
    bool anyOk = false;
    double albumGain = kGainNotEnoughSamples;
};

// Analyses the files on up to one worker per processor. Messages appear in
// file order, as a run through the files one after the other would show
// them; after a corrupt file nothing further is shown or used.
AnalysisRun AnalyseFiles(const std::vector<std::string>& paths,
                         const std::function<void(int64_t bytes)>& progress) {
    const size_t n = paths.size();
    AnalysisRun run;
    run.files.resize(n);
    if (n == 0) return run;
    const unsigned wanted = g_workers.load();
    const unsigned processors =
        wanted > 0 ? wanted : std::max(1u, std::thread::hardware_concurrency());
    const size_t workerCount = std::min<size_t>({n, processors, kMaxWorkers});

    std::mutex mutex;
    std::condition_variable changed;
    uint64_t events = 0;                   // guarded by mutex
    size_t workersDone = 0;                // guarded by mutex
    std::vector<char> done(n, 0);          // guarded by mutex
    std::vector<int64_t> bytesDone(n, 0);  // guarded by mutex
    std::atomic<size_t> next{0};
    std::atomic<size_t> firstCorrupt{std::numeric_limits<size_t>::max()};
    std::atomic<bool> cancelled{false};  // the caller left early (an exception)

    std::vector<std::unique_ptr<Worker>> workers;
    for (size_t i = 0; i < workerCount; ++i) workers.push_back(std::make_unique<Worker>());

    const auto work = [&](Worker& w) {
        for (;;) {
            const size_t i = next.fetch_add(1);
            if (i >= n || i > firstCorrupt.load() || cancelled.load()) break;
            AnalysisProgress p;
            p.report = [&, i](int64_t bytes) {
                {
                    std::lock_guard lock(mutex);
                    bytesDone[i] = bytes;
                    ++events;
                }
                changed.notify_all();
            };
            p.abandon = [&, i] { return i > firstCorrupt.load() || cancelled.load(); };
            FileOutcome outcome;
            try {
                outcome = AnalyseFile(paths[i], w, p);
            } catch (...) {
                // Out of memory and the like: as a decoder fault, nothing changes.
                Trace(kTraceError, "Analysing %s failed", paths[i].c_str());
                outcome.ok = true;
                outcome.corrupt = true;
                outcome.messages = (std::string("Error analyzing ") += paths[i]) +=
                    ". This mp3 has some very corrupt data.\n";
            }
            if (outcome.corrupt) {
                size_t seen = firstCorrupt.load();
                while (i < seen && !firstCorrupt.compare_exchange_weak(seen, i)) {
                }
            }
            {
                std::lock_guard lock(mutex);
                run.files[i] = std::move(outcome);
                done[i] = 1;
                ++events;
            }
            changed.notify_all();
        }
        {
            std::lock_guard lock(mutex);
            ++workersDone;
            ++events;
        }
        changed.notify_all();
    };

    std::vector<std::thread> threads;
    // Whatever happens below, no thread outlives the run.
    struct JoinAll {
        std::vector<std::thread>& threads;
        std::atomic<bool>& cancelled;
        ~JoinAll() {
            cancelled = true;
            for (std::thread& t : threads)
                if (t.joinable()) t.join();
        }
    } joinAll{threads, cancelled};
    try {
        for (size_t i = 0; i < workerCount; ++i) {
            threads.emplace_back([&work, &worker = *workers[i]] {
                NameCurrentThread("mp3 analysis");
                work(worker);
            });
        }
    } catch (const std::system_error& e) {
        Trace(kTraceError, "Analysing on %zu of %zu threads: %s", threads.size(), workerCount,
              e.what());
    }
    // Without any thread the files are analysed here, one after the other.
    const size_t running = std::max<size_t>(threads.size(), 1);
    if (threads.empty()) work(*workers[0]);

    size_t shown = 0;
    bool stopShowing = false;
    int64_t reported = 0;
    uint64_t seenEvents = 0;
    for (bool finished = false; !finished;) {
        std::string text;
        int64_t total = 0;
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return events != seenEvents; });
            seenEvents = events;
            finished = workersDone == running;
            for (; !stopShowing && shown < n && done[shown]; ++shown) {
                text += run.files[shown].messages;
                stopShowing = run.files[shown].corrupt;
            }
            for (int64_t b : bytesDone) total += b;
        }
        if (!text.empty()) Say(text, stopShowing ? kTraceError : kTraceInfo);
        if (progress && total > reported) progress(total - reported);
        reported = std::max(reported, total);
    }
    for (std::thread& t : threads) t.join();

    run.corrupt = firstCorrupt.load() < n;
    for (size_t i = 0; i < n && i <= firstCorrupt.load(); ++i) run.anyOk |= run.files[i].ok;
    if (run.corrupt || !run.anyOk) return run;
    // Every file's windows went into the album part of its worker's analysis;
    // the counts add up to what one analysis of all files in order collects.
    ReplayGainAnalysis album;
    for (const auto& w : workers) album.MergeAlbum(w->analysis);
    run.albumGain = album.AlbumGain();
    return run;
}

// ---------------------------------------------------------------------------
// Gain change

// Changed bytes waiting to be written: one entry per frame, from its first
// to its last changed byte (header checksum and side information only).
class WriteQueue {
public:
    explicit WriteQueue(int fd) : m_fd(fd) { m_entries.reserve(1024); }

    bool Add(int64_t pos, const uint8_t* bytes, size_t n) {
        Entry e;
        e.pos = pos;
        e.length = static_cast<uint8_t>(n);
        std::memcpy(e.bytes, bytes, n);
        m_entries.push_back(e);
        return m_entries.size() < kWriteQueueLimit || Flush();
    }

    bool Flush() {
        for (const Entry& e : m_entries) {
            ssize_t put = 0;
            do {
                put = ::pwrite(m_fd, e.bytes, e.length, static_cast<off_t>(e.pos));
            } while (put < 0 && errno == EINTR);
            if (put != static_cast<ssize_t>(e.length)) m_failed = true;
        }
        m_entries.clear();
        return !m_failed;
    }

private:
    struct Entry {
        int64_t pos;
        uint8_t length;
        uint8_t bytes[40];
    };
    int m_fd;
    bool m_failed = false;
    std::vector<Entry> m_entries;
};

uint16_t Crc16(const uint8_t* frame, const Frame& f) {
    uint16_t crc = 0xFFFF;
    const auto add = [&crc](uint8_t byte) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((byte >> bit) & 1) != 0;
            const bool top = (crc & 0x8000) != 0;
            crc = static_cast<uint16_t>(crc << 1);
            if (in != top) crc ^= 0x8005;
        }
    };
    add(frame[2]);
    add(frame[3]);
    for (int i = 0; i < f.sideInfo; ++i) add(frame[6 + i]);
    return crc;
}

// Moves the global_gain fields of one frame (its header and side information
// at `p`); returns the range of changed bytes, empty when none changed.
std::pair<int, int> ChangeFrameGains(uint8_t* p, const Frame& f, int leftSteps, int rightSteps) {
    int first = f.HeaderAndSideInfo(), last = -1;
    const int channels = f.mono ? 1 : 2;
    const int granules = f.mpeg1 ? 2 : 1;
    const int block = f.mpeg1 ? 59 : 63;
    // main_data_begin and private bits, then (MPEG-1) scfsi per channel.
    int bit =
        f.SideStart() * 8 + (f.mpeg1 ? 9 + (f.mono ? 5 : 3) + 4 * channels : 8 + (f.mono ? 1 : 2));
    for (int gr = 0; gr < granules; ++gr) {
        for (int ch = 0; ch < channels; ++ch, bit += block) {
            const int at = bit + 21;  // after part2_3_length and big_values
            const int byte = at / 8;
            const int shift = 8 - at % 8;
            unsigned word = (unsigned{p[byte]} << 8) | p[byte + 1];
            const int old = static_cast<int>((word >> shift) & 0xFF);
            if (old == 0) continue;
            const int now = std::clamp(old + (ch == 0 ? leftSteps : rightSteps), 0, 255);
            if (now == old) continue;
            word = (word & ~(0xFFu << shift)) | (static_cast<unsigned>(now) << shift);
            p[byte] = static_cast<uint8_t>(word >> 8);
            p[byte + 1] = static_cast<uint8_t>(word);
            first = std::min(first, byte);
            last = std::max(last, byte + 1);
        }
    }
    if (last >= 0 && f.crc) {
        const uint16_t crc = Crc16(p, f);
        if (p[4] != (crc >> 8) || p[5] != (crc & 0xFF)) {
            p[4] = static_cast<uint8_t>(crc >> 8);
            p[5] = static_cast<uint8_t>(crc);
            first = std::min(first, 4);
        }
    }
    return {first, last};
}

}  // namespace

namespace detail {

void SetMp3DecodeFaultHook(Mp3DecodeFaultHook hook) {
    std::lock_guard lock(g_hookMutex);
    g_faultHook = std::move(hook);
}

void SetMp3AnalysisWorkers(unsigned count) {
    g_workers = count;
}

}  // namespace detail

bool ChangeMp3Gain(const std::string& path, int leftSteps, int rightSteps) {
    Trace(kTraceDetail, "changeGain %d", leftSteps);
    if (leftSteps == 0 && rightSteps == 0) return true;
    int64_t size = 0;
    FdCloser file{OpenRegularFile(path, O_RDWR, &size)};
    if (file.fd < 0) {
        Say((std::string("\nCan't open ") += path) += " for modifying\n", kTraceError);
        return false;
    }
    std::vector<uint8_t> buffer;
    FrameScanner scanner(file.fd, size, buffer);
    Frame frame;
    const FrameScanner::First first = scanner.FindFirst(&frame);
    if (first != FrameScanner::First::kFound) {
        Say(FirstFrameMessage(first, path));
        return false;
    }
    bool more = true;
    if (scanner.IsInfoFrame(frame)) more = scanner.FindNext(frame.pos + frame.length, &frame);
    WriteQueue queue(file.fd);
    bool written = true;
    for (; more; more = scanner.FindNext(frame.pos + frame.length, &frame)) {
        // A frame cut off before the end of its side information stays as it is.
        uint8_t* p = scanner.Window(frame.pos, static_cast<size_t>(frame.HeaderAndSideInfo()));
        if (p == nullptr) break;
        const auto [from, to] = ChangeFrameGains(p, frame, leftSteps, rightSteps);
        if (to >= from)
            written &= queue.Add(frame.pos + from, p + from, static_cast<size_t>(to - from + 1));
    }
    written &= queue.Flush();
    if (!written || scanner.ReadFailed()) {
        Trace(kTraceError, "Changing the gain of %s failed: the file may be changed in part",
              path.c_str());
        return false;
    }
    return true;
}

namespace {

// `paths` without the later names of a file named before (the same file
// through "./", a symbolic or a hard link): one file is measured once and
// has its gain moved once. Names that cannot be looked up stay, so their
// failure is reported where it happens.
std::vector<std::string> DistinctFiles(const std::vector<std::string>& paths) {
    std::vector<std::string> distinct;
    std::vector<std::pair<dev_t, ino_t>> seen;
    for (const std::string& path : paths) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0) {
            const std::pair<dev_t, ino_t> id{st.st_dev, st.st_ino};
            if (std::find(seen.begin(), seen.end(), id) != seen.end()) {
                Say(path + " names a file listed before; it is normalised once\n");
                continue;
            }
            seen.push_back(id);
        }
        distinct.push_back(path);
    }
    return distinct;
}

}  // namespace

double MeasureAlbumGain(const std::vector<std::string>& named) {
    const std::vector<std::string> paths = DistinctFiles(named);
    const AnalysisRun run = AnalyseFiles(paths, {});
    if (run.corrupt || !run.anyOk) return kGainNotEnoughSamples;
    if (run.albumGain == kGainNotEnoughSamples)
        Say("Not enough samples in mp3 files to do analysis\n\n");
    return run.albumGain;
}

NormalizeResult NormalizeMp3Files(const std::vector<std::string>& named,
                                  const std::function<void(int64_t bytes)>& progress) {
    const std::vector<std::string> paths = DistinctFiles(named);
    NormalizeResult result;
    const AnalysisRun run = AnalyseFiles(paths, progress);
    for (size_t i = 0; i < paths.size(); ++i)
        if (!run.files[i].ok) result.skipped.push_back(paths[i]);
    if (run.corrupt) {
        result.corrupt = true;
        return result;
    }
    if (!run.anyOk) return result;
    if (run.albumGain == kGainNotEnoughSamples) {
        Say("Not enough samples in mp3 files to do analysis\n\n");
        return result;
    }
    result.analysed = true;
    result.albumGain = run.albumGain;
    result.steps = GainSteps(run.albumGain);
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!run.files[i].ok) continue;
        if (!ChangeMp3Gain(paths[i], result.steps, result.steps))
            result.skipped.push_back(paths[i]);
        else if (result.steps != 0)
            ++result.changedFiles;
    }
    return result;
}

}  // namespace wk
