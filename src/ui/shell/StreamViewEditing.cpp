#include "ui/shell/StreamView.h"

// The stream view's commands that change the stream folder or the
// recorder: cutting a stretch out, deleting the whole stream, breaks,
// silence detection and recording by hand.

#include <algorithm>

#include "app/Application.h"
#include "core/Clock.h"
#include "core/Translation.h"
#include "descriptions/TimeShifting.h"
#include "recording/CTRecordingController.h"
#include "recording/SilenceAnalyser.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "streamstore/StreamDeletion.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/StreamViewText.h"

namespace wk::ui {
namespace {

// A hand recording runs until Alt+R again; its task needs an end all the same.
constexpr StreamTime kHandRecordingMs = 365LL * 24 * 3600 * 1000;

}  // namespace

bool StreamView::CutTo() {
    if (!m_cutStart) {
        Say(tr("Mark where the cut begins first (Shift+F)."));
        return false;
    }
    const StreamTime from = *m_cutStart;
    const StreamTime to = m_line.CursorTime();
    if (to < from) {
        Say(tr("The cursor lies before the cut's start (%1): nothing was deleted.").arg(TimeOf(from)));
        return false;
    }
    // The player must not read chunks while they go.
    StopPlayback();
    int deleted = 0;
    std::string spared;
    try {
        deleted = DeleteMarkedStretch(Folder(), from, to, &spared);
    } catch (const StreamsBusyError& e) {
        Say(tr("Nothing was deleted: %1").arg(QString::fromStdString(e.what())));
        return false;
    } catch (const MoveError&) {
        // The chunk names no longer tell the truth about their times; going
        // on would misplace every description.
        m_prompt.Show(LoadTranslatedString(kStrStreamFolderLocked), kMbOk | kMbIconStop);
        QMetaObject::invokeMethod(window(), "close", Qt::QueuedConnection);
        return false;
    }
    m_cutStart.reset();
    StartRead();
    QString text = deleted == 0
                       ? tr("No chunk lies wholly between %1 and %2: nothing was deleted.").arg(TimeOf(from), TimeOf(to))
                       : tr("%1 chunk(s) between %2 and %3 deleted.").arg(deleted).arg(TimeOf(from), TimeOf(to));
    if (!spared.empty()) text += tr(" The recording in progress was left alone.");
    Say(text);
    return deleted > 0;
}

bool StreamView::DeleteAll() {
    if (m_playback->IsPlaying()) {
        Say(tr("Stop playing before deleting the stream."));
        return false;
    }
    const std::string question = "This will delete the whole selected stream " + m_stream + ". Are you sure?";
    if (m_prompt.Show(question, kMbOkCancel | kMbIconQuestion) != kIdOk) return false;
    std::string kept;
    bool done = false;
    try {
        done = DeleteWholeStream(Folder(), &kept);
    } catch (const StreamsBusyError& e) {
        Say(tr("Nothing was deleted: %1").arg(QString::fromStdString(e.what())));
        return false;
    }
    m_cutStart.reset();
    m_breakStart.reset();
    m_marking = std::make_unique<TrackMarking>(m_data->MutableDescriptions(), *this, m_prompt);
    DescriptionsChanged();
    m_resetView = true;
    StartRead();
    Say(!done ? tr("The stream could not be emptied completely; see the event viewer.")
              : kept.empty() ? tr("Stream %1 deleted.").arg(QString::fromStdString(m_stream))
                             : tr("Stream %1 deleted, except the recording in progress.")
                                   .arg(QString::fromStdString(m_stream)));
    return done;
}

// A break (talk, news, adverts) belongs to no song: every song that reaches
// into it is cut back to where it begins or ends. A song lying wholly inside
// is left for the user to delete, as deleting asks first.
bool StreamView::BreakEnd() {
    if (!m_breakStart) {
        Say(tr("Mark where the break begins first (Alt+B)."));
        return false;
    }
    const StreamTime a = std::min(*m_breakStart, m_line.CursorTime());
    const StreamTime b = std::max(*m_breakStart, m_line.CursorTime());
    int cut = 0, inside = 0;
    std::string why;
    const bool written = m_data->MutableDescriptions().Update(
        [&](DescriptionStore& store) {
            cut = inside = 0;
            for (auto& d : store.Records()) {
                if (d->end <= a || d->start >= b) continue;
                if (d->start < a) d->end = a;
                else if (d->end > b) d->start = b;
                else {
                    ++inside;
                    continue;
                }
                ++cut;
            }
            return cut > 0;
        },
        &why);
    m_breakStart.reset();
    DescriptionsChanged();
    if (!written && !why.empty()) {
        Say(tr("The descriptions could not be changed: %1").arg(QString::fromStdString(why)));
        return false;
    }
    QString text = tr("Break %1 to %2: %3 song(s) cut back.").arg(TimeOf(a), TimeOf(b)).arg(cut);
    if (inside > 0) text += tr(" %1 song(s) lie wholly inside it (Shift+D deletes a selected one).").arg(inside);
    Say(text);
    return true;
}

bool StreamView::StartSilenceDetection() {
    if (m_silenceThread.joinable()) {
        if (!m_silenceDone.load()) {
            Say(tr("Silence detection is still running."));
            return false;
        }
        SilencesDone();
    }
    // The closed chunks of every recording, in order; the last of each is
    // where its last song ends.
    std::vector<std::vector<std::string>> sessions;
    for (const MP3SingleSaving& s : m_data->Info().sessions) {
        if (s.length <= 0 || s.spans.empty()) continue;
        auto& files = sessions.emplace_back();
        for (const ChunkSpan& c : s.spans) {
            std::string path = ChunkPath(s, static_cast<int>((c.start - s.start) / s.length + 1));
            files.push_back(path.substr(0, path.size() - 4) + ".dat");
        }
    }
    if (sessions.empty()) {
        Say(tr("Nothing recorded to look for silences in."));
        return false;
    }
    const SilenceParameters parameters = SilenceAnalyser::ActiveStreamParameters();
    m_silenceDone = false;
    Say(tr("Looking for silences in %1 recording(s)...").arg(sessions.size()));
    m_silenceThread = std::thread([this, sessions, parameters] {
        int offered = 0, unreadable = 0;
        for (const auto& files : sessions) {
            SilenceAnalyser analyser;
            analyser.SetParameters(parameters);
            analyser.SetTarget(std::string(), SilenceAnalyser::kDefaultStoreName);
            for (size_t i = 0; i < files.size(); ++i)
                if (!analyser.AnalyseFile(files[i], i + 1 == files.size(), true)) ++unreadable;
            offered += analyser.DescriptionsOffered();
        }
        m_silenceResult = tr("Silence detection found %1 song(s)").arg(offered).toStdString();
        if (unreadable > 0) m_silenceResult += tr("; %1 chunk(s) had no wave file").arg(unreadable).toStdString();
        m_silenceResult += ".";
        m_silenceDone = true;
        QMetaObject::invokeMethod(this, [this] { SilencesDone(); }, Qt::QueuedConnection);
    });
    return true;
}

void StreamView::SilencesDone() {
    if (!m_silenceThread.joinable()) return;
    m_silenceThread.join();
    DescriptionsChanged();
    Say(QString::fromStdString(m_silenceResult));
}

void StreamView::FinishSilenceDetection() {
    SilencesDone();
}

bool StreamView::ToggleRecording() {
    if (!m_app || !m_app->Controller()) {
        Say(tr("Recording by hand needs the recorder, which this window does not run."));
        return false;
    }
    Scheduler& scheduler = m_app->GetScheduler();
    if (m_handRecording) {
        {
            auto lock = scheduler.LockGuard();
            scheduler.deleteTask(m_handRecording);
        }
        m_handRecording = nullptr;
        m_app->Controller()->Poke();
        Say(tr("Recording stops; the chunk being written is kept."));
        return true;
    }
    if (m_app->Status().recording) {
        Say(tr("A scheduled recording is running; it ends with its schedule item (see the schedule view)."));
        return false;
    }
    SwitchedTask task;
    const DateTime now = GetClock().Now();
    task.SetStreamName(m_stream);
    task.SetDescription("recorded by hand");
    task.SetStart(now);
    task.SetEnd(DateTime::FromStreamTime(now.ToStreamTime() + kHandRecordingMs));
    task.SetSwitchedOn(true);
    {
        auto lock = scheduler.LockGuard();
        m_handRecording = scheduler.insertTask(task);
    }
    m_app->Controller()->Poke();
    Say(tr("Recording %1 by hand; Alt+R stops it.").arg(QString::fromStdString(m_stream)));
    return true;
}

}  // namespace wk::ui

