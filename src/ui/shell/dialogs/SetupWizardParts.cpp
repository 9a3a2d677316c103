#include "ui/shell/dialogs/SetupWizardParts.h"

#include <QElapsedTimer>
#include <algorithm>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cmath>
#include <cstdlib>

#include "core/CTError.h"
#include "core/Trace.h"
#include "platform/HttpClientCurl.h"
#include "recording/ChunkEncoder.h"
#include "recording/EncoderBase.h"
#include "recording/SideFileCalculator.h"
#include "server/ChannelList.h"
#include "streamstore/StreamNameFile.h"

namespace wk::ui {
namespace {

// The wizard waits for the channel list a short while: a service that is
// not there should not hold up the set-up.
constexpr int kChannelListMs = 15000;
constexpr int kFramesPerBuffer = 4096;
constexpr int kBufferCount = 8;
constexpr int kPollMs = 20;

}  // namespace

ChannelFetch::ChannelFetch(QObject* context, Done done) {
    HttpSettings settings;
    settings.connectTimeoutMs = 5000;
    settings.connectRetries = 1;
    settings.totalTimeoutMs = kChannelListMs;
    m_http = std::make_unique<HttpClientCurl>(WithDeadlineIn(settings, kChannelListMs));
    HttpClient* http = m_http.get();
    m_thread = std::thread([http, context, done = std::move(done)] {
        StreamNameFile fetched;  // empty: every acceptable channel is kept
        std::vector<std::string> skipped;
        const bool loaded = LoadStreamListFromService(*http, fetched, &skipped);
        std::vector<StreamRecord> channels;
        for (const auto& r : fetched.Records()) channels.push_back(*r);
        QString outcome;
        if (loaded) {
            outcome = QObject::tr("The service lists %n channel(s).", nullptr, static_cast<int>(channels.size()));
            if (!skipped.empty())
                outcome += QObject::tr(" %n left out (names no stream can have).", nullptr,
                                       static_cast<int>(skipped.size()));
        } else {
            outcome = QObject::tr("The service's channel list could not be had; type the stream's name.");
        }
        QMetaObject::invokeMethod(context, [done, channels = std::move(channels), outcome]() mutable {
            done(std::move(channels), outcome);
        }, Qt::QueuedConnection);
    });
}

ChannelFetch::~ChannelFetch() {
    m_http->Cancel();
    if (m_thread.joinable()) m_thread.join();
}

struct LevelTest::Buffer {
    std::vector<uint8_t> bytes;
    CaptureBuffer capture;
};

LevelTest::LevelTest(std::unique_ptr<CaptureDevice> device, int seconds)
    : m_device(std::move(device)), m_framesWanted(static_cast<int64_t>(seconds) * kSampleRate) {
    m_timer.setInterval(kPollMs);
    connect(&m_timer, &QTimer::timeout, this, &LevelTest::Poll);
}

LevelTest::~LevelTest() {
    if (m_running) {
        m_device->Reset();
        m_device->Close();
    }
}

double LevelTest::PeakDb(int peak) {
    if (peak <= 0) return kSilentDb - 1;
    return 20.0 * std::log10(static_cast<double>(peak) / 32768.0);
}

QString LevelTest::DbText(double db) {
    double shown = std::round(db * 10.0) / 10.0;
    if (shown == 0.0) shown = 0.0;  // -0.0 becomes 0.0
    return QString::number(shown, 'f', 1);
}

bool LevelTest::Start(std::string* why) {
    if (!m_device->Open(kSampleRate, kChannels, &m_bufferDone, why)) return false;
    for (int i = 0; i < kBufferCount; ++i) {
        auto buffer = std::make_unique<Buffer>();
        buffer->bytes.assign(static_cast<size_t>(kFramesPerBuffer) * kChannels * 2, 0);
        buffer->capture.data = buffer->bytes.data();
        buffer->capture.size = buffer->bytes.size();
        if (!m_device->AddBuffer(&buffer->capture, why)) {
            m_device->Close();
            return false;
        }
        m_buffers.push_back(std::move(buffer));
    }
    if (!m_device->Start(why)) {
        m_device->Reset();
        m_device->Close();
        return false;
    }
    m_running = true;
    m_timer.start();
    return true;
}

void LevelTest::Poll() {
    // Buffers come back in the order they were queued.
    for (int round = 0; round < kBufferCount && m_running; ++round) {
        Buffer& b = *m_buffers.front();
        if (!b.capture.done.load()) break;
        const size_t samples = b.capture.recorded / 2;
        int peak = 0;
        const auto* pcm = reinterpret_cast<const int16_t*>(b.bytes.data());
        for (size_t i = 0; i < samples; ++i) peak = std::max(peak, std::abs(static_cast<int>(pcm[i])));
        const int64_t frames = static_cast<int64_t>(samples / kChannels);
        m_framesHeard += frames;
        m_device->Consumed(frames);
        m_loudest = std::max(m_loudest, peak);
        emit level(PeakDb(peak), static_cast<double>(m_framesHeard) / kSampleRate);
        std::unique_ptr<Buffer> again = std::move(m_buffers.front());
        m_buffers.erase(m_buffers.begin());
        if (m_framesHeard >= m_framesWanted) {
            m_buffers.push_back(std::move(again));
            Stop({});
            return;
        }
        again->capture.recorded = 0;
        again->capture.done = false;
        std::string why;
        if (!m_device->AddBuffer(&again->capture, &why)) {
            m_buffers.push_back(std::move(again));
            Stop(tr("The input failed: %1").arg(QString::fromStdString(why)));
            return;
        }
        m_buffers.push_back(std::move(again));
    }
    if (m_running && m_device->HasEnded() && !m_buffers.front()->capture.done.load())
        Stop(tr("The input ended after %1 s: %2")
                 .arg(static_cast<double>(m_framesHeard) / kSampleRate, 0, 'f', 1)
                 .arg(QString::fromStdString(m_device->EndReason())));
}

void LevelTest::Stop(const QString& problem) {
    m_timer.stop();
    m_device->Reset();
    m_device->Close();
    m_running = false;
    const double loudest = PeakDb(m_loudest);
    QString outcome = problem;
    if (outcome.isEmpty()) {
        outcome = loudest < kSilentDb
                      ? tr("Nothing was heard: the input is silent. Check the source and the capture volume.")
                      : tr("Loudest peak %1 dBFS in %2 s: the input works.")
                            .arg(DbText(loudest))
                            .arg(static_cast<double>(m_framesHeard) / kSampleRate, 0, 'f', 1);
    }
    Trace(kTraceInfo, "input test of %s: %s", m_device->Name().c_str(), outcome.toStdString().c_str());
    emit finished(loudest, outcome);
}

bool TestEncode(int kind, QString* report) {
    QTemporaryDir dir;
    if (!dir.isValid()) {
        *report = QObject::tr("No temporary folder for the test encode.");
        return false;
    }
    const std::string base = dir.filePath(QStringLiteral("test")).toStdString();
    constexpr int kRate = 44100;
    constexpr int kSeconds = 2;
    QElapsedTimer took;
    took.start();
    try {
        ChunkEncoder encoder;
        encoder.SetEngine(kind);
        encoder.SetSampleRate(kRate);
        encoder.SetBitRate(128);
        encoder.SetMode(0);
        encoder.SetFileName(base);
        encoder.SetChunkSize(0);
        encoder.Open();
        const int block = encoder.StartFile();
        SideFileCalculator side(kRate, 2);
        std::vector<int16_t> samples(static_cast<size_t>(block));
        int64_t frame = 0;
        for (int64_t done = 0; done < static_cast<int64_t>(kRate) * 2 * kSeconds; done += block) {
            for (size_t i = 0; i + 1 < samples.size(); i += 2, ++frame) {
                const auto v = static_cast<int16_t>(8000 * std::sin(2 * M_PI * 440.0 * static_cast<double>(frame) / kRate));
                samples[i] = samples[i + 1] = v;
            }
            side.AddBlock(samples);
            encoder.SetSideBlocks(side.Dat(), side.Fgp());
            encoder.EncodeBlock(samples.data(), block);
        }
        encoder.FlushFile();
        encoder.StopFile();
        encoder.Close();
    } catch (const CTError& e) {
        *report = QObject::tr("The test encode failed: %1").arg(QString::fromStdString(e.GetDescription()));
        return false;
    }
    const QString suffix = kind == kEngineVorbis ? QStringLiteral(".ogg") : QStringLiteral(".mp3");
    const QFileInfo made(dir.filePath(QStringLiteral("test") + suffix));
    if (!made.exists() || made.size() == 0) {
        *report = QObject::tr("The test encode made no sound file.");
        return false;
    }
    *report = QObject::tr("Test encode: %1 s of sound became %2 KiB of %3 in %4 ms.")
                  .arg(kSeconds)
                  .arg(static_cast<double>(made.size()) / 1024.0, 0, 'f', 1)
                  .arg(kind == kEngineVorbis ? QStringLiteral("Ogg Vorbis") : QStringLiteral("MP3"))
                  .arg(took.elapsed());
    return true;
}

}  // namespace wk::ui
