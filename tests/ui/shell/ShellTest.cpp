// The desktop shell offscreen: the command table reaches its performers by
// button and by key, the schedule and description views change the real
// files, the prompt's boxes, the Qt-hosted loop, and a session in the
// stream view from recording to exported songs.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QStatusBar>
#include <QTableView>
#include <QTreeWidget>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <filesystem>
#include <sstream>
#include <thread>

#include "app/ExportCommand.h"
#include "app/RecordCommand.h"
#include "platform/PlaybackDevice.h"
#include "service/ServiceStore.h"
#include "ui/shell/StreamView.h"

#include "core/Clock.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/EventLoop.h"
#include "descriptions/DescriptionStore.h"
#include "export/ExportTrack.h"
#include "platform/HttpClientCurl.h"
#include "server/RequestManager.h"
#include "scheduler/Scheduler.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"
#include "app/ServiceProcess.h"
#include "server/Credentials.h"
#include "ui/shell/DescriptionView.h"
#include "ui/shell/ExportProgressWindow.h"
#include "ui/shell/HttpStatusWindow.h"
#include "ui/shell/MainWindow.h"
#include "ui/shell/QtEventLoop.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/ScheduleView.h"

namespace wk::ui {
namespace {

using test::ReadFile;

// The Qt key and modifiers a person presses for a table key.
std::pair<Qt::Key, Qt::KeyboardModifiers> QtKeyOf(const KeySpec& k) {
    Qt::KeyboardModifiers mods;
    if (k.modifiers & kModCtrl) mods |= Qt::ControlModifier;
    if (k.modifiers & kModAlt) mods |= Qt::AltModifier;
    if (k.modifiers & kModShift) mods |= Qt::ShiftModifier;
    if (k.kind == KeyKind::Keypad) mods |= Qt::KeypadModifier;
    const std::string name(k.name);
    if (name.size() == 1 && name[0] >= 'A' && name[0] <= 'Z') return {Qt::Key(Qt::Key_A + (name[0] - 'A')), mods};
    if (name == "F10") return {Qt::Key_F10, mods};
    if (name == "Insert") return {Qt::Key_Insert, mods};
    if (name == "Enter") return {Qt::Key_Return, mods};
    if (name == "Delete") return {Qt::Key_Delete, mods};
    return {Qt::Key(name[0]), mods};  // "+", "-", "5", "*", "/"
}

class ShellTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        StreamNameFile streams;
        StreamRecord one;
        one.name = "One";
        one.active = 1;
        streams.AddCopy(one);
        streams.CreateFolders();
        ASSERT_TRUE(streams.save());
    }
    std::string StreamFolder() const { return StreamNameFile::StreamRoot() + "One/"; }
};

TEST_F(ShellTest, EveryButtonAndKeyReachesThePerformerTheTableNames) {
    EventLoop loop;
    Scheduler scheduler;
    QtUserPrompt prompt;
    MainWindow window(scheduler, loop, prompt);
    window.SetPerforming(false);
    window.show();
    for (View view : {View::Stream, View::Description, View::Schedule}) {
        window.ShowView(view);
        for (const CommandEntry& e : Commands()) {
            const std::optional<Performer> expected = Route(e, view);
            for (int id : e.buttons) {
                if (id == 0 || id == 1006) continue;  // the channel combo is no button
                QAction* action = window.ActionForButton(id);
                ASSERT_NE(action, nullptr) << id;
                EXPECT_EQ(action->toolTip().toStdString().find(std::string(e.tooltip)), 0u) << id;
                window.SetPerforming(false);
                action->trigger();
                EXPECT_EQ(window.LastOutcome().command, e.command) << "button " << id;
                EXPECT_EQ(window.LastOutcome().performer, expected) << "button " << id;
            }
            if (e.key.kind == KeyKind::None) continue;
            const auto [key, mods] = QtKeyOf(e.key);
            window.ShowView(view);
            const_cast<MainWindow::Outcome&>(window.LastOutcome()) = {};
            QTest::keyClick(&window, key, mods);
            EXPECT_EQ(window.LastOutcome().command, e.command) << KeyText(e.key) << " in view " << int(view);
            EXPECT_EQ(window.LastOutcome().performer, expected) << KeyText(e.key);
        }
    }
    // The typed "/" splits; the keypad "/" zooms to a day.
    window.ShowView(View::Stream);
    QTest::keyClick(&window, Qt::Key_Slash, Qt::KeypadModifier);
    EXPECT_EQ(window.LastOutcome().command, kCmdZoom1Day);
    QTest::keyClick(&window, Qt::Key_Slash);
    EXPECT_EQ(window.LastOutcome().command, kCmdSplitTrack);
}

