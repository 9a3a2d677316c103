#include "ui/shell/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QAbstractSpinBox>
#include <QMenu>
#include <QPainter>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QTextEdit>
#include <QToolBar>
#include <QUrl>
#include <QVBoxLayout>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/Application.h"
#include "app/ExportCommand.h"
#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/RecordingNotifier.h"
#include "core/Trace.h"
#include "core/UserPrompt.h"
#include "recording/StreamTaskStatus.h"
#include "scheduler/Scheduler.h"
#include "streamstore/StreamNameFile.h"
#include "ui/shell/DescriptionView.h"
#include "ui/shell/EventViewer.h"
#include "ui/shell/ScheduleView.h"
#include "ui/shell/StreamViewPane.h"

namespace wk::ui {
namespace {

constexpr int kMsgLevel = 0x8200;
constexpr int kMsgActiveStream = 0x8202;
constexpr int kMsgExportDone = 0x8203;
constexpr int64_t kIndicatorMs = 500;
constexpr int64_t kStateRefreshMs = 5000;

// Toolbar words: the tooltip without its key, shortened where it is long.
QString ButtonLabel(const CommandEntry& e) {
    switch (e.command) {
    case kCmdSetTrackStart: return QObject::tr("Track start");
    case kCmdSetTrackEnd: return QObject::tr("Track end");
    case kCmdSplitTrack: return QObject::tr("Split");
    case kCmdDeleteTrack: return QObject::tr("Delete track");
    case kCmdDeleteInvalidTracks: return QObject::tr("Delete invalid");
    case kCmdPlayCurrentTrack: return QObject::tr("Play track");
    case kCmdStopPlaying: return QObject::tr("Stop");
    case kCmdZoom5Min: return QObject::tr("5 min");
    case kCmdZoom1Hour: return QObject::tr("1 hour");
    case kCmdZoom1Day: return QObject::tr("1 day");
    case kCmdStreamDeleteMarkStart: return QObject::tr("Cut from");
    case kCmdDeleteMarkedStreamPart: return QObject::tr("Cut to here");
    case kCmdBreakStart: return QObject::tr("Break start");
    case kCmdBreakEnd: return QObject::tr("Break end");
    case kCmdDeleteAllStream: return QObject::tr("Delete stream");
    case kCmdCreateScheduleItem: return QObject::tr("New item");
    case kCmdModifyScheduleItem: return QObject::tr("Modify");
    case kCmdDeleteScheduleItem: return QObject::tr("Delete item");
    case kCmdTimeShift: return QObject::tr("Shift times");
    case kCmdWebSite: return QObject::tr("Web site");
    case kCmdUpload: return QObject::tr("Upload");
    case kCmdPlaylistDownload: return QObject::tr("Get playlists");
    case kCmdScheduleDownload: return QObject::tr("Get schedule");
    case kCmdActiveState: return QObject::tr("On/off");
    case kCmdSilenceDetection: return QObject::tr("Silences");
    case kCmdCreateMp3s: return QObject::tr("Create mp3's");
    case kCmdImportTracks: return QObject::tr("Import");
    case kCmdEditChannels: return QObject::tr("Channels");
    case kCmdSoundSettings: return QObject::tr("Sound");
    case kCmdStreamView: return QObject::tr("Stream view");
    case kCmdScheduleView: return QObject::tr("Schedule view");
    default: break;
    }
    if (e.command == kCmdNone) return QObject::tr("Skin");
    QString text = QString::fromUtf8(e.tooltip.data(), static_cast<int>(e.tooltip.size()));
    const int paren = text.indexOf(QLatin1String(" ("));
    if (paren > 0) text.truncate(paren);
    if (!text.isEmpty()) text[0] = text[0].toUpper();
    return text;
}

QString Tooltip(const CommandEntry& e) {
    if (!e.tooltip.empty()) return QString::fromUtf8(e.tooltip.data(), static_cast<int>(e.tooltip.size()));
    const std::string key = KeyText(e.key);
    return ButtonLabel(e) + (key.empty() ? QString() : QStringLiteral(" (%1)").arg(QString::fromStdString(key)));
}

QIcon Dot(const QColor& colour) {
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(colour);
    painter.setPen(QPen(Qt::black, 2));
    painter.drawEllipse(3, 3, 26, 26);
    return QIcon(pixmap);
}

bool TakesTyping(QObject* o) {
    if (auto* edit = qobject_cast<QLineEdit*>(o)) return !edit->isReadOnly();
    if (auto* combo = qobject_cast<QComboBox*>(o)) return combo->isEditable();
    return qobject_cast<QAbstractSpinBox*>(o) || qobject_cast<QTextEdit*>(o) ||
           qobject_cast<QPlainTextEdit*>(o);
}

QString PerformerName(Performer p) {
    switch (p) {
    case Performer::StreamView: return QObject::tr("the stream view");
    case Performer::ScheduleView: return QObject::tr("the schedule view");
    default: return QString();
    }
}

}  // namespace

KeyPress ToKeyPress(int qtKey, Qt::KeyboardModifiers modifiers, const QString& text) {
    KeyPress press;
    if (modifiers & Qt::ControlModifier) press.modifiers |= kModCtrl;
    if (modifiers & Qt::AltModifier) press.modifiers |= kModAlt;
    if (modifiers & Qt::ShiftModifier) press.modifiers |= kModShift;
    press.keypad = (modifiers & Qt::KeypadModifier) != 0;
    if (qtKey >= Qt::Key_A && qtKey <= Qt::Key_Z) {
        press.name = std::string(1, static_cast<char>('A' + (qtKey - Qt::Key_A)));
    } else if (qtKey >= Qt::Key_F1 && qtKey <= Qt::Key_F12) {
        char name[8];
        std::snprintf(name, sizeof name, "F%d", qtKey - Qt::Key_F1 + 1);
        press.name = name;
    } else {
        switch (qtKey) {
        case Qt::Key_Insert: press.name = "Insert"; break;
        case Qt::Key_Return:
        case Qt::Key_Enter: press.name = "Enter"; break;
        case Qt::Key_Delete: press.name = "Delete"; break;
        default:
            // Keypad symbols are named by what they print.
            if (qtKey >= 0x20 && qtKey < 0x7f) press.name = std::string(1, static_cast<char>(qtKey));
            break;
        }
    }
    press.text = text.toStdString();
    return press;
}

MainWindow::MainWindow(Scheduler& scheduler, EventLoop& loop, UserPrompt& prompt, Application* app,
                       QWidget* parent)
    : QMainWindow(parent),
      m_scheduler(scheduler),
      m_loop(loop),
      m_prompt(prompt),
      m_app(app),
      m_slot(loop, this),
      m_taskStatus(std::make_shared<StreamTaskStatus>()),
      m_channels(new QComboBox),
      m_tabs(new QTabBar),
      m_stack(new QStackedWidget),
      m_descriptions(new DescriptionView),
      m_schedule(new ScheduleView(scheduler, prompt)),
      m_recordingLabel(new QLabel),
      m_levelLabel(new QLabel) {
    setWindowTitle(QStringLiteral("wavkeep"));
    resize(1400, 680);
    m_scheduler.SetStatusSource(m_taskStatus);

    auto* central = new QWidget;
    auto* layout = new QVBoxLayout(central);
    auto* top = new QHBoxLayout;
    auto* channelLabel = new QLabel(tr("Channel:"));
    top->addWidget(channelLabel);
    m_channels->setToolTip(tr("channels"));
    m_channels->setMinimumContentsLength(16);
    top->addWidget(m_channels);
    top->addSpacing(16);
    m_tabs->addTab(tr("Stream"));
    m_tabs->addTab(tr("Descriptions"));
    m_tabs->addTab(tr("Schedule"));
    top->addWidget(m_tabs);
    top->addStretch(1);
    layout->addLayout(top);
    layout->addWidget(m_stack, 1);
    setCentralWidget(central);

    m_stack->addWidget(new PlaceholderStreamPane);
    m_stack->addWidget(m_descriptions);
    m_stack->addWidget(m_schedule);
    SetStreamViewPane(static_cast<StreamViewPane*>(m_stack->widget(0)));

    statusBar()->addPermanentWidget(m_levelLabel);
    statusBar()->addPermanentWidget(m_recordingLabel);
    BuildToolbars();
    BuildTray();

    connect(m_tabs, &QTabBar::currentChanged, this, [this](int i) { ShowView(static_cast<View>(i)); });
    connect(m_channels, &QComboBox::activated, this,
            [this](int) { SetActiveStream(m_channels->currentText().toStdString()); });
    connect(m_descriptions, &DescriptionView::statusText, this,
            [this](const QString& t) { statusBar()->showMessage(t, 8000); });
    connect(m_descriptions, &DescriptionView::uploadRequested, this, [this] {
        if (const CommandEntry* e = FindByCommand(kCmdUpload)) Dispatch(*e);
    });
    connect(m_schedule, &ScheduleView::statusText, this,
            [this](const QString& t) { statusBar()->showMessage(t, 8000); });

    auto& notifier = RecordingNotifier::Instance();
    notifier.Subscribe(kEventRecordingStarted, m_loop, m_slot.Id(), Application::kMsgRecordingStarted);
    notifier.Subscribe(kEventRecordingStopped, m_loop, m_slot.Id(), Application::kMsgRecordingStopped);
    notifier.Subscribe(kEventChunkCompleted, m_loop, m_slot.Id(), Application::kMsgChunkCompleted);
    notifier.Subscribe(kEventRecordSkipped, m_loop, m_slot.Id(), Application::kMsgRecordSkipped);
    notifier.Subscribe(kEventLevelLeft, m_loop, m_slot.Id(), kMsgLevel);
    notifier.Subscribe(kEventLevelRight, m_loop, m_slot.Id(), kMsgLevel + 1);
    notifier.Subscribe(kEventActiveStreamChanged, m_loop, m_slot.Id(), kMsgActiveStream);
    m_indicatorTimer = m_loop.SetTimer(kIndicatorMs, true, [this] { UpdateIndicator(); });
    m_refreshTimer = m_loop.SetTimer(kStateRefreshMs, true, [this] { m_schedule->StartStateRefresh(); });

    ConfigStore config;
    config.Load();
    FillChannels();
    SetActiveStream(config.GetString("ActiveStream"));
    m_schedule->Refresh();
    const std::string view = config.GetString("ActiveView");
    ShowView(view == "Schedule" ? View::Schedule : view == "Description" ? View::Description : View::Stream);
    UpdateIndicator();
    qApp->installEventFilter(this);
}

MainWindow::~MainWindow() {
    qApp->removeEventFilter(this);
    if (m_exportThread.joinable()) m_exportThread.join();
    RecordingNotifier::Instance().Unsubscribe(m_loop, m_slot.Id());
    m_loop.KillTimer(m_indicatorTimer);
    m_loop.KillTimer(m_refreshTimer);
    m_scheduler.SetStatusSource(nullptr);
}

void MainWindow::SetStreamViewPane(StreamViewPane* pane) {
    if (!pane || pane == m_streamPane) return;
    QWidget* old = m_stack->widget(0);
    if (old != pane) {
        m_stack->insertWidget(0, pane);
        m_stack->removeWidget(old);
        old->deleteLater();
    }
    m_streamPane = pane;
    connect(pane, &StreamViewPane::statusText, this,
            [this](const QString& t) { statusBar()->showMessage(t, 8000); });
    if (!m_activeStream.empty()) pane->SetStream(m_activeStream);
    if (m_view == View::Stream) m_stack->setCurrentIndex(0);
}

void MainWindow::BuildToolbars() {
    struct Group {
        const char* name;
        std::function<bool(const CommandEntry&)> takes;
    };
    // The schedule download sits with the schedule's buttons, where it is
    // looked for (and the program's row has no room left).
    const Group groups[] = {
        {"Program", [](const CommandEntry& e) { return e.performer != Performer::StreamView && e.performer != Performer::ScheduleView && e.command != kCmdScheduleDownload; }},
        {"Stream view", [](const CommandEntry& e) { return e.performer == Performer::StreamView; }},
        {"Schedule", [](const CommandEntry& e) { return e.performer == Performer::ScheduleView || e.command == kCmdScheduleDownload; }},
    };
    bool first = true;
    for (const Group& g : groups) {
        if (!first) addToolBarBreak();
        first = false;
        QToolBar* bar = addToolBar(tr(g.name));
        bar->setObjectName(QString::fromLatin1(g.name));
        bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
        bar->setMovable(false);
        for (const CommandEntry& e : Commands()) {
            if (e.buttons[0] == 0 || e.buttons[0] == 1006 || !g.takes(e)) continue;
            auto* action = new QAction(ButtonLabel(e), this);
            action->setToolTip(Tooltip(e));
            action->setStatusTip(Tooltip(e));
            // The window's key filter does the keys; the action only shows them.
            bar->addAction(action);
            const CommandEntry* entry = &e;
            connect(action, &QAction::triggered, this, [this, entry] { Dispatch(*entry); });
            for (int id : e.buttons)
                if (id != 0) m_buttonActions.emplace_back(id, action);
        }
    }
}

QAction* MainWindow::ActionForButton(int buttonId) const {
    for (const auto& [id, action] : m_buttonActions)
        if (id == buttonId) return action;
    return nullptr;
}

void MainWindow::BuildTray() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return;
    m_tray = new QSystemTrayIcon(Dot(Qt::gray), this);
    auto* menu = new QMenu(this);
    menu->addAction(tr("Show wavkeep"), this, &MainWindow::RestoreFromTray);
    menu->addAction(tr("Event viewer"), this, &MainWindow::ShowEventViewer);
    menu->addSeparator();
    menu->addAction(tr("Exit"), this, &QWidget::close);
    m_tray->setContextMenu(menu);
    connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::Trigger || r == QSystemTrayIcon::DoubleClick) RestoreFromTray();
    });
    m_tray->show();
}

