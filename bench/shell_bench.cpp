// The desktop shell's responsiveness on a week-long stream, for
// bench/run-shell-bench: the real main window with its stream view,
// offscreen, opening the stream (read on the view's reading thread), zoomed
// across every level, scrolled by the arrows and by dragging, playing into a
// WAV file, while chunks complete; every event the GUI thread delivers (the
// program loop's posted messages and timers among them) is timed.
//
//   wavkeep_bench_shell HOME [DAYS]
//
// HOME (a fresh folder) becomes the program home: a minute of generator
// audio is recorded there once, and its chunks, side files included, are
// hard-linked under the names of DAYS days of 10-second chunks.

#include <time.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTabBar>
#include <QTableView>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/RecordCommand.h"
#include "core/ConfigStore.h"
#include "core/EventLoop.h"
#include "core/ProgramHome.h"
#include "core/RecordingNotifier.h"
#include "platform/PlaybackDevice.h"
#include "scheduler/Scheduler.h"
#include "scheduler/TaskKinds.h"
#include "core/Clock.h"
#include "streamstore/ChunkName.h"
#include "streamstore/StreamInfo.h"
#include "streamstore/StreamNameFile.h"
#include "player/StreamViewData.h"
#include "ui/shell/DescriptionView.h"
#include "ui/shell/MainWindow.h"
#include "ui/shell/QtEventLoop.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/StreamView.h"

namespace fs = std::filesystem;

namespace {

constexpr long long kChunkSeconds = 10;
constexpr long long kDaySeconds = 86400;
constexpr int kTrackChunks = 23;  // songs of about four minutes
constexpr double kBudgetMs = 50;
constexpr const char* kChunkStage = "a chunk completing";
constexpr const char* kUnannouncedStage = "chunks appearing unannounced";

struct Delivery {
    double ms = 0;
    double cpuMs = 0;  // the GUI thread's own CPU time in it (what the load cannot inflate)
    std::string what;
    std::string stage;
};

double ThreadCpuMs() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1000 + static_cast<double>(t.tv_nsec) / 1e6;
}

// Times each delivery on the GUI thread from its outermost notify, so that
// nested deliveries (a paint inside a key press) count with their caller.
class TimedApplication final : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* receiver, QEvent* event) override {
        if (!m_measuring || m_depth > 0 || QThread::currentThread() != thread())
            return Deliver(receiver, event);
        // Read before the delivery: the receiver may not outlive it.
        const char* type = receiver->metaObject()->className();
        const int kind = static_cast<int>(event->type());
        const double cpu = ThreadCpuMs();
        const auto start = std::chrono::steady_clock::now();
        const bool handled = Deliver(receiver, event);
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        m_deliveries.push_back(
            {ms, ThreadCpuMs() - cpu, std::string(type) + " event " + std::to_string(kind) + Stage(), m_stage});
        return handled;
    }
    void Measure(bool on) { m_measuring = on; }
    void SetStage(std::string stage) { m_stage = std::move(stage); }
    const std::vector<Delivery>& Deliveries() const { return m_deliveries; }

private:
    bool Deliver(QObject* receiver, QEvent* event) {
        ++m_depth;
        const bool handled = QApplication::notify(receiver, event);
        --m_depth;
        return handled;
    }
    std::string Stage() const { return m_stage.empty() ? std::string() : " while " + m_stage; }

    bool m_measuring = false;
    int m_depth = 0;
    std::string m_stage;
    std::vector<Delivery> m_deliveries;
};

// The recorded chunks (base names with folder), oldest first, without the
// last one, which may be short.
std::vector<std::string> RecordSeed(const std::string& folder) {
    wk::RecordOptions record;
    record.seconds = 60;
    record.stream = "Week";
    record.input = "generator:3:fast";
    std::ostringstream out, err;
    if (wk::RunRecord(record, out, err) != 0) {
        std::fprintf(stderr, "recording the seed failed: %s\n", err.str().c_str());
        return {};
    }
    std::vector<std::string> bases;
    for (const auto& f : fs::directory_iterator(folder))
        if (f.path().extension() == ".mp3") bases.push_back(f.path().parent_path() / f.path().stem());
    std::sort(bases.begin(), bases.end(), [](const std::string& a, const std::string& b) {
        return wk::ParseChunkName(fs::path(a).filename().string())->number <
               wk::ParseChunkName(fs::path(b).filename().string())->number;
    });
    if (!bases.empty()) bases.pop_back();
    return bases;
}

