#include "ui/shell/StreamView.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTimer>
#include <QWheelEvent>
#include <algorithm>
#include <limits>

#include "app/Application.h"
#include "core/ConfigStore.h"
#include "core/Trace.h"
#include "platform/PlaybackDevice.h"
#include "player/WaveSummaryCache.h"
#include "scheduler/Scheduler.h"
#include "streamstore/StreamNameFile.h"
#include "ui/CommandTable.h"
#include "ui/render/TimeLineRenderer.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/StreamViewText.h"
#include "ui/shell/dialogs/TrackPropertiesDialog.h"

namespace wk::ui {
namespace {

constexpr StreamTime kNoEnd = std::numeric_limits<StreamTime>::max();
constexpr int kKeyScrollPercent = 10;
// How long after a chunk completed with nothing new to be seen the view
// looks again before reading the whole stream.
constexpr int kAppendRetryMs = 250;
constexpr int kGuessedColumns = 1000;

}  // namespace

StreamView::StreamView(EventLoop& loop, QtUserPrompt& prompt, std::unique_ptr<PlaybackDevice> device,
                       Application* app, QWidget* parent)
    : StreamViewPane(parent),
      m_loop(loop),
      m_prompt(prompt),
      m_app(app),
      m_playback(std::make_unique<PlaybackController>(loop, std::move(device), this)) {
    ConfigStore config;
    config.Load();
    m_renderer = std::make_unique<TimeLineRenderer>(ReadTimeLineColors(config));
    setFocusPolicy(Qt::StrongFocus);
    setMouseTracking(false);
    setMinimumSize(4 * kArrowWidth + 100, kInfoHeight + TimeLineRenderer::kMinHeight);
}

StreamView::~StreamView() {
    if (m_reader.joinable()) m_reader.join();
    if (m_silenceThread.joinable()) m_silenceThread.join();
    if (m_playback->IsPlaying()) m_playback->StopPlaying();
    if (m_handRecording && m_app) {
        auto lock = m_app->GetScheduler().LockGuard();
        m_app->GetScheduler().deleteTask(m_handRecording);
    }
}

std::string StreamView::Folder() const {
    return StreamNameFile::StreamRoot() + m_stream + "/";
}

void StreamView::SetStream(const std::string& name) {
    if (m_playback->IsPlaying()) m_playback->StopPlaying();
    FinishSilenceDetection();
    m_stream = name;
    m_cutStart.reset();
    m_breakStart.reset();
    m_marking.reset();
    m_playback->SetStreamInfo(nullptr);
    m_data.reset();
    if (name.empty()) {
        update();
        return;
    }
    m_data = std::make_unique<StreamViewData>(Folder(), WaveCachePathFor(Folder()));
    m_marking = std::make_unique<TrackMarking>(m_data->MutableDescriptions(), *this, m_prompt);
    m_playback->SetStreamInfo(&m_data->Info());
    m_resetView = true;
    StartRead();
    update();
}

void StreamView::Reload() {
    StartRead();
}

void StreamView::ColoursChanged() {
    ConfigStore config;
    config.Load();
    m_renderer = std::make_unique<TimeLineRenderer>(ReadTimeLineColors(config));
    update();
}

void StreamView::StartRead() {
    if (!m_data) return;
    if (m_reader.joinable()) {
        m_readAgain = true;
        return;
    }
    m_readAgain = false;
    m_readDone = false;
    m_fresh = std::make_unique<StreamViewData>(Folder(), WaveCachePathFor(Folder()));
    // What the last read replaced is freed on the reading thread.
    std::unique_ptr<StreamViewData> replaced = std::move(m_replaced);
    // The reader also summarises what the first paint after it shows.
    std::optional<RecordedRange> stretch;
    if (!m_resetView) stretch = RecordedRange{m_line.VisibleStart(), m_line.VisibleEnd()};
    // Any width summarises the same chunks; before the view is laid out,
    // a guess.
    const int columns = std::max(m_line.TrackRight() - m_line.TrackLeft(), kGuessedColumns);
    m_reader = std::thread([this, fresh = m_fresh.get(), stretch, columns, replaced = std::move(replaced)]() mutable {
        replaced.reset();
        fresh->Refresh(columns, stretch);
        m_readDone = true;
        QMetaObject::invokeMethod(this, [this] { TakeRead(); }, Qt::QueuedConnection);
    });
}

void StreamView::TakeRead() {
    if (!m_reader.joinable() || !m_readDone.load()) return;
    m_reader.join();
    CollectRead();
}

void StreamView::FinishReading() {
    while (m_reader.joinable()) {
        m_reader.join();
        CollectRead();
    }
}

void StreamView::CollectRead() {
    std::unique_ptr<StreamViewData> fresh = std::move(m_fresh);
    // A read of a stream no longer shown is dropped.
    if (m_data && fresh && fresh->Folder() == m_data->Folder()) {
        m_data->Adopt(std::move(*fresh));
        m_replaced = std::move(fresh);
        ShowData();
        if (m_appendAfterRead && !m_readAgain) ChunkCompleted();
    }
    m_appendAfterRead = false;
    if (m_readAgain || (m_data && !m_data->HasRead())) StartRead();
    update();
}

void StreamView::ChunkCompleted() {
    if (!m_data) return;
    if (m_reader.joinable()) {
        m_appendAfterRead = true;
        return;
    }
    bool changed = false;
    if (!m_data->AppendCompleted(&changed)) {
        StartRead();
    } else if (changed) {
        ShowData();
    } else if (!m_retryPending) {
        // Nothing new to be seen: the recorder may not have begun its next
        // chunk yet. One look again shortly; then a whole read.
        m_retryPending = true;
        QTimer::singleShot(kAppendRetryMs, this, [this] { RetryAppend(); });
    }
}

void StreamView::RetryAppend() {
    m_retryPending = false;
    if (!m_data) return;
    if (m_reader.joinable()) {
        m_appendAfterRead = true;
        return;
    }
    bool changed = false;
    if (!m_data->AppendCompleted(&changed) || !changed) StartRead();
    else ShowData();
}

void StreamView::DescriptionsChanged() {
    if (!m_data) return;
    m_data->RefreshDescriptions();
    if (m_marking) m_marking->SyncSelection();
    AfterMarking();
}

void StreamView::ShowData() {
    if (!m_data) return;
    const auto extent = m_data->Extent();
    const StreamTime start = extent ? extent->first : 0;
    // A stream of one instant still gets a stretch to show.
    const StreamTime end = extent ? std::max(extent->second, start + kMsPerSecond) : kMsPerSecond;
    const StreamTime cursor = m_line.CursorTime();
    m_line.SetExtent(start, end);
    if (m_resetView) {
        m_line.SetVisibleRange(start, end);
        m_line.SetCursorTime(start);
        m_resetView = false;
    } else {
        m_line.SetCursorTime(std::clamp(cursor, start, end));
    }
    if (m_marking) m_marking->SyncSelection();
    AfterMarking();
}

void StreamView::AfterMarking() {
    if (m_marking) {
        const MarkingState& s = m_marking->State();
        m_line.SetHighlightedRange(s.highlightStart, s.highlightEnd);
    } else {
        m_line.ClearHighlightedRange();
    }
    update();
}

void StreamView::Say(const QString& text) {
    Trace(kTraceDebug, "stream view: %s", text.toStdString().c_str());
    emit statusText(text);
}

void StreamView::SetCursor(StreamTime t) {
    m_line.SetCursorTime(t);
    update();
}

void StreamView::StopPlayback() {
    if (m_playback->IsPlaying()) m_playback->StopPlaying();
}

bool StreamView::EditProperties(Description& record) {
    TrackPropertiesDialog dialog(record, m_prompt.Parent() ? m_prompt.Parent() : window());
    if (!m_prompt.RunDialog(dialog)) return false;
    record = dialog.Track();
    return true;
}

void StreamView::Refresh() {
    DescriptionsChanged();
}

void StreamView::CursorMoved(StreamTime cursor) {
    m_line.SetCursorTime(cursor);
    KeepCursorInView();
    update();
}

void StreamView::PlaybackEnded(const std::string& why) {
    m_line.SetCursorTime(m_playback->Cursor());
    KeepCursorInView();
    Say(why.empty() ? tr("Playback ended at %1.").arg(TimeOf(m_playback->Cursor()))
                    : tr("Playback stopped: %1").arg(QString::fromStdString(why)));
    update();
}

void StreamView::KeepCursorInView() {
    const StreamTime t = m_line.CursorTime();
    if (t >= m_line.VisibleStart() && t <= m_line.VisibleEnd()) return;
    // The cursor comes back in near the left edge, so playback runs on
    // across most of the width before the next jump.
    const StreamTime width = m_line.VisibleEnd() - m_line.VisibleStart();
    m_line.SetVisibleRange(t - width / 10, t - width / 10 + width);
    m_line.SetCursorTime(t);
}

bool StreamView::Play(StreamTime from, StreamTime to) {
    if (!HaveStream()) return false;
    std::string why;
    if (!m_playback->PlayStretch(from, to, &why)) {
        Say(tr("Cannot play: %1").arg(QString::fromStdString(why)));
        return false;
    }
    m_playEnd = to;
    m_line.SetCursorTime(from);
    KeepCursorInView();
    Say(to == kNoEnd ? tr("Playing from %1 (Alt+S stops).").arg(TimeOf(from))
                     : tr("Playing %1 to %2 (Alt+S stops).").arg(TimeOf(from), TimeOf(to)));
    update();
    return true;
}

bool StreamView::HandleCommand(int commandId) {
    if (commandId == kCmdRecording) return ToggleRecording();
    if (!HaveStream()) {
        Say(tr("No stream is chosen; pick one in the channel list."));
        return commandId != kCmdNone;
    }
    if (m_silenceDone.load()) SilencesDone();
    if (!m_data->HasRead() && commandId != kCmdStopPlaying) {
        Say(tr("Reading the stream…"));
        return true;
    }
    switch (commandId) {
    case kCmdPlay: return Play(m_line.CursorTime(), kNoEnd), true;
    case kCmdStopPlaying:
        if (m_playback->IsPlaying()) {
            m_playback->StopPlaying();
            Say(tr("Stopped at %1.").arg(TimeOf(m_line.CursorTime())));
        }
        return true;
    case kCmdPlayCurrentTrack: {
        const Description* d = m_data->MutableDescriptions().FindAt(m_line.CursorTime(), false);
        if (!d) {
            Say(tr("No song at the cursor to play."));
            return true;
        }
        Play(d->start, d->end);
        return true;
    }
    case kCmdZoomIn:
        if (!m_line.ZoomIn()) Say(tr("Zoomed in as far as the view goes."));
        break;
    case kCmdZoomOut: m_line.ZoomOut(); break;
    case kCmdZoom5Min: m_line.ZoomWindow(TimeLine::kWindow5Min); break;
    case kCmdZoom1Hour: m_line.ZoomWindow(TimeLine::kWindow1Hour); break;
    case kCmdZoom1Day: m_line.ZoomWindow(TimeLine::kWindow1Day); break;
    case kCmdSetTrackStart:
    case kCmdSetTrackEnd:
    case kCmdSplitTrack:
    case kCmdDeleteTrack:
        if (commandId == kCmdDeleteTrack && m_marking->Mode() != MarkingMode::Selected) {
            Say(tr("Select a song first: double-click its bar."));
            return true;
        }
        m_marking->Perform(commandId);
        AfterMarking();
        return true;
    case kCmdDeleteInvalidTracks: {
        std::string why;
        const int removed = DeleteInvalidTracks(m_data->MutableDescriptions(), m_data->Scene().recorded, &why);
        DescriptionsChanged();
        if (removed < 0) Say(tr("The descriptions could not be changed: %1").arg(QString::fromStdString(why)));
        else Say(tr("%1 description(s) not wholly recorded were deleted.").arg(removed));
        return true;
    }
    case kCmdSilenceDetection: return StartSilenceDetection(), true;
    case kCmdStreamDeleteMarkStart:
        m_cutStart = m_line.CursorTime();
        Say(tr("Cut marked from %1: put the cursor where it ends and press Shift+G.")
                .arg(TimeOf(*m_cutStart)));
        break;
    case kCmdDeleteMarkedStreamPart: return CutTo(), true;
    case kCmdDeleteAllStream: return DeleteAll(), true;
    case kCmdBreakStart:
        m_breakStart = m_line.CursorTime();
        Say(tr("Break marked from %1: put the cursor where it ends and press Alt+E.").arg(TimeOf(*m_breakStart)));
        break;
    case kCmdBreakEnd: return BreakEnd(), true;
    default: return false;
    }
    update();
    return true;
}

QString StreamView::InfoText() const {
    if (!m_data) return tr("No stream chosen.");
    if (!m_data->HasRead()) return QString::fromStdString(m_stream) + QStringLiteral("   ") + tr("Reading the stream…");
    QString text = QStringLiteral("%1   cursor %2   showing %3 (%4)")
                       .arg(QString::fromStdString(m_stream), DayAndTime(m_line.CursorTime()),
                            TimeOf(m_line.VisibleStart()) + QStringLiteral(" – ") + TimeOf(m_line.VisibleEnd()),
                            Span(m_line.VisibleEnd() - m_line.VisibleStart()));
    if (!m_data->Extent()) return QString::fromStdString(m_stream) + tr("   nothing recorded yet");
    QString hint;
    if (m_playback->IsPlaying()) {
        hint = tr("playing");
    } else if (m_marking && m_marking->Mode() == MarkingMode::Marking) {
        hint = tr("new song from %1: Shift+E ends it here").arg(TimeOf(m_marking->State().markStart));
    } else if (const Description* d = m_marking ? m_marking->Selected() : nullptr) {
        hint = tr("selected: %1 (Shift+D deletes it)").arg(QString::fromStdString(BarLabel(*d)));
    } else if (m_cutStart) {
        hint = tr("cut from %1: Shift+G deletes up to the cursor").arg(TimeOf(*m_cutStart));
    } else if (m_breakStart) {
        hint = tr("break from %1: Alt+E ends it").arg(TimeOf(*m_breakStart));
    } else {
        hint = tr("click: cursor   drag: scroll   wheel: zoom   double-click: select a song");
    }
    return text + QStringLiteral("   —   ") + hint;
}

void StreamView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    painter.setPen(palette().windowText().color());
    painter.drawText(QRect(6, 0, width() - 12, kInfoHeight), Qt::AlignVCenter | Qt::AlignLeft, InfoText());
    const int h = height() - kInfoHeight;
    if (h < TimeLineRenderer::kMinHeight || width() < 3 * kArrowWidth) return;
    QImage image(width(), h, QImage::Format_RGB32);
    if (m_data && m_data->HasRead()) {
        m_data->Wave().Prepare(m_line.VisibleStart(), m_line.VisibleEnd(),
                               m_line.TrackRight() - m_line.TrackLeft());
        TimeLineMarks marks;
        if (m_marking) {
            marks.markingShown = m_marking->State().markingShown;
            marks.markStart = m_marking->State().markStart;
        }
        m_renderer->Render(image, m_line, m_data->Scene(), marks);
    } else {
        image.fill(palette().base().color());
    }
    painter.drawImage(0, kInfoHeight, image);
    if (m_data && !m_data->HasRead()) {
        painter.drawText(QRect(0, kInfoHeight, width(), h), Qt::AlignCenter, tr("Reading the stream…"));
        return;
    }
    const TimeLineRenderer::Layout layout = TimeLineRenderer::LayoutFor(h);