void MainWindow::FillChannels() {
    const QSignalBlocker block(m_channels);
    m_channels->clear();
    StreamNameFile streams;
    streams.load();
    for (const auto& r : streams.Records()) {
        m_channels->addItem(QString::fromStdString(r->name));
        if (r->active != 1)
            m_channels->setItemData(m_channels->count() - 1, tr("not recorded (inactive)"), Qt::ToolTipRole);
    }
}

void MainWindow::SetActiveStream(const std::string& name) {
    const QSignalBlocker block(m_channels);
    const int at = m_channels->findText(QString::fromStdString(name));
    if (at < 0 && m_channels->count() > 0) {
        // An unknown name (a stream removed meanwhile) shows the first one.
        m_channels->setCurrentIndex(0);
    } else if (at >= 0) {
        m_channels->setCurrentIndex(at);
    }
    const std::string chosen = m_channels->currentText().toStdString();
    if (chosen != m_activeStream) {
        ConfigStore config;
        config.Load();
        if (config.GetString("ActiveStream") != chosen && !chosen.empty()) {
            config.SetString("ActiveStream", chosen);
            config.Save();
            if (m_app) m_app->RequestReload();
        }
    }
    m_activeStream = chosen;
    if (m_streamPane) m_streamPane->SetStream(chosen);
    m_descriptions->SetStream(chosen);
}

