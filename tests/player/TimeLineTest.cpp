#include "player/TimeLine.h"

#include <gtest/gtest.h>

#include "player/TimeLineScene.h"
#include "player/TimeRuler.h"

namespace wk {
namespace {

constexpr StreamTime S = 1000;
constexpr StreamTime M = 60 * S;
constexpr StreamTime H = 60 * M;

enum class Op { kZoomIn, kZoomOut, kWindow, kScrollLeft, kScrollRight, kArrowPlaying, kDrag, kDragPlaying, kExtent };

struct Row {
    const char* what;
    Op op;
    StreamTime extentEnd, start, end, cursor;  // extents begin at 0
    int64_t arg;                               // window width, percent, drag pixels, new extent end
    StreamTime wantStart, wantEnd;
    bool wantDone = true;
    StreamTime wantCursor = -1;  // -1: unchanged
};

TEST(TimeLineTest, OperationsKeepTheVisibleRangeAsTheyShould) {
    const Row rows[] = {
        {"zoom in refused below 6 s", Op::kZoomIn, 100 * S, 40 * S, 50 * S, 45 * S, 0, 40 * S, 50 * S, false},
        {"zoom in 12 s to 6 s", Op::kZoomIn, 100 * S, 40 * S, 52 * S, 46 * S, 0, 43 * S, 49 * S},
        {"zoom in around the cursor", Op::kZoomIn, 100 * S, 0, 100 * S, 20 * S, 0, 10 * S, 60 * S},
        {"zoom in, odd halves truncate", Op::kZoomIn, 100 * S, 0, 12001, 3, 0, 1, 6002},
        {"zoom out of 1 ms by 10 ms", Op::kZoomOut, 100 * S, 50000, 50001, 50000, 0, 49990, 50011},
        {"zoom out around the middle", Op::kZoomOut, 100 * S, 40 * S, 60 * S, 41 * S, 0, 30 * S, 70 * S},
        {"zoom out cut at the end", Op::kZoomOut, 100 * S, 80 * S, 100 * S, 90 * S, 0, 70 * S, 100 * S},
        {"zoom out cut at both ends", Op::kZoomOut, 100 * S, 10 * S, 90 * S, 50 * S, 0, 0, 100 * S},
        {"1 hour view 10 min into the extent", Op::kWindow, 3 * H, 0, 3 * H, 10 * M, H, 0, H},
        {"1 day view of 3 hours", Op::kWindow, 3 * H, 0, 3 * H, H, 24 * H, 0, 3 * H},
        {"5 min view in the middle", Op::kWindow, 3 * H, 0, 3 * H, H, 5 * M, H - 150 * S, H + 150 * S},
        {"1 hour view at the end", Op::kWindow, 3 * H, 0, 3 * H, 3 * H - M, H, 2 * H, 3 * H},
        {"scroll right 25 %", Op::kScrollRight, 100 * S, 10 * S, 30 * S, 0, 25, 15 * S, 35 * S},
        {"scroll left held at the start", Op::kScrollLeft, 100 * S, 2 * S, 22 * S, 0, 25, 0, 20 * S},
        {"scroll right held at the end", Op::kScrollRight, 100 * S, 85 * S, 95 * S, 0, 75, 90 * S, 100 * S},
        {"arrow while playing", Op::kArrowPlaying, 100 * S, 10 * S, 30 * S, 0, 0, 10 * S, 30 * S, false},
        {"drag inside the dead zone", Op::kDrag, 100 * S, 10 * S, 20 * S, 15 * S, 10, 10 * S, 20 * S, false},
        {"drag 100 px keeps the cursor's place", Op::kDrag, 100 * S, 10 * S, 20 * S, 15 * S, 100, 9 * S, 19 * S, true, 14 * S},
        {"drag held at the extent start", Op::kDrag, 100 * S, 500, 10500, 3000, 200, 0, 10 * S, true, 2500},
        {"drag while playing", Op::kDragPlaying, 100 * S, 10 * S, 20 * S, 15 * S, 100, 10 * S, 20 * S, false},
        {"shrinking extent moves the view in", Op::kExtent, 100 * S, 80 * S, 100 * S, 90 * S, 90 * S, 70 * S, 90 * S},
        {"a view of it all follows growth", Op::kExtent, 100 * S, 0, 100 * S, 0, 120 * S, 0, 120 * S},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        TimeLine line;
        line.SetTrack(0, 1000);
        line.SetExtent(0, r.extentEnd);
        line.SetVisibleRange(r.start, r.end);
        line.SetCursorTime(r.cursor);
        bool done = true;
        switch (r.op) {
            case Op::kZoomIn: done = line.ZoomIn(); break;
            case Op::kZoomOut: line.ZoomOut(); break;
            case Op::kWindow: line.ZoomWindow(r.arg); break;
            case Op::kScrollLeft: line.ScrollLeft(static_cast<int>(r.arg)); break;
            case Op::kScrollRight: line.ScrollRight(static_cast<int>(r.arg)); break;
            case Op::kArrowPlaying: done = line.ClickArrow(false, true); break;
            case Op::kDrag:
            case Op::kDragPlaying:
                done = line.BeginDrag(500, r.op == Op::kDragPlaying) && line.DragTo(500 + static_cast<int>(r.arg));
                break;
            case Op::kExtent: line.SetExtent(0, r.arg); break;
        }
        EXPECT_EQ(done, r.wantDone);
        EXPECT_EQ(line.VisibleStart(), r.wantStart);
        EXPECT_EQ(line.VisibleEnd(), r.wantEnd);
        EXPECT_EQ(line.CursorTime(), r.wantCursor < 0 ? r.cursor : r.wantCursor);
        // The cursor's pixel follows the new scale.
        EXPECT_EQ(line.CursorX(), line.TimeToX(line.CursorTime()));
    }
}

TEST(TimeLineTest, PixelsAndTimesMapWithTruncationAndHoldWithinTheExtent) {
    TimeLine line;
    line.SetTrack(100, 1100);
    line.SetExtent(0, 10 * S);
    line.SetVisibleRange(0, 3000);
    EXPECT_EQ(line.TimeToX(1), 100);      // 0.333 px truncated
    EXPECT_EQ(line.TimeToX(2999), 1099);  // 999.67 px
    EXPECT_EQ(line.TimeToX(3000), 1100);
    EXPECT_EQ(line.TimeToX(-2), 100);     // towards zero, not down
    EXPECT_EQ(line.XToTime(50), 0);       // left of the track: the extent start
    EXPECT_EQ(line.XToTime(101), 3);      // 3.0 ms
    EXPECT_EQ(line.XToTime(100000), 10 * S);
    line.SetTrack(100, 100);
    EXPECT_EQ(line.XToTime(500), 0);
    EXPECT_EQ(line.TimeToX(5 * S), 100);
}

TEST(TimeLineTest, RulerStepsRunFromMillisecondsToWeeks) {
    // Label widths as a small font gives them.
    const auto widths = [](RulerFormat f) {
        switch (f) {
            case RulerFormat::kMilliseconds: return 70;
            case RulerFormat::kSeconds: return 50;
            case RulerFormat::kMinutes: return 32;
            case RulerFormat::kDays: return 60;
        }
        return 0;
    };
    const struct {
        StreamTime width;
        StreamTime step;
        RulerFormat format;
    } cases[] = {
        {50, 5, RulerFormat::kMilliseconds},          {6 * S, 500, RulerFormat::kMilliseconds},
        {60 * S, 2 * S, RulerFormat::kSeconds},       {H, 2 * M, RulerFormat::kMinutes},
        {24 * H, H, RulerFormat::kMinutes},           {7 * 24 * H, 6 * H, RulerFormat::kMinutes},
        {365 * 24 * H, 14 * 24 * H, RulerFormat::kDays},
    };
    for (const auto& c : cases) {
        const RulerStep step = ChooseRulerStep(c.width, 1920, widths);
        EXPECT_EQ(step.step, c.step) << c.width;
        EXPECT_EQ(step.format, c.format) << c.width;
    }
    // Weeks begin on Mondays; 2003-11-07 was a Friday.
    const StreamTime friday = DateTime(2003, 11, 7, 17, 42, 11).ToStreamTime();
    EXPECT_EQ(RulerLabel(FirstTick(friday, 7 * 24 * H), RulerFormat::kDays), "Mon 10/11");
    EXPECT_EQ(RulerLabel(FirstTick(friday, 15 * M), RulerFormat::kMinutes), "17:45");
    EXPECT_EQ(RulerLabel(friday + 250, RulerFormat::kMilliseconds), "17:42:11.250");
    EXPECT_EQ(RulerDate(friday), "Fri 07/11/2003");
}

TEST(TimeLineTest, ColoursComeFromConfigOrTheBuiltInOnes) {
    const RgbColor builtIn{154, 232, 252};
    const struct {
        const char* value;
        RgbColor want;
    } cases[] = {
        {"10,20,30", {10, 20, 30}}, {" 1 , 2,3 ", {1, 2, 3}}, {"", builtIn},       {"1,2", builtIn},
        {"300,0,0", builtIn},       {"a,b,c", builtIn},       {"1,2,3,4", builtIn}, {"-1,2,3", builtIn},
    };
    for (const auto& c : cases) {
        ConfigStore config;
        config.SetString("BckgrdColor", c.value);
        EXPECT_EQ(ReadColorKey(config, "BckgrdColor"), c.want) << c.value;
    }
}

}  // namespace
}  // namespace wk