    // The stretch a cut or a break would take, over the wave form.
    const auto shade = [&](std::optional<StreamTime> from, const QColor& colour, const QString& label) {
        if (!from) return;
        const StreamTime a = std::min(*from, m_line.CursorTime());
        const StreamTime b = std::max(*from, m_line.CursorTime());
        const int x0 = std::max(m_line.TimeToX(a), m_line.TrackLeft());
        const int x1 = std::min(m_line.TimeToX(b), m_line.TrackRight());
        if (x1 < x0) return;
        const QRect area(x0, kInfoHeight + layout.waveTop, std::max(x1 - x0, 2), layout.waveBottom - layout.waveTop);
        painter.fillRect(area, QBrush(colour, Qt::BDiagPattern));
        painter.setPen(colour);
        painter.drawRect(area.adjusted(0, 0, -1, -1));
        painter.drawText(area.adjusted(4, 2, 0, 0), Qt::AlignLeft | Qt::AlignTop, label);
    };
    shade(m_cutStart, QColor(200, 0, 0), tr("cut"));
    shade(m_breakStart, QColor(90, 90, 90), tr("break"));

    // The arrow areas: a quarter of the view to either side.
    const bool playing = m_playback->IsPlaying();
    for (const bool left : {true, false}) {
        const QRect area(left ? 0 : width() - kArrowWidth, kInfoHeight, kArrowWidth, h);
        painter.fillRect(area, palette().button());
        painter.setPen(palette().mid().color());
        painter.drawRect(area.adjusted(0, 0, -1, -1));
        const int cx = area.center().x(), cy = area.center().y();
        const int dx = left ? -5 : 5;
        const QPoint tip[3] = {QPoint(cx + dx, cy), QPoint(cx - dx, cy - 8), QPoint(cx - dx, cy + 8)};
        painter.setPen(Qt::NoPen);
        painter.setBrush(playing ? palette().mid().color() : palette().buttonText().color());
        painter.drawPolygon(tip, 3);
        painter.setBrush(Qt::NoBrush);
    }
}