void MainWindow::ShowView(View view) {
    m_view = view;
    m_stack->setCurrentIndex(static_cast<int>(view));
    const QSignalBlocker block(m_tabs);
    m_tabs->setCurrentIndex(static_cast<int>(view));
    if (view == View::Description) m_descriptions->Reload();
    // The description view may have changed what the bars show.
    if (view == View::Stream && m_streamPane) m_streamPane->Reload();
    if (view == View::Schedule) m_schedule->Refresh();
}

std::optional<Performer> MainWindow::Dispatch(const CommandEntry& entry) {
    m_last = Outcome{entry.command, Route(entry, m_view), false};
    const std::optional<Performer> to = m_last.performer;
    if (to && !m_performing) {
        // Routed, not performed.
    } else if (!to) {
        statusBar()->showMessage(tr("\"%1\" works in %2; switch to it first.")
                                     .arg(ButtonLabel(entry), PerformerName(entry.performer)),
                                 8000);
    } else {
        switch (*to) {
        case Performer::Frame: m_last.performed = PerformFrame(entry.command); break;
        case Performer::Document: m_last.performed = PerformDocument(entry.command); break;
        case Performer::ScheduleView: m_last.performed = PerformSchedule(entry.command); break;
        case Performer::StreamView:
            m_last.performed = m_streamPane && m_streamPane->HandleCommand(entry.command);
            if (!m_last.performed) Missing(entry, tr("the stream view's player and marking"));
            break;
        case Performer::Dialog: Missing(entry, tr("the skin chooser")); break;
        }
    }
    emit commandDispatched(entry.command, to ? static_cast<int>(*to) : -1, m_last.performed);
    return to;
}