// The seed's chunks, side files and all, under the name of chunk `number`
// of the day-long session that starts at `day`.
bool LinkChunk(const std::string& seed, const std::string& folder, const wk::DateTime& day, int number) {
    const std::string base = wk::FolderFile(folder, wk::ChunkBaseName(day, kDaySeconds, kChunkSeconds, number));
    std::error_code ec;
    for (const char* ext : {".mp3", ".dat", ".fgp"}) {
        fs::create_hard_link(seed + ext, base + ext, ec);
        if (ec) {
            std::fprintf(stderr, "%s%s: %s\n", base.c_str(), ext, ec.message().c_str());
            return false;
        }
    }
    return true;
}

// DAYS day-long sessions of the seed's chunks in turn, and a desc.des of
// four-minute songs over them; the seed moves out of the stream folder.
bool MakeWeek(const std::string& home, const std::string& folder, int days, wk::DateTime* first) {
    const std::vector<std::string> recorded = RecordSeed(folder);
    if (recorded.size() < 2) return false;
    const std::string seedFolder = home + "seed/";
    fs::create_directories(seedFolder);
    std::vector<std::string> seeds;
    for (const std::string& base : recorded) {
        for (const char* ext : {".mp3", ".dat", ".fgp"}) fs::rename(base + ext, seedFolder + fs::path(base).filename().string() + ext);
        seeds.push_back(seedFolder + fs::path(base).filename().string());
    }
    for (const auto& f : fs::directory_iterator(folder))
        if (f.path().extension() != ".txt") fs::remove_all(f.path());
    *first = wk::DateTime(2024, 3, 4, 0, 0, 0);
    const int perDay = static_cast<int>(kDaySeconds / kChunkSeconds);
    std::string descriptions = "# 0.9\r\n# \r\n# \r\n";
    for (long i = 0; i < static_cast<long>(days) * perDay; ++i) {
        const wk::DateTime day = wk::DateTime::FromStreamTime(first->ToStreamTime() + (i / perDay) * wk::kMsPerDay);
        if (!LinkChunk(seeds[static_cast<size_t>(i) % seeds.size()], folder, day, static_cast<int>(i % perDay) + 1))
            return false;
        if (i % kTrackChunks != 0) continue;
        const wk::StreamTime start = first->ToStreamTime() + i * kChunkSeconds * 1000 + 2000;
        const wk::StreamTime end = start + kTrackChunks * kChunkSeconds * 1000 - 2000;
        const long n = i / kTrackChunks + 1;
        descriptions += wk::DateTime::FromStreamTime(start).LongText() + "\t" +
                        wk::DateTime::FromStreamTime(end).LongText() + "\tBand " + std::to_string(n % 97) + "\tSong " +
                        std::to_string(n) + "\tAlbum\t2024\t\t17\t\t0\r\n";
    }
    FILE* f = std::fopen(wk::FolderFile(folder, "desc.des").c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(descriptions.data(), 1, descriptions.size(), f) == descriptions.size();
    return std::fclose(f) == 0 && written;
}

// Lets the window work for `ms` of wall time, as a person pausing would.
void Idle(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        ::usleep(1000);
    }
}

void Key(QWidget* to, int key, Qt::KeyboardModifiers mods, const QString& text = {}) {
    QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyPress, key, mods, text));
    QCoreApplication::postEvent(to, new QKeyEvent(QEvent::KeyRelease, key, mods, text));
    Idle(40);
}

