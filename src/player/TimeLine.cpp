#include "player/TimeLine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace wk {
namespace {

// Pixels this far off lie outside any image; keeping to them lets callers
// add and subtract pixel positions in int without overflow.
constexpr double kFarPixels = 1 << 30;

double PixelFraction(StreamTime offset, StreamTime width, int pixels) {
    return static_cast<double>(offset) / static_cast<double>(width) * pixels;
}

}  // namespace

int64_t ScaleToPixels(StreamTime offset, StreamTime width, int pixels) {
    if (width == 0) return 0;
    const double x = std::trunc(PixelFraction(offset, width, pixels));
    return static_cast<int64_t>(std::clamp(x, -kFarPixels, kFarPixels));
}

int64_t ColumnOf(StreamTime offset, StreamTime width, int pixels) {
    if (width == 0) return 0;
    const double x = std::floor(PixelFraction(offset, width, pixels));
    return static_cast<int64_t>(std::clamp(x, -kFarPixels, kFarPixels));
}

void TimeLine::SetExtent(StreamTime start, StreamTime end) {
    if (end < start) std::swap(start, end);
    const bool showedAll = m_visibleStart == m_extentStart && m_visibleEnd == m_extentEnd;
    m_extentStart = start;
    m_extentEnd = end;
    if (showedAll) {
        m_visibleStart = start;
        m_visibleEnd = end;
    } else {
        HoldWithin(m_visibleStart, m_visibleEnd);
    }
    SetCursorTime(std::clamp(m_cursor, start, end));
}

void TimeLine::SetVisibleRange(StreamTime start, StreamTime end) {
    if (end < start) std::swap(start, end);
    HoldWithin(start, end);
    m_visibleStart = start;
    m_visibleEnd = end;
    SetCursorTime(m_cursor);
}

void TimeLine::SetTrack(int left, int right) {
    m_left = left;
    m_right = std::max(left, right);
    SetCursorTime(m_cursor);
}

int TimeLine::TimeToX(StreamTime t) const {
    return m_left + static_cast<int>(
                        ScaleToPixels(t - m_visibleStart, m_visibleEnd - m_visibleStart, m_right - m_left));
}

StreamTime TimeLine::XToTime(int x) const {
    if (m_left == m_right) return m_visibleStart;
    const double offset = std::trunc(static_cast<double>(x - m_left) / (m_right - m_left) *
                                     static_cast<double>(m_visibleEnd - m_visibleStart));
    // Far outside the track the offset leaves the extent anyway.
    const double span = static_cast<double>(m_extentEnd - m_extentStart) + 1;
    const StreamTime t =
        m_visibleStart + static_cast<StreamTime>(std::clamp(offset, -span - 1, span + 1));
    return std::clamp(t, m_extentStart, m_extentEnd);
}

void TimeLine::SetCursorTime(StreamTime t) {
    m_cursor = t;
    m_cursorX = TimeToX(t);
}

void TimeLine::SetHighlightedRange(StreamTime start, StreamTime end) {
    m_highlightStart = start;
    m_highlightEnd = end;
}

void TimeLine::HoldWithin(StreamTime& start, StreamTime& end) const {
    const StreamTime width = end - start;
    if (width >= m_extentEnd - m_extentStart) {
        start = m_extentStart;
        end = m_extentEnd;
    } else if (start < m_extentStart) {
        start = m_extentStart;
        end = m_extentStart + width;
    } else if (end > m_extentEnd) {
        end = m_extentEnd;
        start = m_extentEnd - width;
    }
}

bool TimeLine::ZoomIn() {
    const StreamTime a = (m_cursor - m_visibleStart) / 2;
    const StreamTime b = (m_visibleEnd - m_cursor) / 2;
    if (a + b < kMinZoomInWidth) return false;
    StreamTime start = m_visibleStart + a;
    StreamTime end = m_visibleEnd - b;
    HoldWithin(start, end);
    m_visibleStart = start;
    m_visibleEnd = end;
    SetCursorTime(m_cursor);
    return true;
}

void TimeLine::ZoomOut() {
    StreamTime h = (m_visibleEnd - m_visibleStart) / 2;
    if (h == 0) h = kZoomOutMinStep;
    m_visibleStart -= h;
    m_visibleEnd += h;
    if (m_visibleEnd > m_extentEnd) m_visibleEnd = m_extentEnd;
    if (m_visibleStart < m_extentStart) m_visibleStart = m_extentStart;
    SetCursorTime(m_cursor);
}

void TimeLine::ZoomWindow(StreamTime width) {
    m_visibleStart = m_cursor - width / 2;
    m_visibleEnd = m_cursor + width / 2;
    if (m_visibleStart < m_extentStart) {
        m_visibleStart = m_extentStart;
        m_visibleEnd = m_extentStart + width;
    }
    if (m_visibleEnd > m_extentEnd) {
        m_visibleEnd = m_extentEnd;
        m_visibleStart = std::max(m_extentEnd - width, m_extentStart);
    }
    SetCursorTime(m_cursor);
}

void TimeLine::ScrollLeft(int percent) { ScrollRight(-percent); }

void TimeLine::ScrollRight(int percent) {
    const StreamTime d = (m_visibleEnd - m_visibleStart) * percent / 100;
    StreamTime start = m_visibleStart + d;
    StreamTime end = m_visibleEnd + d;
    HoldWithin(start, end);
    m_visibleStart = start;
    m_visibleEnd = end;
    SetCursorTime(m_cursor);
}

bool TimeLine::ClickArrow(bool left, bool playing) {
    if (playing) return false;
    if (left) {
        ScrollLeft(kArrowScrollPercent);
    } else {
        ScrollRight(kArrowScrollPercent);
    }
    return true;
}

bool TimeLine::BeginDrag(int x, bool playing) {
    if (playing) return false;
    m_dragging = true;
    m_dragX = x;
    const StreamTime width = m_visibleEnd - m_visibleStart;
    m_dragCursorFraction =
        width > 0 ? static_cast<double>(m_cursor - m_visibleStart) / static_cast<double>(width) : 0;
    return true;
}

bool TimeLine::DragTo(int x) {
    if (!m_dragging || std::abs(static_cast<int64_t>(x) - m_dragX) < kDragDeadZone) return false;
    const StreamTime delta = XToTime(m_dragX) - XToTime(x);
    StreamTime start = m_visibleStart + delta;
    StreamTime end = m_visibleEnd + delta;
    HoldWithin(start, end);
    if (start != m_visibleStart) {
        m_visibleStart = start;
        m_visibleEnd = end;
        m_cursor = start + static_cast<StreamTime>(
                               std::trunc(m_dragCursorFraction * static_cast<double>(end - start)));
    }
    SetCursorTime(m_cursor);
    m_dragX = x;
    return true;
}

}  // namespace wk
