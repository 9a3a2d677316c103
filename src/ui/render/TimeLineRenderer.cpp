#include "ui/render/TimeLineRenderer.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPen>
#include <QStringDecoder>
#include <algorithm>
#include <array>
#include <cmath>

#include "descriptions/Description.h"
#include "player/TimeRuler.h"

namespace wk {
namespace {

const QColor kCompleteColor(46, 160, 67);
const QColor kPartialColor(240, 170, 0);
const QColor kMissingColor(150, 150, 150);
const QColor kNotIdentifiedColor(200, 50, 180);
const QColor kTextColor(25, 25, 30);
const QColor kPendingFill(0, 90, 255, 55);
const QColor kHighlightFill(255, 215, 0, 90);
const QColor kHighlightEdge(215, 140, 0);
// Bars narrower than this carry no label.
constexpr int kMinLabelledBar = 28;
constexpr int kHatch = 4;

QColor FromRgb(const RgbColor& c) { return QColor(c.red, c.green, c.blue); }

// Description files hold UTF-8 or, written elsewhere, Latin-1.
QString FromFileText(const std::string& text) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = utf8.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
    if (!utf8.hasError()) return decoded;
    return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

QString FromText(const std::string& text) { return QString::fromStdString(text); }

// Direct access to an RGB32 image, for the many small spans of a frame.
class Pixels {
public:
    explicit Pixels(QImage& image)
        : m_bits(image.bits()), m_stride(image.bytesPerLine()), m_width(image.width()),
          m_height(image.height()) {}
    // Fills columns [x0, x1) of rows [y0, y1), cut to the image.
    void Fill(int x0, int x1, int y0, int y1, QRgb color) {
        x0 = std::max(x0, 0);
        x1 = std::min(x1, m_width);
        y0 = std::max(y0, 0);
        y1 = std::min(y1, m_height);
        for (int y = y0; y < y1; ++y) {
            QRgb* row = reinterpret_cast<QRgb*>(m_bits + static_cast<qsizetype>(y) * m_stride);
            std::fill(row + x0, row + std::max(x0, x1), color);
        }
    }
    void Column(int x, int y0, int y1, QRgb color) { Fill(x, x + 1, y0, y1, color); }

private:
    uchar* m_bits;
    qsizetype m_stride;
    int m_width;
    int m_height;
};

// The columns [x0, x1) a stretch covers inside the track; at least one
// column when it lies in view at all. Empty (x0 >= x1) when out of view.
std::pair<int, int> Columns(const TimeLine& line, StreamTime a, StreamTime b) {
    if (b < a) std::swap(a, b);
    // A stretch that ends where the view begins lies outside it.
    if (b < line.VisibleStart() || a > line.VisibleEnd() || (b == line.VisibleStart() && a < b)) {
        return {0, 0};
    }
    const int left = line.TrackLeft();
    const int right = line.TrackRight();
    int x0 = std::clamp(line.TimeToX(a), left, right);
    int x1 = std::clamp(line.TimeToX(b), left, right);
    if (x1 == x0 && x0 < right) x1 = x0 + 1;
    return {x0, x1};
}

}  // namespace

TimeLineRenderer::Layout TimeLineRenderer::LayoutFor(int height) {
    const int h = std::max(height, kMinHeight);
    const bool roomy = h >= 140;
    Layout l;
    l.rulerTop = 0;
    l.rulerBottom = h >= 100 ? 30 : 16;
    l.legendBottom = h;
    l.legendTop = roomy ? h - 16 : h;
    l.laneHeight = roomy ? 18 : std::max(5, h / 12);
    l.barsTop = l.legendTop - 2 * l.laneHeight - (roomy ? 2 : 0);
    l.stripBottom = l.barsTop - 1;
    l.stripTop = l.stripBottom - (h >= 100 ? 5 : 3);
    l.waveTop = l.rulerBottom;
    l.waveBottom = l.stripTop;
    return l;
}

QColor TimeLineRenderer::BarColor(int coverage, bool notIdentified) {
    if (notIdentified) return kNotIdentifiedColor;
    if (coverage == kCoverageComplete) return kCompleteColor;
    if (coverage == kCoveragePartial) return kPartialColor;
    return kMissingColor;
}

TimeLineRenderer::TimeLineRenderer(const TimeLineColors& colors)
    : m_record(FromRgb(colors.record)), m_wave(FromRgb(colors.wave)),
      m_background(FromRgb(colors.background)) {
    // Recorded stretches stand out from the gaps by a lighter ground.
    m_recordedTint = QColor((m_background.red() + 2 * 255) / 3, (m_background.green() + 2 * 255) / 3,
                            (m_background.blue() + 2 * 255) / 3);
    m_font = QFont(QStringLiteral("DejaVu Sans"));
    m_font.setPixelSize(11);
    m_boldFont = m_font;
    m_boldFont.setBold(true);
}

void TimeLineRenderer::Render(QImage& image, const TimeLine& line, const TimeLineScene& scene,
                              const TimeLineMarks& marks) {
    if (image.format() != QImage::Format_RGB32) image = image.convertToFormat(QImage::Format_RGB32);
    const Layout layout = LayoutFor(image.height());
    const BaseKey key{line.VisibleStart(), line.VisibleEnd(), line.TrackLeft(), line.TrackRight(),
                      image.width(),       image.height(),    &scene,           scene.stamp,
                      scene.wave,          scene.wave ? scene.wave->Generation() : 0};
    if (scene.stamp != 0 && m_baseKey == key) {
        image = m_base.copy();
    } else {
        RenderBase(image, layout, line, scene);
        ++m_fullRenders;
        m_baseKey.reset();
        if (scene.stamp != 0) {
            m_base = image.copy();
            m_baseKey = key;
        }
    }
    // The marks lie between the ruler's top and the legend: over the
    // picture, never under the legend.
    DrawMarks(image, layout, line, marks);
}

void TimeLineRenderer::RenderBase(QImage& image, const Layout& layout, const TimeLine& line,
                                  const TimeLineScene& scene) {
    image.fill(m_background);
    Pixels(image).Fill(0, image.width(), layout.rulerTop, layout.rulerBottom,
                       m_background.darker(112).rgb());
    DrawRecorded(image, layout, line, scene);
    DrawWave(image, layout, line, scene);
    DrawBars(image, layout, line, scene);
    DrawRuler(image, layout, line);
    DrawLegend(image, layout, line);
}

void TimeLineRenderer::DrawRecorded(QImage& image, const Layout& layout, const TimeLine& line,
                                    const TimeLineScene& scene) {
    Pixels pixels(image);
    const QRgb tint = m_recordedTint.rgb();
    const QRgb record = m_record.rgb();
    for (const RecordedRange& r : scene.recorded) {
        const auto [x0, x1] = Columns(line, r.first, r.second);
        pixels.Fill(x0, x1, layout.waveTop, layout.waveBottom, tint);
        pixels.Fill(x0, x1, layout.stripTop, layout.stripBottom, record);
    }
    if (scene.growing) {
        const auto [x0, x1] = Columns(line, scene.growing->first, scene.growing->second);
        pixels.Fill(x0, x1, layout.waveTop, layout.waveBottom, tint);
        // Hatched: still being written.
        const QRgb light = m_record.lighter(170).rgb();
        for (int x = x0; x < x1; ++x) {
            pixels.Column(x, layout.stripTop, layout.stripBottom, (x / kHatch) % 2 ? light : record);
        }
    }
}

void TimeLineRenderer::DrawWave(QImage& image, const Layout& layout, const TimeLine& line,
                                const TimeLineScene& scene) {
    const int width = line.TrackRight() - line.TrackLeft();
    if (scene.wave == nullptr || width <= 0) return;
    scene.wave->Columns(line.VisibleStart(), line.VisibleEnd(), width, m_columns);
    Pixels pixels(image);
    const QRgb color = m_wave.rgb();
    const int top = layout.waveTop + 1;
    const int bottom = layout.waveBottom - 1;
    const double middle = (top + bottom) / 2.0;
    const double scale = (bottom - top) / 256.0;
    const auto y = [&](int v) { return static_cast<int>(std::lround(middle - v * scale)); };
    for (int c = 0; c < width; ++c) {
        const WaveColumn& col = m_columns[static_cast<size_t>(c)];
        if (!col.present) continue;
        int low = col.min;
        int high = col.max;
        // Reach over to the previous column, so a close zoom draws a line.
        if (c > 0 && m_columns[static_cast<size_t>(c) - 1].present) {
            const WaveColumn& before = m_columns[static_cast<size_t>(c) - 1];
            low = std::min<int>(low, before.max);
            high = std::max<int>(high, before.min);
        }
        pixels.Column(line.TrackLeft() + c, std::max(y(high), top), std::min(y(low), bottom - 1) + 1,
                      color);
    }
}

void TimeLineRenderer::DrawBars(QImage& image, const Layout& layout, const TimeLine& line,
                                const TimeLineScene& scene) {
    Pixels pixels(image);
    QPainter painter(&image);
    painter.setFont(m_font);
    const QFontMetrics metrics(m_font);
    // Overlapping songs (a crossfade) take the second lane.
    std::array<StreamTime, 2> laneEnd = {INT64_MIN, INT64_MIN};
    m_lanes.resize(scene.bars.size());
    for (size_t i = 0; i < scene.bars.size(); ++i) {
        const TimeLineBar& bar = scene.bars[i];
        size_t lane = 0;
        if (bar.start < laneEnd[0]) lane = bar.start >= laneEnd[1] || laneEnd[1] < laneEnd[0] ? 1 : 0;
        laneEnd[lane] = std::max(laneEnd[lane], bar.end);
        m_lanes[i] = static_cast<uint8_t>(lane);
    }
    // Zoomed out, many songs share a column: the complete ones are drawn
    // first, so that a song needing attention is never hidden under them.
    for (const bool completePass : {true, false}) {
        for (size_t i = 0; i < scene.bars.size(); ++i) {
            const TimeLineBar& bar = scene.bars[i];
            if ((bar.coverage == kCoverageComplete && !bar.notIdentified) != completePass) continue;
            const auto [x0, x1] = Columns(line, bar.start, bar.end);
            if (x0 >= x1) continue;
            const int top = layout.barsTop + m_lanes[i] * layout.laneHeight + 1;
            const int bottom = top + layout.laneHeight - 2;
            const QColor color = BarColor(bar.coverage, bar.notIdentified);
            pixels.Fill(x0, x1, top, bottom, color.rgb());
            if (x1 - x0 >= 3) pixels.Column(x0, top, bottom, color.darker(170).rgb());
            if (x1 - x0 < kMinLabelledBar || layout.laneHeight < 12 || bar.label.empty()) continue;
            const QRect box(x0 + 3, top, x1 - x0 - 5, bottom - top);
            painter.setPen(color.lightness() < 110 ? Qt::white : kTextColor);
            painter.drawText(box, Qt::AlignLeft | Qt::AlignVCenter,
                             metrics.elidedText(FromFileText(bar.label), Qt::ElideRight, box.width()));
        }
    }
}

void TimeLineRenderer::DrawRuler(QImage& image, const Layout& layout, const TimeLine& line) {
    const int left = line.TrackLeft();
    const int right = line.TrackRight();
    const StreamTime start = line.VisibleStart();
    const StreamTime end = line.VisibleEnd();
    if (right <= left || end <= start) return;
    QPainter painter(&image);
    painter.setFont(m_font);
    painter.setPen(kTextColor);
    painter.setClipRect(QRect(left, layout.rulerTop, right - left, layout.rulerBottom - layout.rulerTop));
    const QFontMetrics metrics(m_font);
    static const std::array<const char*, 4> kWidest = {"00:00:00.000", "00:00:00", "00:00", "Wed 00/00"};
    std::array<int, 4> widths{};
    for (size_t i = 0; i < kWidest.size(); ++i) widths[i] = metrics.horizontalAdvance(kWidest[i]);
    const RulerStep step = ChooseRulerStep(end - start, right - left, [&](RulerFormat f) {
        return widths[static_cast<size_t>(f)];
    });
    const bool twoRows = layout.rulerBottom - layout.rulerTop >= 28;
    const int labelBase = layout.rulerBottom - 7;
    for (StreamTime t = FirstTick(start, step.step); t <= end; t += step.step) {
        const int x = line.TimeToX(t);
        painter.drawLine(x, layout.rulerBottom - 5, x, layout.rulerBottom - 1);
        // A label cut by the right edge would read as another time.
        const QString label = FromText(RulerLabel(t, step.format));
        if (x + 2 + metrics.horizontalAdvance(label) <= right) painter.drawText(x + 2, labelBase, label);
    }
    if (!twoRows) return;
    // The date row: the day at the left edge, and each day that begins in view.
    painter.setFont(m_boldFont);
    const QFontMetrics bold(m_boldFont);
    const int dateBase = layout.rulerTop + 11;
    int freeFrom = left;
    const auto date = [&](int x, StreamTime t) {
        const QString text = FromText(RulerDate(t));
        if (x < freeFrom) return;
        painter.drawText(x, dateBase, text);
        freeFrom = x + bold.horizontalAdvance(text) + 12;
    };
    const StreamTime firstDay = DayStart(start) + kMsPerDay;
    const int firstDayX = firstDay <= end ? line.TimeToX(firstDay) : right;
    if (step.format == RulerFormat::kDays || firstDayX - left > bold.horizontalAdvance("Wed 00/00/0000") + 12) {
        date(left + 2, start);
    }
    if (step.format == RulerFormat::kDays) return;
    for (StreamTime day = firstDay; day <= end; day += kMsPerDay) {
        const int x = line.TimeToX(day);
        painter.drawLine(x, layout.rulerTop, x, layout.rulerBottom - 1);
        date(x + 3, day);
    }
}

void TimeLineRenderer::DrawMarks(QImage& image, const Layout& layout, const TimeLine& line,
                                 const TimeLineMarks& marks) {
    QPainter painter(&image);
    painter.setClipRect(QRect(line.TrackLeft(), 0, line.TrackRight() - line.TrackLeft(), image.height()));
    const int top = layout.waveTop;
    const int bottom = layout.legendTop;
    if (marks.markingShown) {
        const auto [x0, x1] = Columns(line, marks.markStart, line.CursorTime());
        if (x0 < x1) painter.fillRect(QRect(x0, top, x1 - x0, bottom - top), kPendingFill);
        const int x = line.TimeToX(marks.markStart);
        painter.setPen(QPen(CursorColor(), 1, Qt::DashLine));
        painter.drawLine(x, top, x, bottom - 1);
    }
    if (line.HasHighlightedRange()) {
        const auto [x0, x1] = Columns(line, line.HighlightStart(), line.HighlightEnd());
        if (x0 < x1) {
            painter.fillRect(QRect(x0, top, x1 - x0, bottom - top), kHighlightFill);
            painter.setPen(kHighlightEdge);
            painter.drawLine(x0, top, x0, bottom - 1);
            painter.drawLine(x1 - 1, top, x1 - 1, bottom - 1);
        }
    }
    const int x = line.CursorX();
    if (marks.cursorShown && x >= line.TrackLeft() && x < line.TrackRight()) {
        painter.end();
        Pixels(image).Column(x, layout.rulerTop, bottom, CursorColor().rgb());
        Pixels pixels(image);
        // A small head at the top of the wave area finds the cursor at a glance.
        for (int i = 1; i <= 3; ++i) pixels.Fill(x - i, x + i + 1, top + 3 - i, top + 4 - i, CursorColor().rgb());
    }
}

void TimeLineRenderer::DrawLegend(QImage& image, const Layout& layout, const TimeLine& line) {
    if (layout.legendBottom - layout.legendTop < 12) return;
    Pixels(image).Fill(0, image.width(), layout.legendTop, layout.legendBottom,
                       m_background.lighter(108).rgb());
    QPainter painter(&image);
    painter.setFont(m_font);
    const QFontMetrics metrics(m_font);
    const int base = layout.legendBottom - 4;
    const int swatchTop = layout.legendTop + 3;
    int x = line.TrackLeft() + 4;
    const auto entry = [&](const QColor& color, const char* name, bool hatched) {
        painter.fillRect(QRect(x, swatchTop, 14, 10), color);
        if (hatched) painter.fillRect(QRect(x + kHatch, swatchTop, kHatch, 10), color.lighter(170));
        x += 18;
        painter.setPen(kTextColor);
        painter.drawText(x, base, QString::fromLatin1(name));
        x += metrics.horizontalAdvance(QString::fromLatin1(name)) + 14;
    };
    entry(kCompleteColor, "complete", false);
    entry(kPartialColor, "partial", false);
    entry(kMissingColor, "missing", false);
    entry(kNotIdentifiedColor, "not identified", false);
    entry(m_record, "recorded", false);
    entry(m_record, "recording", true);
    const QString span = FromText(DateTime::FromStreamTime(line.VisibleStart()).LongText().substr(0, 20) +
                                  " - " + DateTime::FromStreamTime(line.VisibleEnd()).LongText().substr(0, 20));
    const int spanX = line.TrackRight() - metrics.horizontalAdvance(span) - 4;
    if (spanX > x) painter.drawText(spanX, base, span);
}

}  // namespace wk