void StreamView::resizeEvent(QResizeEvent* event) {
    StreamViewPane::resizeEvent(event);
    const StreamTime cursor = m_line.CursorTime();
    m_line.SetTrack(kArrowWidth, std::max(kArrowWidth + 1, width() - kArrowWidth));
    m_line.SetCursorTime(cursor);
}

void StreamView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || !m_data || event->position().y() < kInfoHeight) return;
    const int x = static_cast<int>(event->position().x());
    if (x < kArrowWidth || x >= width() - kArrowWidth) {
        if (!m_line.ClickArrow(x < kArrowWidth, m_playback->IsPlaying()))
            Say(tr("The arrows do not scroll while playing."));
        update();
        return;
    }
    m_pressed = true;
    m_dragged = false;
    m_line.BeginDrag(x, m_playback->IsPlaying());
}

void StreamView::mouseMoveEvent(QMouseEvent* event) {
    if (!m_pressed) return;
    if (m_line.DragTo(static_cast<int>(event->position().x()))) {
        m_dragged = true;
        update();
    }
}

void StreamView::mouseReleaseEvent(QMouseEvent* event) {
    if (!m_pressed) return;
    m_pressed = false;
    m_line.EndDrag();
    if (m_dragged) return;
    const StreamTime t = m_line.XToTime(static_cast<int>(event->position().x()));
    // A click while playing plays on from where it points.
    // Where nothing is recorded, the playback stops there.
    if (m_playback->IsPlaying() && (t >= m_playEnd || !Play(t, m_playEnd))) StopPlayback();
    if (!m_playback->IsPlaying()) SetCursor(t);
    update();
}

void StreamView::mouseDoubleClickEvent(QMouseEvent* event) {
    const int x = static_cast<int>(event->position().x());
    if (!m_marking || x < kArrowWidth || x >= width() - kArrowWidth || event->position().y() < kInfoHeight) return;
    DoubleClickAt(m_line.XToTime(x));
}

void StreamView::DoubleClickAt(StreamTime t) {
    if (!m_marking) return;
    m_marking->DoubleClickAt(t);
    AfterMarking();
}

void StreamView::wheelEvent(QWheelEvent* event) {
    const int steps = event->angleDelta().y();
    if (steps == 0 || !m_data) return;
    if (steps > 0) m_line.ZoomIn();
    else m_line.ZoomOut();
    update();
    event->accept();
}

void StreamView::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
    case Qt::Key_Left: m_line.ScrollLeft(kKeyScrollPercent); break;
    case Qt::Key_Right: m_line.ScrollRight(kKeyScrollPercent); break;
    case Qt::Key_Plus:
    case Qt::Key_Equal: m_line.ZoomIn(); break;
    case Qt::Key_Minus: m_line.ZoomOut(); break;
    default: StreamViewPane::keyPressEvent(event); return;
    }
    update();
}

}  // namespace wk::ui
