// The window side of wavkeep-gui:
//   wavkeep-gui [--home DIR] [--input INPUT] [FILE.des]
//       the window, hosting the recorder of the home (as "wavkeep run")
//   wavkeep-gui --screenshot OUTDIR [--home DIR]
//       PNGs of the window with each view; without --home on a demo home
//       made for the purpose (generator recording and its descriptions)

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QPointer>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <sstream>

#include "app/Application.h"
#include "app/DemoCommand.h"
#include "core/Clock.h"
#include "core/ProgramHome.h"
#include "core/Trace.h"
#include "descriptions/DescriptionStore.h"
#include "scheduler/Scheduler.h"
#include "service/Seed.h"
#include "streamstore/StreamInfo.h"
#include "ui/GuiOptions.h"
#include "streamstore/StreamNameFile.h"
#include "scheduler/TaskKinds.h"
#include "ui/shell/DescriptionView.h"
#include "ui/shell/MainWindow.h"
#include "ui/shell/QtEventLoop.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/ScheduleView.h"
#include "ui/shell/ShellInstance.h"
#include "ui/shell/ShellMain.h"
#include "ui/shell/StreamView.h"
#include "ui/shell/dialogs/EditDialogShots.h"
#include "ui/shell/dialogs/SettingsDialogShots.h"
#include "ui/shell/dialogs/SetupDialogShots.h"
#include "ui/shell/dialogs/SetupWizard.h"
#include "ui/shell/dialogs/SkinChooser.h"
#include "platform/PlaybackDevice.h"