TEST_F(ShellTest, EveryFormOpensAndWrongViewsSaySoInTheStatusBar) {
    EventLoop loop;
    Scheduler scheduler;
    QtUserPrompt prompt;
    MainWindow window(scheduler, loop, prompt);
    window.ShowView(View::Schedule);
    // Every settings form opens (and is cancelled here: nothing changes).
    std::vector<std::string> forms;
    prompt.SetDialogResponder([&](QDialog& form) {
        forms.push_back(form.windowTitle().toStdString());
        return false;
    });
    struct Case { int command; bool performed; const char* says; const char* form; };
    for (const Case& c : {Case{kCmdOptions, false, "", "Options"},
                          Case{kCmdSoundSettings, false, "", "Sound settings"},
                          Case{kCmdEditChannels, false, "", "Channels"},
                          Case{kCmdWizard, false, "", "wavkeep set-up wizard"},
                          Case{kCmdZoomIn, false, "works in the stream view", nullptr},
                          Case{kCmdStreamView, true, "", nullptr}}) {
        forms.clear();
        window.statusBar()->clearMessage();
        window.Dispatch(*FindByCommand(c.command));
        EXPECT_EQ(window.LastOutcome().performed, c.performed) << c.command;
        const std::string said = window.statusBar()->currentMessage().toStdString();
        if (*c.says) {
            EXPECT_NE(said.find(c.says), std::string::npos) << said;
        } else {
            EXPECT_EQ(said.find("not part of this version"), std::string::npos) << said;
        }
        EXPECT_EQ(forms, c.form ? std::vector<std::string>{c.form} : std::vector<std::string>{}) << c.command;
    }
    EXPECT_EQ(window.ActiveView(), View::Stream);

    // "state on/off" flips the stream's flag in the list; the button shows it.
    window.SetActiveStream("One");
    QAction* onOff = window.ActionForButton(1050);
    for (int active : {0, 1}) {
        onOff->trigger();
        StreamNameFile streams;
        streams.load();
        EXPECT_EQ(streams.Find("One")->active, active);
        EXPECT_EQ(onOff->isChecked(), active == 1);
        EXPECT_NE(window.statusBar()->currentMessage().toStdString().find(active ? "is on" : "is off"),
                  std::string::npos);
    }
}