void MainWindow::Missing(const CommandEntry& entry, const QString& what) {
    statusBar()->showMessage(tr("\"%1\": %2 is not part of this version yet.").arg(ButtonLabel(entry), what), 8000);
}

bool MainWindow::PerformFrame(int command) {
    const CommandEntry* entry = FindByCommand(command);
    switch (command) {
    case kCmdExit: close(); return true;
    case kCmdStreamView: ShowView(View::Stream); return true;
    case kCmdScheduleView: ShowView(View::Schedule); return true;
    case kCmdMinimize: MinimizeToTray(); return true;
    case kCmdWebSite: {
        ConfigStore config;
        config.Load();
        const QString url = QString::fromStdString(config.GetString("DefaultURL"));
        if (url.isEmpty() || !QDesktopServices::openUrl(QUrl(url))) {
            statusBar()->showMessage(tr("The web site (%1) could not be opened.").arg(url), 8000);
            return false;
        }
        return true;
    }
    case kCmdPlaylistDownload:
    case kCmdScheduleDownload:
        if (!m_app) {
            statusBar()->showMessage(tr("Downloads run only while this window records."), 8000);
            return false;
        }
        if (command == kCmdPlaylistDownload) m_app->RequestPlaylistDownload();
        else m_app->RequestScheduleDownload();
        statusBar()->showMessage(tr("Download started; see the event viewer for its outcome."), 8000);
        return true;
    default: break;
    }
    if (entry) {
        const QString what = command == kCmdAbout ? tr("the About box")
                           : command == kCmdEditChannels ? tr("the channel list dialog")
                           : command == kCmdWizard ? tr("the set-up wizard")
                           : command == kCmdTimeShift ? tr("the time shifting dialog")
                           : tr("this command");
        Missing(*entry, what);
    }
    return false;
}

