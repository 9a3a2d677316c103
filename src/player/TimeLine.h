#pragma once
// The stream view's time line: which stretch of stream time is visible, how
// times map to pixels and back, and how zooming, scrolling and dragging move
// the visible stretch. Toolkit-free; the widget and the renderer ask it.
//
// Invariant: after every operation the visible range lies inside the extent
// (the whole stretch the view can show). Zoom and scroll commands set the
// cursor again to the same time afterwards, so that its pixel follows the
// new scale.
//
// Threading: none inside; one thread (the main thread) owns a TimeLine.

#include <cstdint>

#include "core/DateTime.h"

namespace wk {

// The pixel offset of `offset` milliseconds into a stretch of `width`
// milliseconds drawn across `pixels` pixels, truncated towards zero. Shared
// by TimeToX and the wave-form columns so that both agree on every pixel.
// Far-off times are kept to a range any pixel arithmetic can take.
int64_t ScaleToPixels(StreamTime offset, StreamTime width, int pixels);

// The first column (0 .. pixels - 1, or outside) that time offset `offset`
// falls into, rounding down (floor) for times before the stretch.
int64_t ColumnOf(StreamTime offset, StreamTime width, int pixels);

class TimeLine {
public:
    // The view never zooms in below this visible width.
    static constexpr StreamTime kMinZoomInWidth = 6000;
    // ZoomOut widens a range of zero width by this much on each side.
    static constexpr StreamTime kZoomOutMinStep = 10;
    // A drag must move this far from where it last moved the range.
    static constexpr int kDragDeadZone = 11;
    // The arrow areas beside the time line scroll by this percentage.
    static constexpr int kArrowScrollPercent = 25;
    // The "zoom 5 min view", "zoom 1 hour view", "zoom 1 day view" widths.
    static constexpr StreamTime kWindow5Min = 300000;
    static constexpr StreamTime kWindow1Hour = 3600000;
    static constexpr StreamTime kWindow1Day = 86400000;

    // The extent as the document sets it on every refresh (start <= end).
    // The visible range is held inside it with its width kept; a view that
    // showed the whole old extent shows the whole new one (a growing
    // recording stays in view). The cursor is held inside it as well.
    void SetExtent(StreamTime start, StreamTime end);
    StreamTime ExtentStart() const { return m_extentStart; }
    StreamTime ExtentEnd() const { return m_extentEnd; }

    // Shows [start, end], held within the extent with its width kept.
    void SetVisibleRange(StreamTime start, StreamTime end);
    StreamTime VisibleStart() const { return m_visibleStart; }
    StreamTime VisibleEnd() const { return m_visibleEnd; }

    // The left and right pixel of the time line inside the view; the
    // visible range is drawn across right - left pixels from left on.
    void SetTrack(int left, int right);
    int TrackLeft() const { return m_left; }
    int TrackRight() const { return m_right; }

    // left + trunc((t - visible start) / (visible width) * (right - left));
    // `left` for a visible range of zero width.
    int TimeToX(StreamTime t) const;
    // The time at pixel x, held within the extent; the visible start when
    // left equals right.
    StreamTime XToTime(int x) const;

    void SetCursorTime(StreamTime t);
    StreamTime CursorTime() const { return m_cursor; }
    int CursorX() const { return m_cursorX; }

    // The selected description's stretch; none is (-1, -1).
    void SetHighlightedRange(StreamTime start, StreamTime end);
    void ClearHighlightedRange() { SetHighlightedRange(-1, -1); }
    bool HasHighlightedRange() const { return !(m_highlightStart == -1 && m_highlightEnd == -1); }
    StreamTime HighlightStart() const { return m_highlightStart; }
    StreamTime HighlightEnd() const { return m_highlightEnd; }

    // Halves the distances from the cursor to both ends; false (nothing
    // changes) when they add up to less than kMinZoomInWidth.
    bool ZoomIn();
    // Doubles the width around the middle of the visible range.
    void ZoomOut();
    // Shows `width` centred on the cursor, moved inside the extent.
    void ZoomWindow(StreamTime width);
    void ScrollLeft(int percent);
    void ScrollRight(int percent);
    // A click on the left (or right) arrow area: scrolls by
    // kArrowScrollPercent unless playback runs; false when it did not.
    bool ClickArrow(bool left, bool playing);

    // Pressing the mouse inside the time line at x; refused (false) while
    // playback runs.
    bool BeginDrag(int x, bool playing);
    // The mouse moved to x while pressed; false when ignored (no drag, or
    // within the dead zone of the pixel where the range last moved).
    bool DragTo(int x);
    void EndDrag() { m_dragging = false; }
    bool Dragging() const { return m_dragging; }

private:
    // [start, end] moved inside the extent with its width kept, or the
    // extent when it is at least as wide.
    void HoldWithin(StreamTime& start, StreamTime& end) const;

    StreamTime m_extentStart = 0;
    StreamTime m_extentEnd = 0;
    StreamTime m_visibleStart = 0;
    StreamTime m_visibleEnd = 0;
    int m_left = 0;
    int m_right = 0;
    StreamTime m_cursor = 0;
    int m_cursorX = 0;
    StreamTime m_highlightStart = -1;
    StreamTime m_highlightEnd = -1;
    bool m_dragging = false;
    int m_dragX = 0;
    double m_dragCursorFraction = 0;
};

}  // namespace wk