void Mouse(QWidget* to, QEvent::Type type, QPoint at) {
    const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QCoreApplication::postEvent(to, new QMouseEvent(type, QPointF(at), to->mapToGlobal(QPointF(at)),
                                                     Qt::LeftButton, held, Qt::NoModifier));
}

void Click(QWidget* to, QPoint at) {
    Mouse(to, QEvent::MouseButtonPress, at);
    Mouse(to, QEvent::MouseButtonRelease, at);
    Idle(40);
}

void Drag(QWidget* to, QPoint from, int dx) {
    Mouse(to, QEvent::MouseButtonPress, from);
    for (int step = 1; step <= 10; ++step) {
        Mouse(to, QEvent::MouseMove, from + QPoint(dx * step / 10, 0));
        Idle(15);
    }
    Mouse(to, QEvent::MouseButtonRelease, from + QPoint(dx, 0));
    Idle(40);
}

// A click on the window's view tab `index` (0 stream, 1 descriptions, 2
// schedule), as a person switches views.
void ClickTab(wk::ui::MainWindow& window, int index) {
    for (QTabBar* tabs : window.findChildren<QTabBar*>()) {
        if (tabs->count() != 3) continue;
        Click(tabs, tabs->tabRect(index).center());
        return;
    }
    std::fprintf(stderr, "no view tabs\n");
}

// A few recordings on the schedule view: one running now, later ones and
// a daily one.
void AddTasks(wk::Scheduler& scheduler) {
    const wk::DateTime now = wk::GetClock().Now();
    std::vector<wk::OnceTask> once(12);
    for (size_t i = 0; i < once.size(); ++i) {
        once[i].SetStreamName("Week");
        once[i].SetDescription("show " + std::to_string(i));
        const wk::StreamTime start = now.ToStreamTime() + (static_cast<long>(i) * 6 - 1) * 3600000;
        once[i].SetStart(wk::DateTime::FromStreamTime(start));
        once[i].SetEnd(wk::DateTime::FromStreamTime(start + 2 * 3600000));
    }
    wk::DailyTask daily;
    daily.SetStreamName("Week");
    daily.SetDescription("news hour");
    daily.SetStart(wk::DateTime(now.year, now.month, now.day, 18, 0, 0));
    daily.SetEnd(wk::DateTime(now.year, now.month, now.day, 19, 0, 0));
    daily.Advance(now);
    scheduler.Update([&](wk::Scheduler& s) {
        for (const wk::OnceTask& task : once) s.insertTask(task);
        s.insertTask(daily);
        return true;
    });
}

// Both arrows a few times and a drag each way.
void Scroll(QWidget* view) {
    const int y = wk::ui::StreamView::kInfoHeight + 100;
    for (int i = 0; i < 4; ++i) Click(view, QPoint(view->width() - 5, y));
    for (int i = 0; i < 4; ++i) Click(view, QPoint(5, y));
    Drag(view, QPoint(view->width() / 2, y), -300);
    Drag(view, QPoint(view->width() / 2, y), 300);
}

