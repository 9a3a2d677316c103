#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "descriptions/DescriptionStore.h"
#include "descriptions/TrackMarking.h"
#include "support/TempHome.h"

namespace wk {
namespace {

const StreamTime kBase = DateTime(2003, 11, 7, 17, 0, 0).ToStreamTime();
StreamTime At(int seconds) {
    return kBase + seconds * kMsPerSecond;
}
Description Record(const char* title, int start, int end) {
    Description d;
    d.title = title;
    d.start = At(start);
    d.end = At(end);
    return d;
}

class FakeHost : public MarkingHost {
public:
    StreamTime Cursor() const override { return cursor; }
    void SetCursor(StreamTime t) override { cursor = t; }
    void StopPlayback() override { ++stops; }
    bool EditProperties(Description& record) override {
        ++dialogs;
        record.title.assign(1, 'N');
        return accept;
    }
    void Refresh() override { ++refreshes; }

    StreamTime cursor = 0;
    bool accept = true;
    int dialogs = 0, stops = 0, refreshes = 0;
};

class FakePrompt : public UserPrompt {
public:
    int Show(const std::string& t, int) override { return asked = t, answer; }
    int answer = kIdNo;
    std::string asked;
};

// "title:start-end" in seconds after kBase, in list order.
std::string Listing(const DescriptionStore& store) {
    std::string out;
    for (const auto& r : store.Records()) {
        if (!out.empty()) out += ' ';
        out += r->title + ":" + std::to_string((r->start - kBase) / 1000) + "-" +
               std::to_string((r->end - kBase) / 1000);
    }
    return out;
}

class TrackMarkingTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        m_store.SetFolder(m_dir.Path());
        m_store.SetName("desc");
        Reset();
    }
    void Reset() {
        m_store.Clear();
        for (const Description& d : {Record("A", 100, 200), Record("B", 300, 400), Record("C", 400, 500)})
            m_store.Add(d);
        ASSERT_TRUE(m_store.Save());
    }
    // What desc.des holds now.
    std::string OnDisk() {
        DescriptionStore disk(m_dir.Path(), "desc");
        disk.Load();
        return Listing(disk);
    }
    // Another writer adds a record to the file behind the view's back.
    void OutsiderAdds() {
        DescriptionStore other(m_dir.Path(), "desc");
        ASSERT_TRUE(other.Update([](DescriptionStore& s) { return s.Add(Record("X", 600, 700)), true; }));
    }

    DescriptionStore m_store;
    FakeHost m_host;
    FakePrompt m_prompt;
};

constexpr auto Idle = MarkingMode::Idle;
constexpr auto Marking = MarkingMode::Marking;
constexpr auto Selected = MarkingMode::Selected;
constexpr const char* kAll = "A:100-200 B:300-400 C:400-500";