namespace wk::ui {

QString StreamView::ShiftTarget() const {
    if (!m_data || m_data->Descriptions().Size() == 0) return QString();
    if (m_marking && m_marking->Selected()) return tr("the selected song");
    return tr("all %1 songs of %2").arg(m_data->Descriptions().Size()).arg(QString::fromStdString(m_stream));
}

// The span a song must stay inside is the recorded stretch the view covers:
// moved out of it, a song could never be exported.
bool StreamView::ShiftDescriptions(int64_t amountMs) {
    if (!HaveStream()) {
        Say(tr("No stream is chosen; pick one in the channel list."));
        return false;
    }
    const auto span = m_data->Extent();
    if (!span) {
        Say(tr("Nothing is recorded yet to move the songs along."));
        return false;
    }
    std::optional<Description> selected;
    if (m_marking && m_marking->Selected()) selected = *m_marking->Selected();
    int moved = 0;
    bool gone = false;
    std::string why;
    const bool written = m_data->MutableDescriptions().Update(
        [&](DescriptionStore& store) {
            int index = -1;
            if (selected) {
                const auto& records = store.Records();
                const auto at = std::find_if(records.begin(), records.end(),
                                             [&](const auto& d) { return SameRecord(*d, *selected); });
                gone = at == records.end();
                if (gone) return false;
                index = static_cast<int>(at - records.begin());
            }
            moved = ShiftDescriptionsWithin(store, amountMs, index, span->first, span->second);
            return moved > 0;
        },
        &why);
    DescriptionsChanged();
    if (!written && !why.empty()) {
        Say(tr("The descriptions could not be changed: %1").arg(QString::fromStdString(why)));
        return false;
    }
    if (gone) {
        Say(tr("The selected song was changed meanwhile; nothing was moved."));
        return false;
    }
    // The moved song stays selected.
    if (selected && moved > 0) {
        m_marking->DoubleClickAt((selected->start + selected->end) / 2 + amountMs);
        AfterMarking();
    }
    const QString by = QString::number(static_cast<double>(amountMs) / 1000.0, 'f', 3);
    Say(moved == 0 ? tr("Nothing was moved by %1 s: the song(s) would leave the recorded stretch.").arg(by)
                   : tr("%1 song(s) moved by %2 s.").arg(moved).arg(by));
    return moved > 0;
}

}  // namespace wk::ui