bool MainWindow::PerformDocument(int command) {
    const CommandEntry* entry = FindByCommand(command);
    switch (command) {
    case kCmdImportTracks: {
        if (!m_app) {
            statusBar()->showMessage(tr("Importing needs the recorder of this window."), 8000);
            return false;
        }
        const QString file = QFileDialog::getOpenFileName(this, tr("Import tracks"), QString(),
                                                          tr("Description files (*.des *.DES)"));
        if (file.isEmpty()) return false;
        m_app->RequestOpen(file.toStdString());
        statusBar()->showMessage(tr("Importing %1; see the event viewer for its outcome.").arg(file), 8000);
        return true;
    }
    case kCmdDeleteInvalidTracks:
        // The stream view holds the store it marks in; it does the deleting
        // so that its selection and highlight follow.
        return m_streamPane && m_streamPane->HandleCommand(command);
    case kCmdCreateMp3s: {
        if (m_exportBusy) {
            statusBar()->showMessage(tr("The mp3's are still being created."), 8000);
            return false;
        }
        if (m_exportThread.joinable()) m_exportThread.join();
        m_exportBusy = true;
        const std::string stream = m_activeStream;
        statusBar()->showMessage(tr("Creating the mp3's of %1...").arg(QString::fromStdString(stream)));
        EventLoop* loop = &m_loop;
        const ReceiverId to = m_slot.Id();
        m_exportThread = std::thread([loop, to, stream] {
            std::ostringstream out, err;
            ExportOptions options;
            options.stream = stream;
            const int code = RunExport(options, out, err);
            loop->Post(to, kMsgExportDone, code, 0,
                       std::make_unique<ValuePayload<std::string>>(code == 0 ? out.str() : err.str()));
        });
        return true;
    }
    default: break;
    }
    if (entry) {
        const QString what = command == kCmdOptions ? tr("the options dialog")
                           : command == kCmdSoundSettings ? tr("the sound settings dialog")
                           : command == kCmdUpload ? tr("the upload dialog")
                           : tr("deleting invalid tracks by hand");
        Missing(*entry, what);
    }
    return false;
}

bool MainWindow::PerformSchedule(int command) {
    // Insert, Enter and Delete reach the schedule from every view; it is
    // shown so that the user sees what they act on.
    if (m_view != View::Schedule) ShowView(View::Schedule);
    switch (command) {
    case kCmdCreateScheduleItem: m_schedule->CreateItem(); return true;
    case kCmdModifyScheduleItem: m_schedule->ModifySelected(); return true;
    case kCmdDeleteScheduleItem: m_schedule->DeleteSelected(); return true;
    default: return false;
    }
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::ShortcutOverride)
        return QMainWindow::eventFilter(watched, event);
    auto* widget = qobject_cast<QWidget*>(watched);
    // Keys of other windows (dialogs, message boxes) and of text fields stay theirs.
    if (!widget || widget->window() != this || TakesTyping(watched) || QApplication::activeModalWidget())
        return QMainWindow::eventFilter(watched, event);
    auto* key = static_cast<QKeyEvent*>(event);
    const CommandEntry* entry = MatchKey(ToKeyPress(key->key(), key->modifiers(), key->text()));
    if (!entry) return QMainWindow::eventFilter(watched, event);
    if (event->type() == QEvent::ShortcutOverride) {
        event->accept();  // ours, not a widget shortcut's
        return true;
    }
    if (!key->isAutoRepeat()) Dispatch(*entry);
    return true;
}

