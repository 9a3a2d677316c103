// MP3 normalisation: decoding for the analysis (files in parallel, one
// decoder and one analysis per worker) and the run over a set of files; the
// frame search is in Mp3Scan, the gain change in Mp3GainChange.

#include "export/Mp3Normalize.h"

#include <fcntl.h>
#include <mpg123.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
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
#include "export/Mp3Scan.h"

namespace wk {

namespace {

using namespace mp3;

// Workers report how far they got every this many frames.
constexpr int64_t kProgressFrames = 200;
// More workers than this gain nothing on the disks the files come from.
constexpr unsigned kMaxWorkers = 8;

std::atomic<unsigned> g_workers{0};
std::atomic<const Mp3DecodeSeam*> g_decodeSeam{nullptr};

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
    double trackGain = kGainNotEnoughSamples;
    double peak = 0;  // largest sample, 1.0 is full scale
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
        for (size_t i = 0; i < count; ++i) {
            out.peak = std::max(out.peak, std::fabs(w.left[i]) / 32768.0);
            if (channels == 2) out.peak = std::max(out.peak, std::fabs(w.right[i]) / 32768.0);
        }
        if (!analysing) return;
        if (!w.analysis.Analyze(w.left.data(), channels == 2 ? w.right.data() : nullptr, count,
                                channels)) {
            out.messages += "Error analyzing further samples (max time reached)          \n";
            analysing = false;
        }
    };

    const Mp3DecodeSeam* seam = g_decodeSeam.load();
    bool more = true;
    if (scanner.IsInfoFrame(frame)) more = scanner.FindNext(frame.pos + frame.length, &frame);
    for (int64_t n = 0; more; ++n) {
        const int64_t available = std::min<int64_t>(frame.length, scanner.End() - frame.pos);
        const uint8_t* bytes = scanner.Window(frame.pos, static_cast<size_t>(available));
        if (bytes == nullptr) break;
        if ((seam && seam->Undecodable(path, n)) ||
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
    out.trackGain = w.analysis.TrackGain();
    if (out.trackGain == kGainNotEnoughSamples)
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

}  // namespace

void PlugMp3DecodeSeam(const Mp3DecodeSeam* seam) {
    g_decodeSeam = seam;
}

namespace detail {

void SetMp3AnalysisWorkers(unsigned count) {
    g_workers = count;
}

}  // namespace detail

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
                                  const std::function<void(int64_t bytes)>& progress,
                                  const RetagMp3& retag) {
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
    for (size_t i = 0; i < paths.size(); ++i) {
        const FileOutcome& f = run.files[i];
        if (!f.ok) continue;
        result.tracks.push_back({paths[i], f.trackGain, f.peak});
        result.albumPeak = std::max(result.albumPeak, f.peak);
    }
    result.steps = GainSteps(run.albumGain);
    // Asked before any song changes: every song here is about to.
    const std::map<std::string, ReplayGainValues> after =
        retag && result.steps != 0 ? ReplayGainAfter(result) : std::map<std::string, ReplayGainValues>();
    for (size_t i = 0; i < paths.size(); ++i) {
        if (!run.files[i].ok) continue;
        const auto values = after.find(paths[i]);
        const std::string tag = values != after.end() ? retag(paths[i], values->second) : std::string();
        if (!ChangeMp3Gain(paths[i], result.steps, result.steps, tag))
            result.skipped.push_back(paths[i]);
        else if (result.steps != 0)
            ++result.changedFiles;
    }
    return result;
}

std::map<std::string, ReplayGainValues> ReplayGainAfter(const NormalizeResult& n) {
    std::map<std::string, ReplayGainValues> values;
    if (!n.analysed || n.corrupt) return values;
    for (const TrackLoudness& t : n.tracks) {
        if (t.gain == kGainNotEnoughSamples) continue;
        const bool changed =
            std::find(n.skipped.begin(), n.skipped.end(), t.path) == n.skipped.end();
        const int steps = changed ? n.steps : 0;
        // A step of global_gain scales the samples by 2^(1/4), 5 log10 2 dB.
        const double db = steps * 5.0 * std::log10(2.0);
        const double scale = std::pow(2.0, steps / 4.0);
        values[t.path] = {t.gain - db, t.peak * scale, n.albumGain - db, n.albumPeak * scale};
    }
    return values;
}

}  // namespace wk