// Ctrl+U against the service on loopback: the window stays free while the
// upload runs (a second Ctrl+U starts nothing), the status window follows it
// and the outcome comes as a message box.
TEST_F(ShellTest, UploadRunsBesideTheWindowAndEndsInAMessageBox) {
    test::TempDir data;
    test::ServiceProcess service;
    ASSERT_TRUE(service.Start(data.Path()));
    ConfigStore config;
    config.Load();
    for (const char* key : {"TimeCheckURL", "UploadURL"})
        config.SetString(key, service.Root() + "/html/playlists/upload.php3");
    ASSERT_TRUE(config.Save());
    test::WriteFile(StreamFolder() + "desc.des", "# 0.9\r\n# \r\n# \r\n07/11/2003  17:42:11.005\t"
                                                 "07/11/2003  17:45:40.000\tArtist\tTitle\t\t\t\t17\t\t0\r\n");
    test::WriteFile(data.File("accounts.txt"), "ann\tright\n");
    CHTTPRequestManager requests;
    CHTTPRequestManager::Install(&requests);
    struct Restore {
        ~Restore() { CHTTPRequestManager::Install(nullptr); }
    } restore;

    EventLoop loop;
    QtEventLoop driver(loop);
    Scheduler scheduler;
    QtUserPrompt prompt;
    std::vector<std::string> boxes;
    prompt.SetResponder([&](QMessageBox& box) {
        boxes.push_back(box.text().toStdString());
        return box.buttons().front();
    });
    MainWindow window(scheduler, loop, prompt);
    window.SetActiveStream("One");
    window.show();
    std::vector<std::string> statuses;
    QObject::connect(window.HttpStatus(), &HttpStatusWindow::statusShown,
                     [&](int, const QString& t, bool) { statuses.push_back(t.toStdString()); });
    struct Case { const char* password; const char* box; bool sent; };
    // The refused login comes last: the service then holds off that address for a while.
    for (const Case& c : {Case{nullptr, "No account is stored", false},
                          Case{"right", "File is successfully uploaded", true},
                          Case{"wrong", "File upload failed - ERROR: wrong login or password", true}}) {
        std::string why;
        if (c.password) {
            ASSERT_TRUE(WriteCredentials({"ann", c.password, "x"}, &why)) << why;
        }
        boxes.clear();
        statuses.clear();
        QTest::keyClick(&window, Qt::Key_U, Qt::ControlModifier);
        QTest::keyClick(&window, Qt::Key_U, Qt::ControlModifier);
        EXPECT_FALSE(window.LastOutcome().performed) << c.box;
        EXPECT_EQ(window.statusBar()->currentMessage().toStdString(), "An upload is still running.");
        QTRY_COMPARE_WITH_TIMEOUT(boxes.size(), size_t{1}, 20000);
        EXPECT_EQ(boxes[0].rfind(c.box, 0), 0u) << boxes[0];
        QCoreApplication::processEvents();
        EXPECT_EQ(std::count(statuses.begin(), statuses.end(), "Uploading description file..."), c.sent ? 1 : 0)
            << c.box;
    }
    const auto uploads = ServiceStore(data.Path()).Uploads("One");
    ASSERT_TRUE(uploads);
    EXPECT_EQ(uploads->size(), 1u);
}

