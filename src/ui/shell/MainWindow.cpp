#include "ui/shell/MainWindow.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTabBar>
#include <QVBoxLayout>
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
#include "export/ExportProgress.h"
#include "recording/StreamTaskStatus.h"
#include "scheduler/Scheduler.h"
#include "server/RequestManager.h"
#include "streamstore/StreamNameFile.h"
#include "ui/shell/DescriptionView.h"
#include "ui/shell/EventViewer.h"
#include "ui/shell/ExportProgressWindow.h"
#include "ui/shell/HttpStatusWindow.h"
#include "ui/shell/ScheduleView.h"
#include "ui/shell/StreamViewPane.h"

namespace wk::ui {
namespace {

constexpr int kMsgLevel = 0x8200;
constexpr int kMsgActiveStream = 0x8202;
constexpr int kMsgExportDone = 0x8203;
constexpr int64_t kIndicatorMs = 500;
constexpr int64_t kStateRefreshMs = 5000;

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

}  // namespace

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
      m_httpStatus(new HttpStatusWindow(this)),
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
    // The status window may be closed before it was read.
    connect(m_httpStatus, &HttpStatusWindow::statusShown, this,
            [this](int, const QString& t, bool) { statusBar()->showMessage(t, 15000); });

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
    if (m_uploadThread.joinable()) {
        // A service that keeps the upload waiting would keep the window.
        if (m_uploadBusy) CHTTPRequestManager::CancelRequests();
        m_uploadThread.join();
    }
    RecordingNotifier::Instance().Unsubscribe(m_loop, m_slot.Id());
    m_loop.KillTimer(m_indicatorTimer);
    m_loop.KillTimer(m_refreshTimer);
    m_scheduler.SetStatusSource(nullptr);
}

void MainWindow::SetStreamViewPane(StreamViewPane* pane) {
    if (!pane || pane == m_streamPane) return;
    QWidget* old = m_stack->widget(0);
    if (old != pane) {
        // Never another page in between: a page shown reads its stream.
        const bool shown = m_stack->currentWidget() == old;
        m_stack->insertWidget(0, pane);
        if (shown) m_stack->setCurrentWidget(pane);
        m_stack->removeWidget(old);
        old->deleteLater();
    }
    m_streamPane = pane;
    connect(pane, &StreamViewPane::statusText, this,
            [this](const QString& t) { statusBar()->showMessage(t, 8000); });
    if (!m_activeStream.empty()) pane->SetStream(m_activeStream);
    if (m_view == View::Stream) m_stack->setCurrentIndex(0);
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
    ShowActiveState();
}

void MainWindow::ShowView(View view) {
    m_view = view;
    m_stack->setCurrentIndex(static_cast<int>(view));
    const QSignalBlocker block(m_tabs);
    m_tabs->setCurrentIndex(static_cast<int>(view));
    // The description view may have changed what the bars show.
    if (view == View::Stream && m_streamPane) m_streamPane->Reload();
    if (view == View::Schedule) m_schedule->Refresh();
}

bool MainWindow::StartExport() {
    if (m_exportBusy) {
        statusBar()->showMessage(tr("The mp3's are still being created."), 8000);
        return false;
    }
    if (m_exportThread.joinable()) m_exportThread.join();
    m_exportBusy = true;
    const std::string stream = m_activeStream;
    statusBar()->showMessage(tr("Creating the mp3's of %1...").arg(QString::fromStdString(stream)));
    if (!m_exportWindow) m_exportWindow = new ExportProgressWindow(this);
    std::shared_ptr<CExportProgress> progress = m_exportWindow->Begin(QString::fromStdString(stream));
    EventLoop* loop = &m_loop;
    const ReceiverId to = m_slot.Id();
    m_exportThread = std::thread([loop, to, stream, progress] {
        std::ostringstream out, err;
        ExportOptions options;
        options.stream = stream;
        options.progress = progress.get();
        const int code = RunExport(options, out, err);
        loop->Post(to, kMsgExportDone, code, 0,
                   std::make_unique<ValuePayload<std::string>>(code == 0 ? out.str() : err.str()));
    });
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
        // The last chunk is closed now.
        if (m_streamPane) m_streamPane->ChunkCompleted();
        m_schedule->StartStateRefresh();
        UpdateIndicator();
        break;
    case Application::kMsgChunkCompleted:
        if (m_streamPane) m_streamPane->ChunkCompleted();
        break;
    case Application::kMsgRecordSkipped:
        statusBar()->showMessage(tr("A scheduled recording was skipped; see the event viewer."), 8000);
        break;
    case kMsgLevel: m_levelLeft = static_cast<int>(message.p1); break;
    case kMsgLevel + 1: m_levelRight = static_cast<int>(message.p1); break;
    case kMsgActiveStream: FillChannels(); break;
    case kMsgUploadDone: FinishUpload(message); break;
    case kMsgExportDone: {
        m_exportBusy = false;
        const std::string* text = message.PayloadAs<std::string>();
        const QString out = text ? QString::fromStdString(*text).trimmed() : QString();
        if (m_exportWindow) m_exportWindow->Finish();
        // The outcome stays until something else is said.
        statusBar()->showMessage(message.p1 == 0 ? tr("mp3's created: %1").arg(out.section('\n', -1))
                                                 : tr("Creating the mp3's failed: %1").arg(out));
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