namespace {

using namespace wk;

// Two tasks so that the schedule shows its columns: one running now on the
// demo stream, one to come tomorrow.
void AddSampleTasks(Scheduler& scheduler, const std::string& stream) {
    const DateTime now = GetClock().Now();
    OnceTask running;
    running.SetStreamName(stream);
    running.SetDescription("evening show");
    running.SetStart(DateTime::FromStreamTime(now.ToStreamTime() - 20 * kMsPerMinute));
    running.SetEnd(DateTime::FromStreamTime(now.ToStreamTime() + 40 * kMsPerMinute));
    OnceTask later;
    later.SetStreamName(stream);
    later.SetDescription("morning charts");
    later.SetStart(DateTime::FromStreamTime(now.ToStreamTime() + 20 * 60 * kMsPerMinute));
    later.SetEnd(DateTime::FromStreamTime(now.ToStreamTime() + 22 * 60 * kMsPerMinute));
    DailyTask daily;
    daily.SetStreamName(stream);
    daily.SetDescription("news hour");
    daily.SetStart(DateTime(now.year, now.month, now.day, 18, 0, 0));
    daily.SetEnd(DateTime(now.year, now.month, now.day, 19, 0, 0));
    daily.Advance(now);
    scheduler.Update([&](Scheduler& s) {
        s.insertTask(running);
        s.insertTask(later);
        s.insertTask(daily);
        return true;
    });
}

// The demo exports its songs and keeps no descriptions; the screenshots want
// some, so the generator's own track list goes into desc.des, placed on the
// recording (as a user marking by hand would place them).
void AddDemoDescriptions(const std::string& stream, int minutes) {
    StreamInfo info;
    info.folder = StreamNameFile::StreamRoot() + stream + "/";
    UpdateStreamInfo(info);
    if (info.sessions.empty()) return;
    SeedOptions seed;
    seed.stream = stream;
    seed.seed = 1;
    seed.start = info.sessions.front().start;
    seed.seconds = minutes * 60LL;
    seed.offsetErrorMs = 0;
    const std::vector<Description> records = SeedDescriptions(seed);
    DescriptionStore store(info.folder, "desc");
    store.Update([&](DescriptionStore& s) {
        if (s.Size() > 0) return false;
        // The last song stays undescribed: the one to mark by hand.
        for (size_t i = 0; i + 1 < records.size(); ++i) s.Add(records[i]);
        s.header[1] = "demo recording of the generator";
        return true;
    });
}

// The stream view as a user sees it at work: the second song selected
// (with the cursor in it), or a new song being marked after the last
// described one, its start set and the cursor half-way to the end.
void ShowMarks(ui::StreamView& view, bool selected) {
    if (!view.Data() || !view.Marking()) return;
    std::vector<Description> songs;
    for (const auto& d : view.Data()->Descriptions().Records()) songs.push_back(*d);
    std::sort(songs.begin(), songs.end(), [](const Description& a, const Description& b) { return a.start < b.start; });
    if (songs.size() < 2) return;
    const Description& second = songs[1];
    if (selected) {
        view.DoubleClickAt((second.start + second.end) / 2);
        view.SetCursor(second.start + (second.end - second.start) / 3);
        return;
    }
    view.DoubleClickAt(-1);  // clears the selection
    // The stretch after the last described song, where the next one waits.
    const StreamTime from = songs.back().end + 2 * kMsPerSecond;
    const StreamTime to = view.Line().ExtentEnd();
    if (to - from < 20 * kMsPerSecond) return;
    view.SetCursor(from);
    view.HandleCommand(ui::kCmdSetTrackStart);
    view.SetCursor(from + (to - from) / 2);
}

int Screenshots(const QString& outDir, const QString& home) {
    std::string homeDir = home.toStdString();
    const bool demo = homeDir.empty();
    if (demo) {
        homeDir = MakeDemoHome();
        if (homeDir.empty()) {
            std::cerr << "wavkeep-gui: no temporary home could be made\n";
            return 1;
        }
    }
    SetProgramHome(homeDir);
    std::string why;
    if (!PrepareProgramHome(&why)) {
        std::cerr << "wavkeep-gui: " << why << '\n';
        return 1;
    }
    if (demo) {
        DemoOptions options;
        options.minutes = 12;
        std::ostringstream out, err;
        if (RunDemo(options, out, err) != 0) {
            std::cerr << "wavkeep-gui: the demo failed:\n" << err.str();
            return 1;
        }
    }
    if (!QDir().mkpath(outDir)) {
        std::cerr << "wavkeep-gui: cannot make " << outDir.toStdString() << '\n';
        return 1;
    }
    EventLoop loop;
    Scheduler scheduler;
    scheduler.load();
    ui::QtUserPrompt prompt;
    ui::MainWindow window(scheduler, loop, prompt);
    std::string none;
    auto* streamView = new ui::StreamView(loop, prompt, CreatePlaybackDevice("null", &none));
    window.SetStreamViewPane(streamView);
    if (demo) {
        AddSampleTasks(scheduler, window.ActiveStream());
        AddDemoDescriptions(window.ActiveStream(), 12);
        window.SetActiveStream(window.ActiveStream());
    }
    ui::ApplyConfiguredSkin();
    window.show();
    struct Shot {
        wk::ui::View view;
        const char* file;
    };
    for (const Shot& shot : {Shot{ui::View::Stream, "stream.png"}, Shot{ui::View::Stream, "stream-marking.png"},
                             Shot{ui::View::Description, "descriptions.png"},
                             Shot{ui::View::Schedule, "schedule.png"}}) {
        window.ShowView(shot.view);
        if (shot.view == ui::View::Stream) {
            QApplication::processEvents();  // the view gets its size
            streamView->FinishReading();
            ShowMarks(*streamView, std::strcmp(shot.file, "stream.png") == 0);
        }
        if (shot.view == ui::View::Description) window.Descriptions()->FinishReading();
        if (shot.view == ui::View::Description && window.Descriptions()->Table()->model()->rowCount() > 1)
            window.Descriptions()->Table()->selectRow(1);
        if (shot.view == ui::View::Schedule && window.Schedule()->List()->topLevelItemCount() > 0)
            window.Schedule()->List()->topLevelItem(0)->setSelected(true);
        QApplication::processEvents();
        window.statusBar()->clearMessage();
        const QString path = QDir(outDir).filePath(QString::fromLatin1(shot.file));
        if (!window.grab().save(path)) {
            std::cerr << "wavkeep-gui: cannot write " << path.toStdString() << '\n';
            return 1;
        }
        std::cout << path.toStdString() << '\n';
    }
    if (!ui::WriteEditDialogShots(outDir, window)) return 1;
    if (!ui::WriteSettingsDialogShots(outDir, &window)) return 1;
    if (!ui::WriteSetupDialogShots(outDir, window)) return 1;
    if (demo) std::cout << "demo home: " << homeDir << '\n';
    return 0;
}

}  // namespace

namespace {

// The sound card the stream view plays on ("alsa": the stored playback
// device); a device that plays nothing when that cannot even be named.
std::unique_ptr<wk::PlaybackDevice> SoundOutput() {
    std::string why;
    if (auto device = wk::CreatePlaybackDevice("alsa", &why)) return device;
    wk::Trace(wk::kTraceError, "stream view: no sound output (%s); playback is silent", why.c_str());
    return wk::CreatePlaybackDevice("null", &why);
}

bool Given(int argc, char** argv, std::initializer_list<const char*> names) {
    for (int i = 1; i < argc; ++i)
        for (const char* name : names)
            if (std::strcmp(argv[i], name) == 0) return true;
    return false;
}

// Help needs no display; the screenshots are drawn offscreen whatever the
// environment names. Without a display the window cannot open: say so
// rather than let Qt abort.
int PrepareQtPlatform(int argc, char** argv) {
    if (Given(argc, argv, {"-h", "--help", "-?", "--help-all", "-v", "--version"})) return 0;
    if (Given(argc, argv, {"--screenshot"})) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return 0;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::cerr << "wavkeep-gui: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are unset); "
                     "\"wavkeep run\" records without one\n";
        return 1;
    }
    return 0;
}

}  // namespace