TEST_F(ShellTest, ScheduleViewCreatesModifiesAndDeletesInScheduleTxt) {
    Scheduler scheduler;
    QtUserPrompt prompt;
    std::vector<std::string> asked;
    int answer = kIdNo;
    prompt.SetResponder([&](QMessageBox& box) -> QAbstractButton* {
        asked.push_back(box.windowTitle().toStdString() + "|" + box.text().toStdString());
        for (QAbstractButton* b : box.buttons())
            if (QtUserPrompt::AnswerOf(b) == answer) return b;
        return nullptr;
    });
    ScheduleView view(scheduler, prompt);
    const DateTime now = GetClock().Now();
    TaskDraft draft;
    draft.stream = "One";
    draft.description = "late show";
    draft.start = DateTime::FromStreamTime(now.ToStreamTime() + kMsPerMinute * 60);
    draft.end = DateTime::FromStreamTime(now.ToStreamTime() + kMsPerMinute * 120);

    struct Bad { const char* what; TaskDraft draft; };
    TaskDraft reversed = draft;
    std::swap(reversed.start, reversed.end);
    TaskDraft past = draft;
    past.start = DateTime::FromStreamTime(now.ToStreamTime() - kMsPerMinute * 120);
    past.end = DateTime::FromStreamTime(now.ToStreamTime() - kMsPerMinute * 60);
    TaskDraft tab = draft;
    tab.description = "a\tb";
    for (const Bad& b : {Bad{"reversed", reversed}, Bad{"past", past}, Bad{"tab", tab}}) {
        std::string why;
        EXPECT_FALSE(view.CreateFromDraft(b.draft, &why)) << b.what;
        EXPECT_FALSE(why.empty()) << b.what;
    }
    ASSERT_EQ(view.Rows().size(), 0u);

    std::string why;
    ASSERT_TRUE(view.CreateFromDraft(draft, &why)) << why;
    ASSERT_EQ(view.Rows().size(), 1u);
    EXPECT_NE(ReadFile(scheduler.FileName()).find("late show"), std::string::npos);

    draft.description = "later show";
    ASSERT_TRUE(view.ModifyFromDraft(view.Rows()[0].task, draft, &why)) << why;
    const std::string file = ReadFile(scheduler.FileName());
    EXPECT_NE(file.find("later show"), std::string::npos);
    EXPECT_EQ(file.find("late show"), std::string::npos);

    view.List()->topLevelItem(0)->setSelected(true);
    EXPECT_FALSE(view.DeleteSelected());  // answered No
    EXPECT_EQ(view.Rows().size(), 1u);
    answer = kIdYes;
    view.List()->topLevelItem(0)->setSelected(true);
    EXPECT_TRUE(view.DeleteSelected());
    EXPECT_EQ(view.Rows().size(), 0u);
    EXPECT_EQ(ReadFile(scheduler.FileName()).find("later show"), std::string::npos);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0], std::string(kDeleteScheduleCaption) + "|" + kDeleteScheduleQuestion);
}

TEST_F(ShellTest, DescriptionViewEditsGenreAndHeadersUnderTheFileLock) {
    DescriptionStore store(StreamFolder(), "desc");
    Description later, earlier;
    later.artist = "B";
    later.title = "second";
    later.start = DateTime(2003, 11, 7, 18, 0, 0).ToStreamTime();
    later.end = later.start + 180000;
    earlier = later;
    earlier.artist = "A";
    earlier.title = "first";
    earlier.start -= 600000;
    earlier.end -= 600000;
    store.Add(later);
    store.Add(earlier);
    ASSERT_TRUE(store.Save());

    DescriptionView view;
    view.SetStream("One");
    view.FinishReading();
    ASSERT_EQ(view.Table()->model()->rowCount(), 2);
    EXPECT_EQ(view.CellText(0, kColArtist), "A");  // by start
    EXPECT_EQ(view.CellText(0, kColCoverage), DescriptionView::CoverageText(kCoverageMissing));

    ASSERT_TRUE(view.SetGenre(0, 17));
    EXPECT_EQ(view.CellText(0, kColGenre).toStdString(), "Rock");  // before the read
    view.FinishReading();
    DescriptionStore reread(StreamFolder(), "desc");
    reread.Load();
    for (const auto& r : reread.Records()) EXPECT_EQ(r->genre, r->artist == "A" ? 17 : -1);
    EXPECT_EQ(view.CellText(0, kColGenre).toStdString(), "Rock");

    // Someone else removes the record the view still shows: nothing is
    // written over their change.
    reread.RemoveByTitle("second");
    ASSERT_TRUE(reread.Save());
    std::string why;
    EXPECT_FALSE(view.SetGenre(1, 3, &why));
    EXPECT_FALSE(why.empty());
    view.FinishReading();
    EXPECT_EQ(view.Table()->model()->rowCount(), 1);

    // A note being typed is not replaced by a read taken in meanwhile.
    auto* note = view.findChild<QLineEdit*>("playlistNote");
    ASSERT_NE(note, nullptr);
    note->setText("typing");
    note->setModified(true);
    view.Reload();
    view.FinishReading();
    EXPECT_EQ(note->text(), "typing");

    ASSERT_TRUE(view.SetHeaders("note\nwith break", "staff"));
    reread.Load();
    EXPECT_EQ(reread.header[1], "note with break");
    EXPECT_EQ(reread.header[2], "staff");
    EXPECT_EQ(reread.Size(), 1u);
}

