#include "ui/shell/MainWindow.h"

#include <QAction>
#include <QStatusBar>
#include <sstream>

#include "app/DownloadCommand.h"
#include "app/StreamsCommand.h"
#include "core/Translation.h"
#include "core/UserPrompt.h"
#include "server/RequestManager.h"
#include "server/Upload.h"
#include "streamstore/StreamNameFile.h"
#include "ui/shell/ScheduleView.h"

// The main window's commands that act on the active stream beyond the
// window: the upload of its descriptions to the service and its active
// state in the stream list.

namespace wk::ui {
namespace {

constexpr int kActiveStateButton = 1050;

// "wavkeep: why\n" as a status bar line.
QString Reason(const std::string& err) {
    QString text = QString::fromStdString(err).trimmed();
    if (text.startsWith(QLatin1String("wavkeep: "))) text.remove(0, 9);
    return text;
}

}  // namespace

// The request waits for the service for up to the connect time-out and
// its retries; on this thread that would freeze the window for minutes, so
// it runs on a worker and the outcome comes back as a message.
bool MainWindow::StartUpload() {
    if (m_uploadBusy) {
        statusBar()->showMessage(tr("An upload is still running."), 8000);
        return false;
    }
    if (m_uploadThread.joinable()) m_uploadThread.join();
    if (m_activeStream.empty()) {
        statusBar()->showMessage(tr("Choose the stream whose descriptions go to the service first."), 8000);
        return false;
    }
    m_uploadBusy = true;
    statusBar()->showMessage(tr("Uploading the descriptions of %1...").arg(QString::fromStdString(m_activeStream)));
    EventLoop* loop = &m_loop;
    const ReceiverId to = m_slot.Id();
    const std::string stream = m_activeStream;
    m_uploadThread = std::thread([loop, to, stream] {
        std::ostringstream err;
        UploadOutcome outcome = UploadStreamDescriptions(stream, err);
        // Nothing was sent: the reason stands in for the service's answer.
        if (outcome.result == kUploadNoAccount) outcome.answer = err.str();
        loop->Post(to, kMsgUploadDone, outcome.result, 0,
                   std::make_unique<ValuePayload<std::string>>(outcome.answer));
    });
    return true;
}

void MainWindow::FinishUpload(const Message& message) {
    if (m_uploadThread.joinable()) m_uploadThread.join();
    m_uploadBusy = false;
    const int result = static_cast<int>(message.p1);
    const std::string* answer = message.PayloadAs<std::string>();
    std::string text = UploadResultText(result, answer ? *answer : std::string());
    if (result == kUploadNoAccount)
        text = TranslateText("No account is stored (Options.txt): nothing was uploaded.") + "\n" +
               Reason(answer ? *answer : std::string()).toStdString();
    else
        text = TranslateText(text);
    statusBar()->showMessage(QString::fromStdString(text).section('\n', 0, 0));
    if (text.empty()) return;
    m_prompt.Show(text, kMbOk | (result == kUploadDone ? kMbIconInformation : kMbIconWarning));
}

bool MainWindow::ToggleActiveState() {
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = streams.Find(m_activeStream);
    if (!record) {
        statusBar()->showMessage(tr("No stream \"%1\" in the stream list.").arg(QString::fromStdString(m_activeStream)),
                                 8000);
        ShowActiveState();
        return false;
    }
    const bool active = record->active != 1;
    const std::string name = record->name;
    std::ostringstream out, err;
    if (RunStreamsActivate(name, active, out, err) != 0) {
        statusBar()->showMessage(tr("The stream list was not changed: %1").arg(Reason(err.str())), 8000);
        ShowActiveState();
        return false;
    }
    const QString shown = QString::fromStdString(name);
    statusBar()->showMessage(
        active ? tr("%1 is on: its scheduled recordings are made.").arg(shown)
               : tr("%1 is off: its scheduled recordings are skipped (one under way goes on).").arg(shown),
        8000);
    FillChannels();
    SetActiveStream(m_activeStream);
    // Future tasks of the stream change state (waiting or skipped).
    m_schedule->StartStateRefresh();
    return true;
}

void MainWindow::ShowActiveState() {
    QAction* action = ActionForButton(kActiveStateButton);
    if (!action) return;
    StreamNameFile streams;
    streams.load();
    const StreamRecord* record = streams.Find(m_activeStream);
    action->setCheckable(true);
    action->setChecked(record && record->active == 1);
}

}  // namespace wk::ui
