#pragma once
// The working parts of the set-up wizard's pages: fetching the service's
// channel list beside the GUI thread, listening to a capture input for the
// level meter, and the test encode.

#include <QObject>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/Event.h"
#include "platform/CaptureDevice.h"
#include "streamstore/StreamRecord.h"

namespace wk {
class HttpClient;
}

namespace wk::ui {

// Asks the service for its channel list ("URLChanelList") on a thread of its
// own; `done` runs on `context`'s thread with the channels (none when the
// service could not be reached) and a line saying what happened. Going away
// cancels the request and waits for the thread.
class ChannelFetch {
public:
    using Done = std::function<void(std::vector<StreamRecord> channels, QString outcome)>;
    ChannelFetch(QObject* context, Done done);
    ~ChannelFetch();
    ChannelFetch(const ChannelFetch&) = delete;
    ChannelFetch& operator=(const ChannelFetch&) = delete;

private:
    std::unique_ptr<HttpClient> m_http;
    std::thread m_thread;
};

// Listens to a capture input for `seconds` of its audio (a sound card in
// real time; a file as fast as it is read) and reports the peak level of
// each buffer, then the loudest peak. Polled on the GUI thread's timer.
class LevelTest final : public QObject {
    Q_OBJECT
public:
    static constexpr int kSampleRate = 44100;
    static constexpr int kChannels = 2;

    LevelTest(std::unique_ptr<CaptureDevice> device, int seconds);
    ~LevelTest() override;

    // False with the device's reason when it cannot be opened or started.
    bool Start(std::string* why);
    // The level below which an input counts as silent.
    static constexpr double kSilentDb = -60.0;
    // dBFS of a 16-bit peak; kSilentDb - 1 for none.
    static double PeakDb(int peak);
    // A level as shown: one decimal, and never "-0.0".
    static QString DbText(double db);

signals:
    // Peak of the latest buffer, dBFS, and the seconds heard so far.
    void level(double peakDb, double seconds);
    // The loudest peak and what the test found, in a line.
    void finished(double loudestDb, const QString& outcome);

private:
    void Poll();
    void Stop(const QString& outcome);

    struct Buffer;
    std::unique_ptr<CaptureDevice> m_device;
    std::vector<std::unique_ptr<Buffer>> m_buffers;
    Event m_bufferDone;
    QTimer m_timer;
    int64_t m_framesWanted;
    int64_t m_framesHeard = 0;
    int m_loudest = 0;
    bool m_running = false;
};

// Encodes two seconds of a tone with engine `kind` (as "Encoder" selects
// it) into a temporary folder; `report` says how it went (the size made, or
// the engine's error). Nothing in the program home is touched.
bool TestEncode(int kind, QString* report);

}  // namespace wk::ui