TEST_F(ShellTest, PromptBoxesCarryTheirButtonsAndWorkersNeverGetOne) {
    struct Case { int style; std::vector<int> answers; int escape; };
    for (const Case& c : {Case{kMbOk, {kIdOk}, kIdOk}, Case{kMbYesNo | kMbIconQuestion, {kIdYes, kIdNo}, kIdNo},
                          Case{kMbOkCancel, {kIdOk, kIdCancel}, kIdCancel}}) {
        auto box = QtUserPrompt::MakeBox("text", "", c.style, nullptr);
        std::vector<int> answers;
        for (QAbstractButton* b : box->buttons()) answers.push_back(QtUserPrompt::AnswerOf(b));
        std::sort(answers.begin(), answers.end());
        EXPECT_EQ(answers, c.answers) << c.style;
        EXPECT_EQ(QtUserPrompt::AnswerOf(box->escapeButton()), c.escape) << c.style;
        EXPECT_EQ(box->windowTitle(), "wavkeep");
    }
    QtUserPrompt prompt;
    int fromWorker = 0;
    std::thread([&] { fromWorker = prompt.Show("asked by a worker", kMbYesNo); }).join();
    EXPECT_EQ(fromWorker, kIdNo);
    EXPECT_NE(ReadFile(EventLog::Instance().FilePath()).find("asked by a worker"), std::string::npos);
}

// The request manager's reports from its connect thread reach the status
// window: the attempt without a Close button, the failure with one.
TEST_F(ShellTest, HttpStatusWindowShowsTheRequestManagersReports) {
    CHTTPRequestManager requests;
    CHTTPRequestManager::Install(&requests);
    struct Restore {
        ~Restore() { CHTTPRequestManager::Install(nullptr); }
    } restore;
    requests.SetClientFactory([](const HttpSettings&) {
        HttpSettings fast;
        fast.connectRetries = 0;
        fast.totalTimeoutMs = 3000;
        return std::unique_ptr<HttpClient>(std::make_unique<HttpClientCurl>(fast));
    });
    requests.SetTimeCheckRequest("ann", "pw");
    requests.SetTimeCheckUrl("http://127.0.0.1:1/x");  // nobody listening
    EventLoop loop;
    Scheduler scheduler;
    QtUserPrompt prompt;
    MainWindow window(scheduler, loop, prompt);
    HttpStatusWindow* status = window.HttpStatus();
    std::vector<std::pair<std::string, bool>> seen;
    QObject::connect(status, &HttpStatusWindow::statusShown,
                     [&](int, const QString& t, bool closable) { seen.emplace_back(t.toStdString(), closable); });
    CConnectThread::Instance().StartTimeCheck();
    ASSERT_TRUE(CConnectThread::Instance().WaitIdle(10000));
    QTRY_COMPARE(seen.size(), size_t{2});
    const std::string failed = "Unable to make HTTP connection. Try again.";
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, bool>>{{"Time checking...", false}, {failed, true}}));
    EXPECT_TRUE(status->isVisible() && status->CloseOffered());
    EXPECT_EQ(window.statusBar()->currentMessage().toStdString(), failed);
    QTest::mouseClick(status->findChild<QPushButton*>(), Qt::LeftButton);
    EXPECT_FALSE(status->isVisible());
}

