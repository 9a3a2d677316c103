#include "ui/shell/MainWindow.h"

#include <QAbstractSpinBox>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFileDialog>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QTextEdit>
#include <QToolBar>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <functional>

#include "app/Application.h"
#include "core/ConfigStore.h"
#include "ui/shell/DescriptionView.h"
#include "ui/shell/ScheduleView.h"
#include "ui/shell/StreamViewPane.h"
#include "ui/shell/dialogs/AboutDialog.h"
#include "ui/shell/dialogs/OptionsDialog.h"
#include "ui/shell/dialogs/SoundSettingsDialog.h"
#include "ui/shell/dialogs/ChannelsDialog.h"
#include "ui/shell/dialogs/SetupWizard.h"
#include "ui/shell/dialogs/SkinChooser.h"
#include "ui/shell/dialogs/TimeShiftDialog.h"

// The command side of the main window: the toolbars built from the command
// table, the window-wide key filter, and the routing of each command to the
// frame, the document, the schedule or the stream view.

namespace wk::ui {
namespace {

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
        case Performer::Dialog:
            switch (entry.command) {
            case kCmdNone:  // the skin button
                if (const std::optional<QString> skin = RunSkinChooser(m_prompt, this)) {
                    statusBar()->showMessage(tr("Skin: %1").arg(*skin), 8000);
                    m_last.performed = true;
                }
                break;
            default: Missing(entry, tr("this dialog")); break;
            }
            break;
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
    case kCmdAbout: RunAboutBox(m_prompt, this); return true;
    case kCmdTimeShift: {
        if (!m_streamPane) return false;
        const bool moved = RunTimeShift(m_prompt, this, *m_streamPane);
        if (moved) m_descriptions->Reload();
        return moved;
    }
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
    case kCmdActiveState: return ToggleActiveState();
    case kCmdEditChannels:
    case kCmdWizard: return RunSetupDialog(command);
    default: break;
    }
    if (entry) Missing(*entry, tr("this command"));
    return false;
}

// The channel list and the set-up wizard change the streams (and the
// wizard the active one): the channel box follows what they saved.
bool MainWindow::RunSetupDialog(int command) {
    if (command == kCmdWizard && m_recording) {
        statusBar()->showMessage(tr("A recording is running; the set-up wizard can run when it has ended."), 8000);
        return false;
    }
    const bool saved = command == kCmdWizard ? RunSetupWizard(m_prompt, this) : RunChannelsDialog(m_prompt, this);
    if (!saved) return false;
    FillChannels();
    if (command == kCmdWizard) {
        ConfigStore config;
        config.Load();
        SetActiveStream(config.GetString("ActiveStream"));
        // The recorder takes the new encoder, input and stream as on SIGHUP.
        if (m_app) m_app->RequestReload();
        statusBar()->showMessage(tr("The set-up is stored."), 8000);
    } else {
        SetActiveStream(m_activeStream);
        statusBar()->showMessage(tr("The stream list is saved."), 8000);
    }
    return true;
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
    case kCmdCreateMp3s: return StartExport();
    case kCmdUpload: return StartUpload();
    case kCmdOptions: return RunOptionsCommand();
    case kCmdSoundSettings: return RunSoundSettings(m_prompt, this);
    default: break;
    }
    if (entry) Missing(*entry, tr("deleting invalid tracks by hand"));
    return false;
}

bool MainWindow::RunOptionsCommand() {
    const std::optional<std::vector<std::string>> saved = RunOptions(m_prompt, this);
    if (!saved) return false;
    const auto changed = [&](const char* key) { return std::find(saved->begin(), saved->end(), key) != saved->end(); };
    if (changed("StreamPath")) {
        FillChannels();
        SetActiveStream(m_activeStream);
    }
    if (m_streamPane && (changed("RecordColor") || changed("WaveColor") || changed("BckgrdColor")))
        m_streamPane->ColoursChanged();
    statusBar()->showMessage(saved->empty() ? tr("Options: nothing changed.")
                                            : tr("Options saved (%n setting(s)).", nullptr, static_cast<int>(saved->size())),
                             8000);
    return true;
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

}  // namespace wk::ui