int wk::ui::RunShell(int argc, char** argv) {
    if (const int code = PrepareQtPlatform(argc, argv); code != 0) return code;
    if (Given(argc, argv, {"-h", "--help", "-?", "--help-all", "-v", "--version"}))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication qapp(argc, argv);
    QApplication::setApplicationName(QStringLiteral("wavkeep"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(wk::ui::kGuiDescription));
    parser.addHelpOption();
    for (const wk::ui::GuiOption& o : wk::ui::kGuiOptions)
        parser.addOption(QCommandLineOption(QString::fromUtf8(o.name), QString::fromUtf8(o.help),
                                            QString::fromUtf8(o.valueName)));
    parser.addPositionalArgument(QString::fromUtf8(wk::ui::kGuiFileArgument), QString::fromUtf8(wk::ui::kGuiFileHelp));
    const QString homeOption = QStringLiteral("home");
    const QString inputOption = QStringLiteral("input");
    const QString shotOption = QStringLiteral("screenshot");
    parser.process(qapp);

    if (!wk::HomeOptionUsable(parser.isSet(homeOption), parser.value(homeOption).toStdString(), "wavkeep-gui",
                              std::cerr))
        return 2;
    if (parser.isSet(shotOption)) return Screenshots(parser.value(shotOption), parser.value(homeOption));

    if (parser.isSet(homeOption)) wk::SetProgramHome(parser.value(homeOption).toStdString());
    std::string why;
    if (!wk::PrepareProgramHome(&why)) {
        std::cerr << "wavkeep-gui: " << why << '\n';
        return 1;
    }
    const QStringList files = parser.positionalArguments();
    const std::string description = files.isEmpty() ? std::string() : files.front().toStdString();

    wk::ui::QtUserPrompt prompt;
    wk::SetUserPrompt(&prompt);
    const wk::ui::ShellInstanceDecision decision = wk::ui::DecideShellInstance(description, prompt);
    if (!decision.proceed) {
        wk::SetUserPrompt(nullptr);
        return decision.exitCode;
    }

    QPointer<wk::ui::MainWindow> shown;
    wk::ApplicationOptions options;
    options.input = parser.value(inputOption).toStdString();
    options.descriptionFile = description;
    options.lockCommand = "gui";
    options.onRaise = [&shown] {
        QMetaObject::invokeMethod(qApp, [&shown] {
            if (shown) shown->RestoreFromTray();
        }, Qt::QueuedConnection);
    };
    int code = 0;
    {
        wk::Application app(options);
        wk::ui::QtEventLoop driver(app.Loop());
        // A stop (SIGTERM, "wavkeep stop") while a start-up message waits for
        // an answer closes the message, so the start can end.
        QObject::connect(&driver, &wk::ui::QtEventLoop::quitRequested, &qapp, [] {
            if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        });
        code = app.Start();
        if (code == 0 && app.StopRequested()) code = 1;
        if (code == 0) {
            wk::ui::MainWindow window(app.GetScheduler(), app.Loop(), prompt, &app);
            prompt.SetParent(&window);
            window.SetStreamViewPane(new wk::ui::StreamView(app.Loop(), prompt, SoundOutput(), &app));
            shown = &window;
            wk::ui::ApplyConfiguredSkin();
            QObject::connect(&driver, &wk::ui::QtEventLoop::quitRequested, &window, &QWidget::close);
            QObject::connect(&window, &wk::ui::MainWindow::closed, &qapp, &QCoreApplication::quit);
            qapp.setQuitOnLastWindowClosed(false);
            window.show();
            // No account yet (or the wizard never finished): the set-up wizard.
            if (wk::ui::SetupWizardDue())
                QTimer::singleShot(0, &window, [&window] { window.Dispatch(*wk::ui::FindByCommand(wk::ui::kCmdWizard)); });
            QApplication::exec();
            prompt.SetParent(nullptr);
            shown = nullptr;
        }
    }
    wk::SetUserPrompt(nullptr);
    return code;
}