int Run(TimedApplication& app, const std::string& home, int days) {
    wk::SetProgramHome(home);
    std::string why;
    if (!wk::PrepareProgramHome(&why)) {
        std::fprintf(stderr, "%s\n", why.c_str());
        return 1;
    }
    wk::ConfigStore config;
    config.Load();
    config.SetString("Encoder", "Lame encoder");
    config.SetString("SingleFileLength", std::to_string(kChunkSeconds));
    config.SetString("ActiveStream", "Week");
    config.Save();
    const std::string folder = wk::StreamNameFile::StreamRoot() + "Week/";
    wk::DateTime first;
    if (!MakeWeek(wk::ProgramFolder(), folder, days, &first)) return 1;

    wk::EventLoop loop;
    wk::ui::QtEventLoop driver(loop);
    wk::Scheduler scheduler;
    AddTasks(scheduler);
    wk::ui::QtUserPrompt prompt;
    wk::ui::MainWindow window(scheduler, loop, prompt);
    prompt.SetParent(&window);
    auto* view = new wk::ui::StreamView(loop, prompt, wk::CreatePlaybackDevice("file:" + home + "heard.wav", &why));
    // The window's first showing costs the same on any stream.
    window.ShowView(wk::ui::View::Stream);
    window.show();
    Idle(500);
    app.Measure(true);
    app.SetStage("opening the stream");
    QElapsedTimer opening;
    opening.start();
    window.SetStreamViewPane(view);
    window.SetActiveStream("Week");
    const qint64 openMs = opening.elapsed();
    while (view->Reading()) Idle(20);
    const qint64 shownMs = opening.elapsed();
    const wk::StreamReadTimes read = view->Data()->ReadTimes();
    Idle(500);

    const QPoint middle(view->width() / 2, wk::ui::StreamView::kInfoHeight + 100);
    app.SetStage("playing");
    Click(view, middle);
    Key(&window, Qt::Key_P, Qt::AltModifier);
    app.SetStage("zooming");
    Key(&window, Qt::Key_Slash, Qt::KeypadModifier, QStringLiteral("/"));
    for (int i = 0; i < 14; ++i) Key(&window, Qt::Key_Plus, Qt::KeypadModifier, QStringLiteral("+"));
    app.SetStage("scrolling, zoomed in");
    Scroll(view);
    app.SetStage("zooming out");
    for (int i = 0; i < 18; ++i) Key(&window, Qt::Key_Minus, Qt::KeypadModifier, QStringLiteral("-"));
    app.SetStage("scrolling, whole stream");
    Scroll(view);
    for (auto [key, text] : {std::pair{Qt::Key_Asterisk, "*"}, std::pair{Qt::Key_5, "5"}}) {
        app.SetStage(std::string("zoom ") + text);
        Key(&window, key, Qt::KeypadModifier, QString::fromLatin1(text));
        app.SetStage(std::string("scrolling at zoom ") + text);
        Scroll(view);
    }
    // Chunks completing while the window shows the stream: first from the
    // recorder of this process, whose note names the session it writes
    // (the chunk after the completed one is begun when the news arrives),
    // then chunks of another session announced without a note.
    app.SetStage(kChunkStage);
    const std::string seed = wk::ProgramFolder() + "seed/" +
                             fs::path(*fs::directory_iterator(wk::ProgramFolder() + "seed/")).stem().string();
    const auto dayAfter = [&](int n) { return wk::DateTime::FromStreamTime(first.ToStreamTime() + n * wk::kMsPerDay); };
    const size_t chunksBefore = view->Data()->Wave().ChunkCount();
    wk::SetCurrentSessionPrefix(wk::ChunkSessionName(dayAfter(days), kDaySeconds, kChunkSeconds), folder);
    if (!LinkChunk(seed, folder, dayAfter(days), 1)) return 1;
    for (int n = 1; n <= 5; ++n) {
        if (!LinkChunk(seed, folder, dayAfter(days), n + 1)) return 1;
        wk::RecordingNotifier::Instance().Notify(wk::kEventChunkCompleted);
        Idle(200);
    }
    wk::SetCurrentSessionPrefix("");
    wk::RecordingNotifier::Instance().Notify(wk::kEventChunkCompleted);
    Idle(400);
    const size_t chunksRecorded = view->Data()->Wave().ChunkCount() - chunksBefore;
    app.SetStage(kUnannouncedStage);
    for (int n = 1; n <= 3; ++n) {
        if (!LinkChunk(seed, folder, dayAfter(days + 1), n)) return 1;
        wk::RecordingNotifier::Instance().Notify(wk::kEventChunkCompleted);
        Idle(300);
        while (view->Reading()) Idle(20);
    }
    const size_t chunksAfter = view->Data()->Wave().ChunkCount() - chunksBefore;
    app.SetStage("playing");
    Idle(1000);
    Key(&window, Qt::Key_S, Qt::AltModifier);
    Idle(200);
    // The other views: the descriptions (a week of songs, their coverage
    // read from the folder) and the schedule, then back to the stream.
    app.SetStage("showing the descriptions");
    QElapsedTimer listing;
    listing.start();
    ClickTab(window, 1);
    while (window.Descriptions()->Table()->model()->rowCount() == 0 && listing.elapsed() < 30000) Idle(20);
    const qint64 listedMs = listing.elapsed();
    const int listed = window.Descriptions()->Table()->model()->rowCount();
    Idle(300);
    app.SetStage("showing the schedule");
    ClickTab(window, 2);
    Idle(500);
    app.SetStage("showing the stream again");
    ClickTab(window, 0);
    Idle(300);
    while (view->Reading()) Idle(20);
    Idle(300);
    app.Measure(false);

    std::vector<Delivery> all = app.Deliveries();
    std::sort(all.begin(), all.end(), [](const Delivery& a, const Delivery& b) { return a.ms > b.ms; });
    if (all.empty()) return 1;
    const double p99 = all[all.size() / 100].ms;
    const long over = std::count_if(all.begin(), all.end(), [](const Delivery& d) { return d.ms > kBudgetMs; });
    std::printf("stream: %d days of %lld-second chunks; opening the view %lld ms on the GUI thread, drawn after %lld ms\n",
                days, kChunkSeconds, static_cast<long long>(openMs), static_cast<long long>(shownMs));
    std::printf("reading thread: folder %.0f ms, descriptions %.0f ms, wave form %.0f ms, first summaries %.0f ms\n",
                read.folder, read.descriptions, read.wave, read.summaries);
    std::printf("chunks shown after the recorder's 6: %zu; after 3 more unannounced: %zu\n", chunksRecorded,
                chunksAfter);
    std::printf("description view: %d songs listed after %lld ms\n", listed, static_cast<long long>(listedMs));
    std::printf("events %zu, over %.0f ms %ld, p99 %.2f ms, longest program loop pass %lld ms\n", all.size(), kBudgetMs,
                over, p99, static_cast<long long>(driver.LongestPassMs()));
    for (size_t i = 0; i < std::min<size_t>(5, all.size()); ++i)
        std::printf("  %.2f ms  %s\n", all[i].ms, all[i].what.c_str());
    // The worst of each stage: what a person zooming, scrolling or
    // listening meets, apart from the recorder's own news.
    std::map<std::string, std::pair<double, double>> worstOf;
    for (const Delivery& d : all) {
        auto& [ms, cpu] = worstOf[d.stage];
        ms = std::max(ms, d.ms);
        cpu = std::max(cpu, d.cpuMs);
    }
    for (const auto& [stage, worst] : worstOf)
        std::printf("  worst %.2f ms (CPU %.2f ms) while %s\n", worst.first, worst.second, stage.c_str());
    const auto cpuWorst = std::max_element(all.begin(), all.end(), [](const Delivery& a, const Delivery& b) {
        return a.cpuMs < b.cpuMs;
    });
    std::printf("most CPU in one handler: %.2f ms: %s\n", cpuWorst->cpuMs, cpuWorst->what.c_str());
    std::vector<Delivery> handling;
    std::copy_if(all.begin(), all.end(), std::back_inserter(handling),
                 [](const Delivery& d) { return d.stage != kChunkStage && d.stage != kUnannouncedStage; });
    const double handlingP99 = handling.empty() ? 0 : handling[handling.size() / 100].ms;
    std::printf("worst handler %.4f s p99 %.4f s: %s\n", all[0].ms / 1000, p99 / 1000, all[0].what.c_str());
    if (!handling.empty())
        std::printf("worst user handler %.4f s p99 %.4f s: %s\n", handling[0].ms / 1000, handlingP99 / 1000,
                    handling[0].what.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s HOME [DAYS]\n", argv[0]);
        return 2;
    }
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string home = fs::path(argv[1]).string() + "/";
    const int days = argc > 2 ? std::max(1, std::atoi(argv[2])) : 7;
    TimedApplication app(argc, argv);
    return Run(app, home, days);
}
