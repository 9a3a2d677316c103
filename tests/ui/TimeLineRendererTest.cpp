#include "ui/render/TimeLineRenderer.h"

#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <functional>
#include <sstream>

#include "core/ConfigStore.h"
#include "descriptions/Description.h"
#include "support/TempHome.h"
#include "ui/RenderCommand.h"

namespace wk {
namespace {

constexpr StreamTime S = 1000;

class TimeLineRendererTest : public test::TempHomeTest {
protected:
    // 400 px for 100 s: 4 px a second.
    QImage Draw(const TimeLineScene& scene, const TimeLineMarks& marks = {}) {
        test::WriteFile(HomeFile("config.ini"), "BckgrdColor=10,20,30\nRecordColor=200,0,0\n");
        ConfigStore config;
        config.Load();
        QImage image(400, 150, QImage::Format_RGB32);
        TimeLineRenderer(ReadTimeLineColors(config)).Render(image, m_line, scene, marks);
        return image;
    }
    void SetUp() override {
        TempHomeTest::SetUp();
        m_line.SetTrack(0, 400);
        m_line.SetExtent(0, 100 * S);
        m_scene.recorded = {{0, 30 * S}, {60 * S, 100 * S}};
        m_scene.bars = {{10100, 24900, "A - B", kCoverageComplete, false},
                        {24900, 29000, "", kCoveragePartial, false},  // touches the first
                        {27000, 40000, "", kCoverageMissing, false},  // overlaps: second lane
                        {70 * S, 80 * S, "", kCoverageComplete, true}};
    }
    TimeLine m_line;
    TimeLineScene m_scene;
    const TimeLineRenderer::Layout m_layout = TimeLineRenderer::LayoutFor(150);
};

QColor At(const QImage& image, int x, int y) { return image.pixelColor(x, y); }

TEST_F(TimeLineRendererTest, BarsRangesAndCursorLieOnTheirPixels) {
    m_line.SetCursorTime(70300);
    const QImage image = Draw(m_scene);
    // The top row of each lane: below it the labels are written.
    const int lane0 = m_layout.barsTop + 1;
    const int lane1 = lane0 + m_layout.laneHeight;
    const int strip = m_layout.stripTop;
    const int wave = (m_layout.waveTop + m_layout.waveBottom) / 2;
    const auto isBar = [&](int x, int y, int coverage, bool notIdentified) {
        const QColor c = TimeLineRenderer::BarColor(coverage, notIdentified);
        const QRgb p = image.pixel(x, y);
        return p == c.rgb() || p == c.darker(170).rgb();
    };
    // The first bar covers exactly TimeToX(10.1 s) = 40 .. TimeToX(24.9 s) - 1 = 98.
    EXPECT_FALSE(isBar(39, lane0, kCoverageComplete, false));
    for (int x = 40; x <= 98; ++x) EXPECT_TRUE(isBar(x, lane0, kCoverageComplete, false)) << x;
    EXPECT_TRUE(isBar(99, lane0, kCoveragePartial, false));
    EXPECT_TRUE(isBar(108, lane1, kCoverageMissing, false));  // 27 s to 40 s: 108 .. 159
    EXPECT_TRUE(isBar(159, lane1, kCoverageMissing, false));
    EXPECT_FALSE(isBar(160, lane1, kCoverageMissing, false));
    EXPECT_FALSE(isBar(107, lane1, kCoverageMissing, false));
    EXPECT_TRUE(isBar(300, lane0, kCoverageComplete, true));
    // Recorded stretches carry the configured record colour; the gap stays background.
    EXPECT_EQ(At(image, 60, strip), QColor(200, 0, 0));
    EXPECT_EQ(At(image, 180, strip), QColor(10, 20, 30));
    EXPECT_EQ(At(image, 180, wave), QColor(10, 20, 30));
    EXPECT_NE(At(image, 60, wave), QColor(10, 20, 30));
    // The cursor: column TimeToX(70.3 s) = 281, not its neighbours.
    for (int y : {wave, lane0, lane1}) {
        EXPECT_EQ(At(image, 281, y), TimeLineRenderer::CursorColor());
        EXPECT_NE(At(image, 280, y), TimeLineRenderer::CursorColor());
        EXPECT_NE(At(image, 282, y), TimeLineRenderer::CursorColor());
    }
    // The highlighted and the pending range tint their stretch, nothing else.
    m_line.SetHighlightedRange(70 * S, 80 * S);
    TimeLineMarks marks;
    marks.markingShown = true;
    marks.markStart = 20 * S;
    const QImage marked = Draw(m_scene, marks);
    for (int x : {81, 300}) EXPECT_NE(At(marked, x, wave), At(image, x, wave)) << x;
    for (int x : {60, 330}) EXPECT_EQ(At(marked, x, wave), At(image, x, wave)) << x;
    // Songs sharing a column (zoomed out): the one needing attention shows,
    // whichever comes later in the list.
    TimeLineScene shared;
    shared.bars = {{1000, 1100, "", kCoverageMissing, true}, {1100, 1200, "", kCoverageComplete, false}};
    const QImage zoomedOut = Draw(shared);
    EXPECT_EQ(zoomedOut.pixel(4, lane0), TimeLineRenderer::BarColor(kCoverageMissing, true).rgb());
}

TEST_F(TimeLineRendererTest, TheWaveFormIsDrawnWhereTheSideFileSaysSo) {
    const std::string folder = HomeFile("s");
    std::filesystem::create_directory(folder);
    test::WriteFile(folder + "/x.dat", std::string(1000, static_cast<char>(100)));
    StreamWaveform wave;
    wave.Sync(folder, {{"x.dat", 0, 10 * S, false, -1, 0}});
    wave.Prepare(0, 100 * S, 400);
    m_scene.wave = &wave;
    const QImage image = Draw(m_scene);
    // A steady +100 draws in the upper half of the wave area only, and only
    // for the chunk's 10 s.
    const int middle = (m_layout.waveTop + m_layout.waveBottom) / 2;
    const auto waveRows = [&](int x, int from, int to) {
        int n = 0;
        for (int y = from; y < to; ++y) n += At(image, x, y) == QColor(40, 40, 50);
        return n;
    };
    EXPECT_GT(waveRows(20, m_layout.waveTop, middle), 0);
    EXPECT_EQ(waveRows(20, middle, m_layout.waveBottom), 0);
    EXPECT_EQ(waveRows(60, m_layout.waveTop, m_layout.waveBottom), 0);
}

TEST_F(TimeLineRendererTest, AKeptPictureIsRedrawnOnlyWhenWhatItShowsChanged) {
    const std::string folder = HomeFile("s");
    std::filesystem::create_directory(folder);
    test::WriteFile(folder + "/x.dat", std::string(1000, static_cast<char>(100)));
    StreamWaveform wave;
    wave.Sync(folder, {{"x.dat", 0, 10 * S, false, -1, 0}});
    m_scene.wave = &wave;
    m_scene.stamp = 1;
    test::WriteFile(HomeFile("config.ini"), "BckgrdColor=10,20,30\nRecordColor=200,0,0\n");
    ConfigStore config;
    config.Load();
    const TimeLineColors colors = ReadTimeLineColors(config);
    TimeLineRenderer kept(colors);
    TimeLineMarks marks;
    const auto render = [&](TimeLineRenderer& renderer) {
        wave.Prepare(m_line.VisibleStart(), m_line.VisibleEnd(), 400);
        QImage image(400, 150, QImage::Format_RGB32);
        renderer.Render(image, m_line, m_scene, marks);
        return image;
    };
    const struct {
        const char* what;
        std::function<void()> change;
        bool redrawn;
    } steps[] = {
        {"the first picture", [] {}, true},
        {"the cursor moved", [&] { m_line.SetCursorTime(50 * S); }, false},
        {"a mark opened", [&] { marks = {true, true, 20 * S}; }, false},
        {"a song highlighted", [&] { m_line.SetHighlightedRange(10 * S, 20 * S); }, false},
        {"zoomed in", [&] { m_line.ZoomIn(); }, true},
        {"a song added", [&] { m_scene.bars.push_back({52 * S, 58 * S, "C - D", kCoverageComplete, false}), m_scene.stamp = 2; }, true},
        {"a chunk joined the wave form", [&] {
             test::WriteFile(folder + "/y.dat", std::string(1000, static_cast<char>(-90)));
             wave.Add({"y.dat", 40 * S, 10 * S, false, -1, 0});
         }, true},
        {"nothing", [] {}, false},
        {"a scene without a stamp", [&] { m_scene.stamp = 0; }, true},
        {"the same scene without a stamp", [] {}, true},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        step.change();
        const size_t before = kept.FullRenders();
        const QImage got = render(kept);
        TimeLineRenderer fresh(colors);
        EXPECT_TRUE(got == render(fresh));
        EXPECT_EQ(kept.FullRenders() - before, step.redrawn ? 1u : 0u);
    }
}

TEST_F(TimeLineRendererTest, RenderRefusesBadOptionsAndWritesAPicture) {
    const std::string folder = HomeFile("Streams/Radio");
    std::filesystem::create_directories(folder);
    test::WriteFile(HomeFile("Streams/StreamFileNames.txt"), "Radio\tOne\t3\t120\t360\t15\t1\t0\t1\t0\r\n");
    const auto run = [&](void (*edit)(RenderOptions&)) {
        RenderOptions o;
        o.stream = "Radio";
        o.output = HomeFile("out.png");
        o.width = 200;
        o.height = 60;
        edit(o);
        std::ostringstream out, err;
        return RunRender(o, out, err);
    };
    const struct {
        const char* what;
        void (*edit)(RenderOptions&);
        int status;
    } cases[] = {
        {"nothing recorded yet", [](RenderOptions&) {}, 1},
        {"no such stream", [](RenderOptions& o) { o.stream = "Nowhere"; }, 1},
        {"too narrow", [](RenderOptions& o) { o.width = 10; }, 2},
        {"too high", [](RenderOptions& o) { o.height = 100000; }, 2},
        {"--from alone", [](RenderOptions& o) { o.from = "2024-03-01 10:00:00"; }, 2},
        {"--to before --from", [](RenderOptions& o) { o.from = "2024-03-01 11:00:00", o.to = "2024-03-01 10:00:00"; }, 2},
        {"no time", [](RenderOptions& o) { o.from = "yesterday", o.to = "2024-03-01 10:00:00"; }, 2},
        {"unwritable file", [](RenderOptions& o) { o.from = "2024-03-01 10:00:00", o.to = "2024-03-01 10:01:00", o.output = "/nonexistent/x.png"; }, 1},
        {"an empty stretch is drawn", [](RenderOptions& o) { o.from = "2024-03-01 10:00:00", o.to = "2024-03-01 10:01:00"; }, 0},
    };
    for (const auto& c : cases) EXPECT_EQ(run(c.edit), c.status) << c.what;

    const std::string base = folder + "/2024_03_01_10_00_00_20_10_";
    for (const char* n : {"1", "2"}) {
        test::WriteFile(base + n + ".mp3", "x");
        test::WriteFile(base + n + ".dat", std::string(1000, '\x10'));
    }
    EXPECT_EQ(run([](RenderOptions&) {}), 0);
    const QImage picture(QString::fromStdString(HomeFile("out.png")));
    ASSERT_EQ(picture.size(), QSize(200, 60));
    EXPECT_EQ(picture.pixelColor(100, TimeLineRenderer::LayoutFor(60).stripTop), QColor(185, 0, 0));
}

}  // namespace
}  // namespace wk