TEST_F(TrackMarkingTest, CommandTables) {
    const struct {
        MarkingMode mode;      // set up: Marking begins a mark at `from`,
        int from;              // Selected double-clicks at `from`
        int cursor;
        int command;
        bool accept;           // the track properties dialog's answer
        std::string store;     // on disk afterwards (the outsider's X not listed)
        MarkingMode modeAfter;
        std::string selected;  // title, "" for none
        int highlight[2];      // seconds, -1 for none
        int cursorAfter;
        int markStart;         // -1: the mark is not shown
        int dialogs;
    } cases[] = {
        // set new track start
        {Idle, 0, 50, kCmdSetTrackStart, true, kAll, Marking, "", {-1, -1}, 50, 50, 0},
        {Idle, 0, 150, kCmdSetTrackStart, true, "A:150-200 B:300-400 C:400-500", Idle, "", {-1, -1}, 150, -1, 0},
        {Idle, 0, 400, kCmdSetTrackStart, true, "A:100-200 B:400-400 C:400-500", Idle, "", {-1, -1}, 400, -1, 0},
        {Marking, 50, 250, kCmdSetTrackStart, true, kAll, Marking, "", {-1, -1}, 250, 250, 0},
        {Marking, 50, 150, kCmdSetTrackStart, true, "A:150-200 B:300-400 C:400-500", Idle, "", {-1, -1}, 150, -1, 0},
        {Selected, 150, 50, kCmdSetTrackStart, true, "A:50-200 B:300-400 C:400-500", Selected, "A", {50, 200}, 50, -1, 0},
        {Selected, 150, 250, kCmdSetTrackStart, true, kAll, Marking, "", {-1, -1}, 250, 250, 0},
        {Selected, 150, 350, kCmdSetTrackStart, true, "A:100-200 B:350-400 C:400-500", Idle, "", {-1, -1}, 350, -1, 0},
        {Selected, 150, 120, kCmdSetTrackStart, true, "A:120-200 B:300-400 C:400-500", Selected, "A", {120, 200}, 120, -1, 0},
        // set new track end - enter id3 tags
        {Idle, 0, 250, kCmdSetTrackEnd, true, kAll, Idle, "", {-1, -1}, 250, -1, 0},
        {Idle, 0, 150, kCmdSetTrackEnd, true, "A:100-150 B:300-400 C:400-500", Idle, "", {-1, -1}, 150, -1, 0},
        {Marking, 220, 260, kCmdSetTrackEnd, true, "A:100-200 N:220-260 B:300-400 C:400-500", Idle, "", {-1, -1}, 260, -1, 1},
        {Marking, 260, 220, kCmdSetTrackEnd, true, "A:100-200 N:220-260 B:300-400 C:400-500", Idle, "", {-1, -1}, 220, -1, 1},
        {Marking, 220, 260, kCmdSetTrackEnd, false, kAll, Idle, "", {-1, -1}, 260, -1, 1},
        {Marking, 50, 150, kCmdSetTrackEnd, true, "A:100-150 B:300-400 C:400-500", Idle, "", {-1, -1}, 150, -1, 0},
        {Selected, 150, 250, kCmdSetTrackEnd, true, "A:100-250 B:300-400 C:400-500", Selected, "A", {100, 250}, 250, -1, 0},
        {Selected, 350, 250, kCmdSetTrackEnd, true, kAll, Selected, "B", {300, 400}, 250, -1, 0},
        {Selected, 150, 350, kCmdSetTrackEnd, true, "A:100-200 B:300-350 C:400-500", Idle, "", {-1, -1}, 350, -1, 0},
        {Selected, 150, 180, kCmdSetTrackEnd, true, "A:100-180 B:300-400 C:400-500", Selected, "A", {100, 180}, 180, -1, 0},
        // Split the current track
        {Idle, 0, 250, kCmdSplitTrack, true, kAll, Marking, "", {-1, -1}, 250, 250, 0},
        {Idle, 0, 150, kCmdSplitTrack, true, "A:100-150 N:150-200 B:300-400 C:400-500", Idle, "", {-1, -1}, 200, -1, 1},
        {Idle, 0, 100, kCmdSplitTrack, true, "A:100-100 N:100-200 B:300-400 C:400-500", Idle, "", {-1, -1}, 200, -1, 1},
        {Idle, 0, 150, kCmdSplitTrack, false, "A:100-150 B:300-400 C:400-500", Idle, "", {-1, -1}, 200, -1, 1},
        {Marking, 220, 260, kCmdSplitTrack, true, "A:100-200 N:220-260 B:300-400 C:400-500", Marking, "", {-1, -1}, 260, 260, 1},
        {Marking, 50, 150, kCmdSplitTrack, true, "A:50-150 N:150-200 B:300-400 C:400-500", Idle, "", {-1, -1}, 200, -1, 1},
        {Marking, 250, 150, kCmdSplitTrack, true, "A:150-250 N:100-150 B:300-400 C:400-500", Idle, "", {-1, -1}, 150, -1, 1},
        {Selected, 150, 250, kCmdSplitTrack, true, kAll, Marking, "", {-1, -1}, 250, 250, 0},
        {Selected, 150, 120, kCmdSplitTrack, true, "A:100-120 N:120-200 B:300-400 C:400-500", Idle, "", {-1, -1}, 200, -1, 1},
        {Selected, 150, 350, kCmdSplitTrack, false, "A:100-200 B:300-350 C:400-500", Idle, "", {-1, -1}, 400, -1, 1},
    };
    const auto secs = [](StreamTime t) { return t < 0 ? -1 : static_cast<int>((t - kBase) / 1000); };
    for (const auto& c : cases) {
        SCOPED_TRACE("row " + std::to_string(&c - cases));
        Reset();
        m_host = FakeHost();
        m_host.accept = c.accept;
        TrackMarking marking(m_store, m_host, m_prompt);
        if (c.mode == Marking) {
            m_host.cursor = At(c.from);
            marking.SetNewTrackStart();
        } else if (c.mode == Selected) {
            marking.DoubleClickAt(At(c.from));
        }
        ASSERT_EQ(marking.Mode(), c.mode);
        OutsiderAdds();
        m_host.cursor = At(c.cursor);
        m_host.refreshes = 0;

        ASSERT_TRUE(marking.Perform(c.command));

        EXPECT_EQ(OnDisk(), c.store + " X:600-700");
        const MarkingState& s = marking.State();
        EXPECT_EQ(s.mode, c.modeAfter);
        EXPECT_EQ(marking.Selected() ? marking.Selected()->title : "", c.selected);
        EXPECT_EQ(secs(s.highlightStart), c.highlight[0]);
        EXPECT_EQ(secs(s.highlightEnd), c.highlight[1]);
        EXPECT_EQ(secs(m_host.cursor), c.cursorAfter);
        EXPECT_EQ(s.markingShown ? secs(s.markStart) : -1, c.markStart);
        EXPECT_EQ(m_host.dialogs, c.dialogs);
        EXPECT_EQ(m_host.stops, c.dialogs);
        EXPECT_EQ(m_host.refreshes, 1);
    }
}