void MainWindow::HandleMessage(Message& message) {
    switch (message.id) {
    case Application::kMsgRecordingStarted: {
        m_recording = true;
        m_recordingSince = GetClock().Ticks();
        const DateTime now = GetClock().Now();
        {
            auto guard = m_scheduler.LockGuard();
            m_taskStatus->SetRecordedTask(m_scheduler.findActiveTask(now));
        }
        m_schedule->StartStateRefresh();
        UpdateIndicator();
        break;
    }
    case Application::kMsgRecordingStopped:
        m_recording = false;
        m_taskStatus->SetRecordedTask(nullptr);
        m_schedule->StartStateRefresh();
        UpdateIndicator();
        break;
    case Application::kMsgChunkCompleted:
        if (m_streamPane) m_streamPane->Reload();
        break;
    case Application::kMsgRecordSkipped:
        statusBar()->showMessage(tr("A scheduled recording was skipped; see the event viewer."), 8000);
        break;
    case kMsgLevel: m_levelLeft = static_cast<int>(message.p1); break;
    case kMsgLevel + 1: m_levelRight = static_cast<int>(message.p1); break;
    case kMsgActiveStream: FillChannels(); break;
    case kMsgExportDone: {
        m_exportBusy = false;
        const std::string* text = message.PayloadAs<std::string>();
        const QString out = text ? QString::fromStdString(*text).trimmed() : QString();
        statusBar()->showMessage(message.p1 == 0 ? tr("mp3's created: %1").arg(out.section('\n', -1))
                                                 : tr("Creating the mp3's failed: %1").arg(out), 15000);
        m_descriptions->Reload();
        break;
    }
    default: break;
    }
}

QString MainWindow::StatusLine() const {
    return m_recordingLabel->text();
}

void MainWindow::UpdateIndicator() {
    if (m_app) {
        const ApplicationStatus s = m_app->Status();
        if (s.recording != m_recording) {
            m_recording = s.recording;
            if (m_recording) m_recordingSince = GetClock().Ticks();
        }
        if (m_recording) {
            const int64_t seconds = (GetClock().Ticks() - m_recordingSince) / 1000;
            m_recordingLabel->setText(
                tr("Recording %1 — %2 — %3:%4:%5")
                    .arg(QString::fromStdString(s.stream),
                         QString::fromStdString(std::filesystem::path(s.chunk).filename().string()))
                    .arg(seconds / 3600)
                    .arg((seconds / 60) % 60, 2, 10, QLatin1Char('0'))
                    .arg(seconds % 60, 2, 10, QLatin1Char('0')));
        } else {
            m_recordingLabel->setText(tr("Not recording"));
        }
    } else {
        m_recordingLabel->setText(tr("Not recording (no recorder in this window)"));
    }
    const int level = std::max(m_levelLeft, m_levelRight);
    m_levelLabel->setText(m_recording && level >= 0 ? tr("Input level %1").arg(level) : QString());
    if (m_tray) {
        m_tray->setIcon(Dot(m_recording ? QColor(220, 30, 30) : QColor(Qt::gray)));
        m_tray->setToolTip(m_recording ? m_recordingLabel->text() : tr("wavkeep: not recording"));
    }
}

void MainWindow::MinimizeToTray() {
    if (m_tray && m_tray->isVisible()) hide();
    else showMinimized();
}

void MainWindow::RestoreFromTray() {
    showNormal();
    raise();
    activateWindow();
}

void MainWindow::ShowEventViewer() {
    if (!m_eventViewer) m_eventViewer = new EventViewer(this);
    m_eventViewer->show();
    m_eventViewer->raise();
}

void MainWindow::SaveActiveView() {
    ConfigStore config;
    config.Load();
    config.SetString("ActiveView", m_view == View::Schedule      ? "Schedule"
                                   : m_view == View::Description ? "Description"
                                                                 : "Player");
    config.Save();
}

void MainWindow::closeEvent(QCloseEvent* event) {
    SaveActiveView();
    if (m_app) m_app->RequestStop();
    if (m_tray) m_tray->hide();
    event->accept();
    emit closed();
}

}  // namespace wk::ui
