#pragma once
// The main window: the channel combo (the active stream), the three views
// (stream, descriptions, schedule) as tabs over one stack, the toolbars and
// keys built from the command table (ui/CommandTable.h), the status bar with
// what is being recorded, and the tray icon.
//
// Every button and key goes through Dispatch, which asks the table who
// performs the command while the current view is shown (Route) and hands it
// over; a command whose dialog this build lacks, or that reaches no one from
// the current view, says so in the status bar instead of doing nothing.
// Keys are matched by MatchKey on the key events of the whole window, so the
// keypad keys and the typed "/" behave as the table says; a key typed into
// a text field stays there.
//
// The window hosts the application object when one is given (recording,
// schedule, downloads and disk thread then run in this process) and reads
// its state; without one (tests) it works on the home's files alone.
//
// Threading: GUI thread. Notifier messages arrive through the program's
// EventLoop, which QtEventLoop runs on this thread.

#include <QMainWindow>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "core/EventLoop.h"
#include "ui/CommandTable.h"

class QAction;
class QComboBox;
class QLabel;
class QStackedWidget;
class QTabBar;
class QToolBar;

namespace wk {
class Application;
class Scheduler;
class UserPrompt;
class StreamTaskStatus;
}  // namespace wk

namespace wk::ui {

class DescriptionView;
class EventViewer;
class ExportProgressWindow;
class HttpStatusWindow;
class ScheduleView;
class StreamViewPane;

class MainWindow final : public QMainWindow, public MessageReceiver {
    Q_OBJECT
public:
    // `app` may be nullptr; `loop` is the loop the notifier posts to.
    MainWindow(Scheduler& scheduler, EventLoop& loop, UserPrompt& prompt, Application* app = nullptr,
               QWidget* parent = nullptr);
    ~MainWindow() override;

    // The seam of the stream view: the pane replaces the current one (the
    // window owns it from now on).
    void SetStreamViewPane(StreamViewPane* pane);
    StreamViewPane* StreamPane() const { return m_streamPane; }

    View ActiveView() const { return m_view; }
    void ShowView(View view);
    void SetActiveStream(const std::string& name);
    std::string ActiveStream() const { return m_activeStream; }

    // The one door for buttons and keys. Returns who got the command, or
    // nothing when no one did.
    std::optional<Performer> Dispatch(const CommandEntry& entry);
    // What the last Dispatch did, for the status bar and the tests.
    struct Outcome {
        int command = kCmdNone;
        std::optional<Performer> performer;
        bool performed = false;  // false: the performer lacks it (status bar says so)
    };
    const Outcome& LastOutcome() const { return m_last; }
    // Off: Dispatch routes and records but performs nothing (tests of the
    // routing that must not open dialogs or quit).
    void SetPerforming(bool on) { m_performing = on; }

    QAction* ActionForButton(int buttonId) const;
    DescriptionView* Descriptions() const { return m_descriptions; }
    ScheduleView* Schedule() const { return m_schedule; }
    ExportProgressWindow* ExportWindow() const { return m_exportWindow; }
    HttpStatusWindow* HttpStatus() const { return m_httpStatus; }
    QString StatusLine() const;

    // The tray (or the task bar where there is no tray).
    void MinimizeToTray();
    void RestoreFromTray();

    void HandleMessage(Message& message) override;

signals:
    void commandDispatched(int command, int performer, bool performed);
    // The window was closed (not minimised): the process should end.
    void closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void BuildToolbars();
    void BuildTray();
    void FillChannels();
    void UpdateIndicator();
    bool PerformFrame(int command);
    bool PerformDocument(int command);
    bool PerformSchedule(int command);
    bool RunOptionsCommand();
    bool StartExport();
    bool StartUpload();
    void FinishUpload(const Message& message);
    bool ToggleActiveState();
    bool RunSetupDialog(int command);
    void ShowActiveState();
    void Missing(const CommandEntry& entry, const QString& what);
    void SaveActiveView();
    void ShowEventViewer();

    Scheduler& m_scheduler;
    EventLoop& m_loop;
    UserPrompt& m_prompt;
    Application* m_app;
    ReceiverSlot m_slot;
    std::shared_ptr<StreamTaskStatus> m_taskStatus;

    View m_view = View::Stream;
    std::string m_activeStream;
    Outcome m_last;
    bool m_performing = true;

    QComboBox* m_channels;
    QTabBar* m_tabs;
    QStackedWidget* m_stack;
    StreamViewPane* m_streamPane = nullptr;
    DescriptionView* m_descriptions;
    ScheduleView* m_schedule;
    EventViewer* m_eventViewer = nullptr;
    ExportProgressWindow* m_exportWindow = nullptr;  // made by the first export, kept
    HttpStatusWindow* m_httpStatus;
    QLabel* m_recordingLabel;
    QLabel* m_levelLabel;
    QSystemTrayIcon* m_tray = nullptr;
    std::vector<std::pair<int, QAction*>> m_buttonActions;

    bool m_recording = false;
    int64_t m_recordingSince = 0;  // process clock ticks
    int m_levelLeft = -1;
    int m_levelRight = -1;
    TimerId m_indicatorTimer = 0;
    TimerId m_refreshTimer = 0;
    std::thread m_exportThread;  // "create mp3's"; joined before the window goes
    bool m_exportBusy = false;
    std::thread m_uploadThread;  // Ctrl+U; joined before the window goes
    bool m_uploadBusy = false;
    static constexpr int kMsgUploadDone = 0x8204;
};

// The key press of a Qt key event in the table's words.
KeyPress ToKeyPress(int qtKey, Qt::KeyboardModifiers modifiers, const QString& text);

}  // namespace wk::ui