TEST_F(TrackMarkingTest, SelectionAndDeleting) {
    TrackMarking marking(m_store, m_host, m_prompt);
    m_prompt.answer = kIdYes;
    EXPECT_FALSE(marking.DeleteTrack());  // nothing selected: no question
    EXPECT_EQ(m_prompt.asked, "");

    // A double click elsewhere drops a pending mark too.
    m_host.cursor = At(50);
    marking.SetNewTrackStart();
    marking.DoubleClickAt(At(250));
    EXPECT_EQ(marking.Mode(), Idle);
    EXPECT_FALSE(marking.State().markingShown);

    marking.DoubleClickAt(At(350));
    m_prompt.answer = kIdNo;
    EXPECT_FALSE(marking.DeleteTrack());
    EXPECT_EQ(m_prompt.asked, "Deleting Description(s): Are you sure?");
    EXPECT_EQ(marking.Mode(), Selected);
    EXPECT_EQ(OnDisk(), kAll);

    m_prompt.answer = kIdYes;
    EXPECT_TRUE(marking.DeleteTrack());
    EXPECT_EQ(OnDisk(), "A:100-200 C:400-500");
    EXPECT_EQ(marking.Mode(), Idle);
    EXPECT_EQ(marking.State().highlightStart, -1);

    // Deleting invalid tracks judges the file as read again (every record
    // "missing" until measured) against the recording; the view then drops a
    // selection that went with them.
    marking.DoubleClickAt(At(150));
    EXPECT_EQ(DeleteInvalidTracks(m_store, {{At(50), At(150)}, {At(390), At(510)}}), 1);
    EXPECT_EQ(OnDisk(), "C:400-500");
    marking.SyncSelection();
    EXPECT_EQ(marking.Mode(), Idle);
    EXPECT_EQ(marking.State().highlightEnd, -1);
}

}  // namespace
}  // namespace wk
