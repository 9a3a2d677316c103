#include "descriptions/TrackMarking.h"

#include <algorithm>

#include "core/Trace.h"

namespace wk {

// One command in progress: the cursor as the command moves it, the one
// existing description it works on, and what it adds.
struct TrackMarking::Step {
    MarkingState before;
    StreamTime cursorBefore = 0;
    StreamTime cursor = 0;
    CursorIn in = CursorIn::None;
    std::optional<Description> target;  // as the store held it
    Description work;                   // the target's bounds as the command leaves them
    std::optional<Description> added;

    void Target(const Description& d) {
        target = d;
        work = d;
    }
};

Description* FindSameRecord(DescriptionStore& store, const Description& wanted) {
    Description* same = nullptr;
    for (const auto& record : store.Records()) {
        if (record->SameContent(wanted)) return record.get();
        if (same == nullptr && SameRecord(*record, wanted)) same = record.get();
    }
    return same;
}

TrackMarking::TrackMarking(DescriptionStore& store, MarkingHost& host, UserPrompt& prompt)
    : m_store(store), m_host(host), m_prompt(prompt) {}

const Description* TrackMarking::Selected() const {
    if (!m_state.selected) return nullptr;
    return FindSameRecord(m_store, *m_state.selected);
}

void TrackMarking::SyncSelection() {
    if (m_state.selected && Selected() == nullptr) ClearSelection();
}

CursorIn TrackMarking::Classify(StreamTime t, const Description** found) const {
    const Description* at = m_store.FindAt(t, false);
    if (found) *found = at;
    if (at == nullptr) return CursorIn::None;
    return at == Selected() ? CursorIn::Selected : CursorIn::Other;
}

void TrackMarking::SetMode(MarkingMode mode) {
    m_state.mode = mode;
    if (mode == MarkingMode::Idle) m_state.markingShown = false;
}

void TrackMarking::ClearSelection() {
    m_state.highlightStart = m_state.highlightEnd = -1;
    m_state.selected.reset();
    SetMode(MarkingMode::Idle);
}

void TrackMarking::BeginMark(Step& step) {
    m_state.markStart = step.cursor;
    m_state.markingShown = true;
}

void TrackMarking::EndMark(Step& step) {
    m_host.StopPlayback();
    m_state.markingShown = false;
    m_state.markEnd = step.cursor;
    if (m_state.markEnd < m_state.markStart) std::swap(m_state.markStart, m_state.markEnd);
    Description record;
    record.start = m_state.markStart;
    record.end = m_state.markEnd;
    record.coverage = kCoverageMissing;
    if (m_host.EditProperties(record)) step.added = record;
}

void TrackMarking::SetStartOf(Step& step) {
    step.work.start = step.cursor;
    if (m_state.highlightStart != -1 || m_state.highlightEnd != -1) {
        m_state.highlightStart = step.work.start;
        m_state.highlightEnd = step.work.end;
    }
}

void TrackMarking::SetEndOf(Step& step) {
    step.work.end = step.cursor;
    if (m_state.highlightStart != -1 || m_state.highlightEnd != -1) {
        m_state.highlightStart = step.work.start;
        m_state.highlightEnd = step.work.end;
    }
}

void TrackMarking::MoveCursor(Step& step, StreamTime t) {
    step.cursor = t;
    m_host.SetCursor(t);
}

void TrackMarking::SplitAt(Step& step) {
    const StreamTime oldEnd = step.work.end;
    SetEndOf(step);
    BeginMark(step);
    MoveCursor(step, oldEnd);
    EndMark(step);
    ClearSelection();
}

TrackMarking::Step TrackMarking::BeginStep() {
    SyncSelection();
    Step step;
    step.before = m_state;
    step.cursorBefore = step.cursor = m_host.Cursor();
    const Description* at = nullptr;
    step.in = Classify(step.cursor, &at);
    if (at) step.Target(*at);
    return step;
}

bool TrackMarking::Commit(const std::function<bool(DescriptionStore&)>& change) {
    m_lastError.clear();
    if (m_store.Update(change, &m_lastError)) return true;
    Trace(10, "track marking: %s", m_lastError.c_str());
    m_prompt.Show("The descriptions could not be saved: " + m_lastError, kMbOk | kMbIconStop);
    return false;
}

void TrackMarking::Finish(Step& step) {
    const bool moved = step.target && (step.work.start != step.target->start ||
                                       step.work.end != step.target->end);
    if (moved || step.added) {
        const bool written = Commit([&](DescriptionStore& store) {
            bool changed = false;
            if (moved) {
                if (Description* d = FindSameRecord(store, *step.target)) {
                    // In place: a description keeps its place in the list, so
                    // at a shared bound it still comes first.
                    d->start = step.work.start;
                    d->end = step.work.end;
                    changed = true;
                } else {
                    Trace(20, "track marking: the description at %lld is gone from %s",
                          static_cast<long long>(step.target->start), store.FilePath().c_str());
                }
            }
            if (step.added) {
                store.Add(*step.added);
                changed = true;
            }
            return changed;
        });
        if (!written) {
            m_state = step.before;
            if (step.cursor != step.cursorBefore) m_host.SetCursor(step.cursorBefore);
        } else if (moved && m_state.selected && SameRecord(*m_state.selected, *step.target)) {
            m_state.selected->start = step.work.start;
            m_state.selected->end = step.work.end;
        }
    }
    m_host.Refresh();
}

// The three marking commands follow one table each: what they do depends on
// the mode and on where the cursor is (Classify).

void TrackMarking::SetNewTrackStart() {
    Step step = BeginStep();

    switch (m_state.mode) {
        case MarkingMode::Idle:
            if (step.in == CursorIn::None) {
                BeginMark(step);
                SetMode(MarkingMode::Marking);
            } else {
                SetStartOf(step);
            }
            break;
        case MarkingMode::Marking:
            if (step.in == CursorIn::None) {
                BeginMark(step);
            } else {
                SetStartOf(step);
                SetMode(MarkingMode::Idle);
            }
            break;
        case MarkingMode::Selected:
            if (step.in == CursorIn::None) {
                const Description* selected = Selected();
                if (step.cursor < selected->start) {
                    step.Target(*selected);
                    SetStartOf(step);
                } else {
                    ClearSelection();
                    BeginMark(step);
                    SetMode(MarkingMode::Marking);
                }
            } else if (step.in == CursorIn::Other) {
                ClearSelection();
                SetStartOf(step);
            } else {
                SetStartOf(step);
            }
            break;
    }
    Finish(step);
}

void TrackMarking::SetNewTrackEnd() {
    Step step = BeginStep();

    switch (m_state.mode) {
        case MarkingMode::Idle:
            if (step.in != CursorIn::None) SetEndOf(step);
            break;
        case MarkingMode::Marking:
            if (step.in == CursorIn::None)
                EndMark(step);
            else
                SetEndOf(step);
            SetMode(MarkingMode::Idle);
            break;
        case MarkingMode::Selected:
            if (step.in == CursorIn::None) {
                const Description* selected = Selected();
                if (step.cursor > selected->start) {
                    step.Target(*selected);
                    SetEndOf(step);
                }
            } else if (step.in == CursorIn::Other) {
                ClearSelection();
                SetEndOf(step);
            } else {
                SetEndOf(step);
            }
            break;
    }
    Finish(step);
}

void TrackMarking::SplitCurrentTrack() {
    Step step = BeginStep();

    switch (m_state.mode) {
        case MarkingMode::Idle:
            if (step.in == CursorIn::None) {
                BeginMark(step);
                SetMode(MarkingMode::Marking);
            } else {
                SplitAt(step);
            }
            break;
        case MarkingMode::Marking:
            if (step.in == CursorIn::None) {
                // The next track follows on without a gap.
                EndMark(step);
                BeginMark(step);
            } else {
                // The pending range joins the part of the description on its
                // side of the cursor; the other part becomes a new one.
                const StreamTime m = m_state.markStart;
                const StreamTime c = step.cursor;
                const StreamTime oldStart = step.work.start;
                const StreamTime oldEnd = step.work.end;
                if (m < c) {
                    MoveCursor(step, m);
                    SetStartOf(step);
                    MoveCursor(step, c);
                    SetEndOf(step);
                    BeginMark(step);
                    MoveCursor(step, oldEnd);
                    EndMark(step);
                } else {
                    SetStartOf(step);
                    MoveCursor(step, m);
                    SetEndOf(step);
                    MoveCursor(step, oldStart);
                    BeginMark(step);
                    MoveCursor(step, c);
                    EndMark(step);
                }
                ClearSelection();
            }
            break;
        case MarkingMode::Selected:
            if (step.in == CursorIn::None) {
                ClearSelection();
                BeginMark(step);
                SetMode(MarkingMode::Marking);
            } else {
                SplitAt(step);
            }
            break;
    }
    Finish(step);
}

bool TrackMarking::DeleteTrack() {
    SyncSelection();
    if (m_state.mode != MarkingMode::Selected || !m_state.selected) return false;
    if (m_prompt.ShowWithCaption(kDeleteTrackQuestion, kDeleteTrackCaption,
                                 kMbYesNo | kMbIconQuestion) != kIdYes)
        return false;
    const Description selected = *m_state.selected;
    const bool written = Commit([&](DescriptionStore& store) {
        Description* d = FindSameRecord(store, selected);
        if (d == nullptr) return false;
        std::erase_if(store.Records(), [d](const auto& r) { return r.get() == d; });
        return true;
    });
    if (written) ClearSelection();
    m_host.Refresh();
    return written;
}

bool TrackMarking::Perform(int id) {
    switch (id) {
        case kCmdSetTrackStart:
            SetNewTrackStart();
            return true;
        case kCmdSetTrackEnd:
            SetNewTrackEnd();
            return true;
        case kCmdSplitTrack:
            SplitCurrentTrack();
            return true;
        case kCmdDeleteTrack:
            DeleteTrack();
            return true;
        default:
            return false;
    }
}

void TrackMarking::DoubleClick(const Description* hit) {
    if (hit == nullptr) {
        ClearSelection();
        return;
    }
    m_state.selected = *hit;
    m_state.mode = MarkingMode::Selected;
    m_state.highlightStart = hit->start;
    m_state.highlightEnd = hit->end;
    m_state.markingShown = false;
}

void TrackMarking::DoubleClickAt(StreamTime t) {
    DoubleClick(m_store.FindAt(t, false));
}

int DeleteInvalidTracks(DescriptionStore& store, const std::vector<RecordedRange>& recordedRanges,
                        std::string* why) {
    int removed = 0;
    const bool written = store.Update(
        [&](DescriptionStore& fresh) {
            // The file was just read again, and a record read from a file is
            // "missing" until it is measured against the recording.
            fresh.MarkCoverage(recordedRanges);
            removed = static_cast<int>(std::erase_if(
                fresh.Records(), [](const auto& r) { return r->coverage != kCoverageComplete; }));
            return removed > 0;
        },
        why);
    if (!written) {
        Trace(10, "delete invalid tracks: %s", why ? why->c_str() : store.FilePath().c_str());
        return -1;
    }
    Trace(30, "delete invalid tracks: %d removed from %s", removed, store.FilePath().c_str());
    return removed;
}

}  // namespace wk
