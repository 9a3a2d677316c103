#pragma once
// The stream view: the active stream's time line (wave form, recorded
// stretches, songs as bars, ruler, cursor, pending and highlighted ranges)
// drawn by TimeLineRenderer, the player that moves the cursor with the
// sound, hand marking (TrackMarking), cutting stretches out of the stream
// and the stream view's other commands of the command table.
//
// Mouse: a click puts the cursor; pressing and moving drags the visible
// stretch (not while playing); the wheel zooms; a double click selects the
// song under it (elsewhere: clears the selection); the arrow areas at both
// ends scroll by a quarter. Keys beside the command table's: Left/Right
// scroll, + and - on the main keyboard zoom.
//
// Everything reads and writes the stream folder's files. A whole read (a
// stream chosen, Reload, a stretch cut out) runs on a reading thread and is
// taken in when done, keeping the visible stretch, the cursor and the marks
// where they are; until the first one is, the view says "Reading the
// stream…". A completed chunk is added without a whole read, and the view's
// own changes to the descriptions re-read only "desc.des". Forms (track
// properties) and questions go through the QtUserPrompt, so scripted
// sessions answer them.
//
// Threading: GUI thread; playback messages arrive through the program's
// EventLoop, which QtEventLoop runs on this thread. Reading and silence
// detection run on threads of their own and report back through Qt's
// queue.

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "descriptions/TrackMarking.h"
#include "player/PlaybackController.h"
#include "player/StreamViewData.h"
#include "player/TimeLine.h"
#include "ui/shell/StreamViewPane.h"

namespace wk {
class Application;
class EventLoop;
class PlaybackDevice;
class ScheduleTask;
class TimeLineRenderer;
}  // namespace wk

namespace wk::ui {

class QtUserPrompt;

class StreamView final : public StreamViewPane, public MarkingHost, public PlaybackController::Listener {
    Q_OBJECT
public:
    // Width of each arrow area beside the time line.
    static constexpr int kArrowWidth = 22;
    // Height of the line of text above the time line.
    static constexpr int kInfoHeight = 22;

    // `device`: where playback goes (the user's sound output, or a file or
    // nothing in tests). `app` (may be null): the recorder that Alt+R starts
    // and stops.
    StreamView(EventLoop& loop, QtUserPrompt& prompt, std::unique_ptr<PlaybackDevice> device,
               Application* app = nullptr, QWidget* parent = nullptr);
    ~StreamView() override;

    void SetStream(const std::string& name) override;
    void Reload() override;
    void ColoursChanged() override;
    void ChunkCompleted() override;
    bool HandleCommand(int commandId) override;
    QString ShiftTarget() const override;
    bool ShiftDescriptions(int64_t amountMs) override;

    // What the view shows, for the window's screenshots and the tests.
    TimeLine& Line() { return m_line; }
    TrackMarking* Marking() { return m_marking.get(); }
    StreamViewData* Data() { return m_data.get(); }
    PlaybackController& Playback() { return *m_playback; }
    void SetCursor(StreamTime t) override;
    // A double click at time t of the time line: selects the song there,
    // or clears the selection.
    void DoubleClickAt(StreamTime t);
    // The text line above the time line.
    QString InfoText() const;
    // True while silence detection runs.
    bool DetectingSilences() const { return m_silenceThread.joinable() && !m_silenceDone.load(); }
    // Waits for a silence detection to end and takes its result in.
    void FinishSilenceDetection();
    // True while the stream is read on the reading thread.
    bool Reading() const { return m_reader.joinable(); }
    // Waits for the reading (and any it calls for) to end and shows what
    // it read (screenshots and scripted sessions).
    void FinishReading();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    // MarkingHost.
    StreamTime Cursor() const override { return m_line.CursorTime(); }
    void StopPlayback() override;
    bool EditProperties(Description& record) override;
    void Refresh() override;
    // PlaybackController::Listener.
    void CursorMoved(StreamTime cursor) override;
    void PlaybackEnded(const std::string& why) override;

    bool HaveStream() const { return m_data != nullptr; }
    std::string Folder() const;
    // A whole read on the reading thread; while one runs, another after it.
    void StartRead();
    void TakeRead();
    void CollectRead();
    void RetryAppend();
    // Shows what m_data holds: the extent, the cursor kept in it, the
    // selection checked.
    void ShowData();
    void DescriptionsChanged();
    void AfterMarking();
    void KeepCursorInView();
    void Say(const QString& text);
    bool Play(StreamTime from, StreamTime to);
    bool CutTo();
    bool DeleteAll();
    bool BreakEnd();
    bool StartSilenceDetection();
    bool ToggleRecording();
    void SilencesDone();

    EventLoop& m_loop;
    QtUserPrompt& m_prompt;
    Application* m_app;
    std::string m_stream;
    TimeLine m_line;
    std::unique_ptr<StreamViewData> m_data;
    std::unique_ptr<TrackMarking> m_marking;
    std::unique_ptr<PlaybackController> m_playback;
    std::unique_ptr<TimeLineRenderer> m_renderer;
    StreamTime m_playEnd = 0;
    bool m_pressed = false;
    bool m_dragged = false;
    std::optional<StreamTime> m_cutStart;    // "stream delete - mark start"
    std::optional<StreamTime> m_breakStart;  // "set start of break"
    ScheduleTask* m_handRecording = nullptr;  // the switched task Alt+R inserted
    std::thread m_silenceThread;
    std::atomic<bool> m_silenceDone{false};
    std::string m_silenceResult;
    std::thread m_reader;
    std::atomic<bool> m_readDone{false};
    std::unique_ptr<StreamViewData> m_fresh;  // the reader's until m_readDone
    std::unique_ptr<StreamViewData> m_replaced;  // what the last read replaced
    bool m_readAgain = false;        // something changed while reading
    bool m_appendAfterRead = false;  // a chunk completed while reading
    bool m_resetView = true;         // the next data shown puts the whole stream in view
    bool m_retryPending = false;
};

}  // namespace wk::ui
