#pragma once
// Describing tracks by hand in the stream view: the marking state machine
// behind "set new track start", "set new track end - enter id3 tags",
// "Split the current track", double-click selection and "delete track".
//
// Every command classifies the cursor against the store as the view shows
// it (the first description, in list order, that holds the cursor with both
// ends counted), decides, asks the user what it must (track properties,
// "Are you sure?") and only then writes: all changes of one command go to
// desc.des in one DescriptionStore::Update, so no dialog ever waits with the
// file's lock held, and hand marks are on disk at once instead of waiting
// for the next save, where the daemon's merges or a crash could lose them.
// Descriptions are named by their content (start, end, artist, title), not
// by address: Update reads the file afresh and another process may have
// changed it in between; a description that is gone by then is left alone.
//
// The view implements MarkingHost and draws what State() holds: the pending
// range from the mark start to the cursor while `markingShown`, and the
// highlighted range of the selected description.
//
// Threading: main thread only, like the view and the document's store.

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/DateTime.h"
#include "core/UserPrompt.h"
#include "descriptions/Description.h"
#include "descriptions/DescriptionStore.h"
#include "streamstore/StreamInfo.h"

namespace wk {

inline constexpr int kCmdSetTrackEnd = 32795;
inline constexpr int kCmdSetTrackStart = 32796;
inline constexpr int kCmdSplitTrack = 32798;
inline constexpr int kCmdDeleteInvalidTracks = 32801;
inline constexpr int kCmdDeleteTrack = 32802;

inline constexpr const char* kDeleteTrackQuestion = "Are you sure?";
inline constexpr const char* kDeleteTrackCaption = "Deleting Description(s)";

enum class MarkingMode { Idle = 0, Marking = 1, Selected = 2 };

// Where the cursor is: in no description, in one that is not selected, or
// in the selected one.
enum class CursorIn { None, Other, Selected };

// What the stream view does for the state machine.
class MarkingHost {
public:
    virtual ~MarkingHost() = default;
    virtual StreamTime Cursor() const = 0;
    // Moves the cursor (the time line's SetCursorTime).
    virtual void SetCursor(StreamTime t) = 0;
    virtual void StopPlayback() = 0;
    // The track properties dialog (title, artist, album, year, genre,
    // comment), modal; true when the user confirms with OK. The dialog
    // refuses an empty artist itself.
    virtual bool EditProperties(Description& record) = 0;
    // After every command: the document rebuilds its stream info and
    // coverage states and updates its views; the stream view repaints.
    virtual void Refresh() = 0;
};

struct MarkingState {
    MarkingMode mode = MarkingMode::Idle;
    StreamTime markStart = 0;
    StreamTime markEnd = 0;
    bool markingShown = false;
    StreamTime highlightStart = -1;  // -1, -1: nothing highlighted
    StreamTime highlightEnd = -1;
    std::optional<Description> selected;  // set in Selected mode only
};

class TrackMarking {
public:
    TrackMarking(DescriptionStore& store, MarkingHost& host, UserPrompt& prompt = GetUserPrompt());

    void SetNewTrackStart();  // 32796
    void SetNewTrackEnd();    // 32795
    void SplitCurrentTrack(); // 32798
    // 32802: in Selected mode only, after "Are you sure?"; true when the
    // user said yes and the file was written.
    bool DeleteTrack();
    // Runs the view's command `id` (32795, 32796, 32798, 32802); false for
    // any other id.
    bool Perform(int id);

    // A double click on a description's bar (the view hit-tests its bars)
    // selects it; `hit` null (a double click elsewhere) clears the selection
    // and with it a pending mark. The view repaints afterwards; the store is
    // not touched, so the document need not refresh.
    void DoubleClick(const Description* hit);
    // The same for a double click at stream time `t` of the time line.
    void DoubleClickAt(StreamTime t);

    // The description holding `t` (first in list order), and how it stands
    // to the selection.
    CursorIn Classify(StreamTime t, const Description** found = nullptr) const;
    // Drops a selection whose description is no longer in the store; the
    // view calls it when the document reloaded the store or deleted
    // descriptions (DeleteInvalidTracks). Commands call it first.
    void SyncSelection();

    const MarkingState& State() const { return m_state; }
    MarkingMode Mode() const { return m_state.mode; }
    // The selected description as the store holds it now, or nullptr.
    const Description* Selected() const;

    // The reason the last write failed, "" when it did not.
    const std::string& LastError() const { return m_lastError; }

private:
    struct Step;

    Step BeginStep();
    void BeginMark(Step& step);
    void EndMark(Step& step);
    void SetStartOf(Step& step);
    void SetEndOf(Step& step);
    void MoveCursor(Step& step, StreamTime t);
    void ClearSelection();
    void SetMode(MarkingMode mode);
    void SplitAt(Step& step);
    void Finish(Step& step);
    bool Commit(const std::function<bool(DescriptionStore&)>& change);

    DescriptionStore& m_store;
    MarkingHost& m_host;
    UserPrompt& m_prompt;
    MarkingState m_state;
    std::string m_lastError;
};

// 32801, the document's command: removes every description not wholly
// inside one recorded range (coverage partial or missing) from desc.des,
// judging the file as it is now against `recordedRanges` (ascending).
// Returns how many went, -1 when the file could not be changed (`why`).
int DeleteInvalidTracks(DescriptionStore& store, const std::vector<RecordedRange>& recordedRanges,
                        std::string* why = nullptr);

// The record of `store` that is `wanted`: the same in every stored field
// if there is one, else the same start, end, artist and title.
Description* FindSameRecord(DescriptionStore& store, const Description& wanted);

}  // namespace wk