TEST_F(ShellTest, QtHostedLoopRunsPostsFromWorkersAndTimersOnItsClock) {
    ManualClock clock;
    SetClock(&clock);
    struct Counter : MessageReceiver {
        int seen = 0;
        void HandleMessage(Message&) override { ++seen; }
    } counter;
    {
        EventLoop loop;
        ReceiverSlot slot(loop, &counter);
        QtEventLoop driver(loop);
        int fired = 0;
        loop.SetTimer(1000, false, [&] { ++fired; });
        std::thread([&] { loop.Post(slot.Id(), 1); }).join();
        QTRY_COMPARE_WITH_TIMEOUT(counter.seen, 1, 5000);
        QCoreApplication::processEvents();
        EXPECT_EQ(fired, 0);
        clock.Advance(1000);
        QTRY_COMPARE_WITH_TIMEOUT(fired, 1, 5000);
        bool quit = false;
        QObject::connect(&driver, &QtEventLoop::quitRequested, [&] { quit = true; });
        loop.Quit();
        QTRY_VERIFY_WITH_TIMEOUT(quit, 5000);
    }
    SetClock(nullptr);
}


// A user's session on a recorded generator stream, driven through the
// view's mouse and commands: what the view shows is what desc.des holds,
// and "create mp3's" makes the songs with the tags entered.
TEST_F(ShellTest, StreamViewSessionMarksSplitsDeletesAndExportsSongs) {
    ConfigStore config;
    config.Load();
    config.SetString("Encoder", "Lame encoder");  // MP3 chunks: songs with ID3 tags
    ASSERT_TRUE(config.Save());
    std::ostringstream out, err;
    RecordOptions record;
    record.seconds = 240;
    record.stream = "One";
    record.input = "generator:3:fast";
    ASSERT_EQ(RunRecord(record, out, err), 0) << err.str();

    QtUserPrompt prompt;
    int songsNamed = 0;
    prompt.SetDialogResponder([&](QDialog& form) {
        ++songsNamed;
        form.findChild<QLineEdit*>("artist")->setText(QString("Artist %1").arg(songsNamed));
        form.findChild<QLineEdit*>("title")->setText(QString("Song %1").arg(songsNamed));
        return true;
    });
    std::vector<std::string> asked;
    prompt.SetResponder([&](QMessageBox& box) -> QAbstractButton* {
        asked.push_back(box.text().toStdString());
        for (QAbstractButton* b : box.buttons())
            if (QtUserPrompt::AnswerOf(b) == kIdYes) return b;
        return nullptr;
    });

    EventLoop loop;
    QtEventLoop driver(loop);
    std::string why;
    StreamView view(loop, prompt, CreatePlaybackDevice("file:" + HomeFile("heard.wav"), &why));
    view.resize(1044, 300);
    view.show();
    view.SetStream("One");
    view.FinishReading();
    const TimeLine& line = view.Line();
    const StreamTime t0 = line.ExtentStart();
    ASSERT_GE(line.ExtentEnd() - t0, 239 * kMsPerSecond);
    const int y = StreamView::kInfoHeight + 100;
    const auto at = [&](int seconds) { return t0 + seconds * kMsPerSecond; };

    // Zoom and scroll: a click puts the cursor, zooming keeps it in view.
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(line.TimeToX(at(120)), y));
    EXPECT_NEAR(double(line.CursorTime() - at(120)), 0, 300);
    for (int id : {kCmdZoomIn, kCmdZoomIn}) ASSERT_TRUE(view.HandleCommand(id));
    EXPECT_NEAR(double(line.VisibleEnd() - line.VisibleStart()), 60000, 1000);
    const StreamTime before = line.VisibleStart();
    QTest::mouseClick(&view, Qt::LeftButton, {}, QPoint(view.width() - 5, y));  // the right arrow
    EXPECT_NEAR(double(line.VisibleStart() - before), 15000, 1000);
    ASSERT_TRUE(view.HandleCommand(kCmdZoom1Hour));
    EXPECT_EQ(line.VisibleStart(), t0);

    // Play from 3:40 across chunk ends to the end; the cursor follows.
    VirtualClock clock(GetClock().Now());
    SetClock(&clock);
    view.SetCursor(at(220));
    ASSERT_TRUE(view.HandleCommand(kCmdPlay));
    QTRY_VERIFY_WITH_TIMEOUT(!view.Playback().IsPlaying(), 20000);
    SetClock(nullptr);
    EXPECT_GE(line.CursorTime(), at(239));
    EXPECT_NEAR(double(std::filesystem::file_size(HomeFile("heard.wav"))), 20.0 * 44100 * 4, 44100 * 4);

    // Two songs marked, the second split, the first deleted.
    for (auto [from, to] : {std::pair{10, 70}, std::pair{80, 200}}) {
        view.SetCursor(at(from));
        ASSERT_TRUE(view.HandleCommand(kCmdSetTrackStart));
        view.SetCursor(at(to));
        ASSERT_TRUE(view.HandleCommand(kCmdSetTrackEnd));
    }
    view.SetCursor(at(140));
    ASSERT_TRUE(view.HandleCommand(kCmdSplitTrack));
    QTest::mouseDClick(&view, Qt::LeftButton, {}, QPoint(line.TimeToX(at(40)), y));
    ASSERT_EQ(view.Marking()->Mode(), MarkingMode::Selected);
    ASSERT_TRUE(view.HandleCommand(kCmdDeleteTrack));
    EXPECT_EQ(asked, std::vector<std::string>{kDeleteTrackQuestion});

    DescriptionStore file(StreamFolder(), "desc");
    file.Load();
    std::vector<std::string> stored, shown;
    for (const auto& d : file.Records())
        stored.push_back(d->artist + " - " + d->title + " " + std::to_string((d->start - t0) / 1000) + "-" +
                         std::to_string((d->end - t0) / 1000));
    for (const TimeLineBar& b : view.Data()->Scene().bars)
        shown.push_back(b.label + " " + std::to_string((b.start - t0) / 1000) + "-" + std::to_string((b.end - t0) / 1000));
    std::sort(stored.begin(), stored.end());
    EXPECT_EQ(stored, (std::vector<std::string>{"Artist 2 - Song 2 80-140", "Artist 3 - Song 3 140-200"}));
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, stored);

    // "create mp3's" from the window: the progress window follows the export
    // and goes, the outcome stays in the status bar, each song is a file of
    // its length with its tags.
    Scheduler scheduler;
    MainWindow window(scheduler, loop, prompt);
    window.SetActiveStream("One");
    ASSERT_TRUE(window.Dispatch(*FindByCommand(kCmdCreateMp3s)));
    ExportProgressWindow* progress = window.ExportWindow();
    ASSERT_TRUE(progress && progress->isVisible());
    int furthest = 0;
    QObject::connect(progress->findChild<QProgressBar*>(), &QProgressBar::valueChanged,
                     [&](int v) { furthest = std::max(furthest, v); });
    QTRY_VERIFY_WITH_TIMEOUT(!progress->isVisible(), 20000);
    EXPECT_GT(furthest, 0);
    EXPECT_EQ(progress->Text().toStdString(), "Normalizing mp3's...Please wait!");
    EXPECT_EQ(window.statusBar()->currentMessage().toStdString().rfind("mp3's created: 2 of 2 tracks exported", 0), 0u);
    int songs = 0;
    for (const auto& f : std::filesystem::directory_iterator(ExportDirectories::FromConfig().music)) {
        const std::string path = f.path().string();
        if (f.path().extension() != ".mp3") continue;
        EXPECT_NEAR(MusicFileSeconds(path), 60.0, 1.0) << path;
        const std::string bytes = ReadFile(path);
        ASSERT_GT(bytes.size(), 128u);
        const std::string tag = bytes.substr(bytes.size() - 128);
        EXPECT_EQ(tag.substr(0, 3), "TAG");
        const std::string n = tag.substr(3, 6) == "Song 2" ? "2" : "3";
        EXPECT_EQ(tag.substr(3, 6) + tag.substr(33, 8), "Song " + n + "Artist " + n) << path;
        ++songs;
    }
    EXPECT_EQ(songs, 2);
}

}  // namespace
}  // namespace wk::ui

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
