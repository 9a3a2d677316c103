#pragma once
// Draws the stream view's time line into a QImage: the same picture for the
// view's widget and for "wavkeep-gui render" (QtGui only, no widgets, so it
// also runs without a display).
//
// Top to bottom: the ruler (a date row where the day changes, tick labels),
// the wave form over the recorded stretches (gaps stay background), a strip
// in the record colour under every recorded stretch (hatched for the chunk
// being recorded), the descriptions as bars labelled "artist - title" in
// one or two lanes (a second one where songs overlap), and a legend. The
// cursor, the pending marking range and the highlighted range lie on top.
// Horizontal positions come from TimeLine::TimeToX: a bar from start to end
// covers the columns TimeToX(start) .. TimeToX(end) - 1.
//
// Threading: one thread per renderer; the QGuiApplication must exist (fonts).

#include <QColor>
#include <QFont>
#include <QImage>
#include <cstdint>
#include <optional>
#include <vector>

#include "player/StreamWaveform.h"
#include "player/TimeLine.h"
#include "player/TimeLineScene.h"

namespace wk {

class TimeLineRenderer {
public:
    // Rows of the picture, top included, bottom excluded.
    struct Layout {
        int rulerTop = 0, rulerBottom = 0;
        int waveTop = 0, waveBottom = 0;
        int stripTop = 0, stripBottom = 0;
        int barsTop = 0, laneHeight = 0;  // two lanes
        int legendTop = 0, legendBottom = 0;
    };
    // The smallest height the picture can be drawn in.
    static constexpr int kMinHeight = 48;
    static Layout LayoutFor(int height);

    // Bar colours: complete, partial, missing; not identified before all.
    static QColor BarColor(int coverage, bool notIdentified);
    static QColor CursorColor() { return QColor(0, 0, 210); }

    explicit TimeLineRenderer(const TimeLineColors& colors);

    // Draws into the whole of `image` (Format_RGB32, at least kMinHeight
    // high); the time line spans the line's track, which should lie inside
    // the image's width. The picture under the marks is kept and drawn
    // again only when the visible range, the track, the size, the scene's
    // stamp or the wave form's generation changed (a scene with stamp 0
    // is drawn afresh every time): moving the cursor or playing redraws
    // the marks alone.
    void Render(QImage& image, const TimeLine& line, const TimeLineScene& scene,
                const TimeLineMarks& marks);
    // Pictures drawn in full (not from the kept one) so far.
    size_t FullRenders() const { return m_fullRenders; }

private:
    struct BaseKey {
        StreamTime start = 0, end = 0;
        int left = 0, right = 0, width = 0, height = 0;
        const TimeLineScene* scene = nullptr;
        uint64_t stamp = 0;
        const StreamWaveform* wave = nullptr;
        uint64_t waveGeneration = 0;
        bool operator==(const BaseKey&) const = default;
    };
    void RenderBase(QImage& image, const Layout& layout, const TimeLine& line, const TimeLineScene& scene);

    void DrawRecorded(QImage& image, const Layout& layout, const TimeLine& line,
                      const TimeLineScene& scene);
    void DrawWave(QImage& image, const Layout& layout, const TimeLine& line, const TimeLineScene& scene);
    void DrawBars(QImage& image, const Layout& layout, const TimeLine& line, const TimeLineScene& scene);
    void DrawRuler(QImage& image, const Layout& layout, const TimeLine& line);
    void DrawLegend(QImage& image, const Layout& layout, const TimeLine& line);
    void DrawMarks(QImage& image, const Layout& layout, const TimeLine& line, const TimeLineMarks& marks);

    QColor m_record;
    QColor m_wave;
    QColor m_background;
    QColor m_recordedTint;
    QFont m_font;
    QFont m_boldFont;
    std::vector<WaveColumn> m_columns;
    std::vector<uint8_t> m_lanes;
    QImage m_base;  // the picture without the marks, for m_baseKey
    std::optional<BaseKey> m_baseKey;
    size_t m_fullRenders = 0;
};

}  // namespace wk
