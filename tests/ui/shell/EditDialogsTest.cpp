// The editing dialogs offscreen, each driven as a user would and checked by
// the file it writes: track properties and time shifting in desc.des, the
// skin in config.ini; a refused value keeps the form open and writes
// nothing, Cancel writes nothing.

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <sstream>

#include "app/RecordCommand.h"
#include "core/ConfigStore.h"
#include "core/EventLog.h"
#include "core/EventLoop.h"
#include "core/ProgramHome.h"
#include "core/Version.h"
#include "descriptions/DescriptionStore.h"
#include "platform/PlaybackDevice.h"
#include "scheduler/Scheduler.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"
#include "ui/shell/DescriptionView.h"
#include "ui/shell/MainWindow.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/StreamView.h"
#include "ui/shell/dialogs/AboutDialog.h"
#include "ui/shell/dialogs/SkinChooser.h"
#include "ui/shell/dialogs/TimeShiftDialog.h"
#include "ui/shell/dialogs/TrackPropertiesDialog.h"

namespace wk::ui {
namespace {

using test::ReadFile;

// A person pressing OK on the form shown.
bool StaysOpenOnOk(QDialog& form) {
    form.show();
    QTest::mouseClick(form.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok), Qt::LeftButton);
    const bool open = form.isVisible();
    form.close();
    return open;
}

class EditDialogsTest : public test::TempHomeTest {
protected:
    // Half a minute of stream "One" to place songs on.
    static void Record() {
        std::ostringstream out, err;
        RecordOptions record{30, "One", "generator:1:fast"};
        ASSERT_EQ(RunRecord(record, out, err), 0) << err.str();
    }
    void TearDown() override {
        qApp->setStyleSheet(QString());
        TempHomeTest::TearDown();
    }
    static std::string Folder() { return StreamNameFile::StreamRoot() + "One/"; }
    static std::vector<std::string> Stored() {
        DescriptionStore store(Folder(), "desc");
        store.Load();
        std::vector<std::string> lines;
        for (const auto& d : store.Records()) lines.push_back(d->ToLine());
        return lines;
    }
    std::string Events() const { return ReadFile(EventLog::Instance().FilePath()); }
};

TEST_F(EditDialogsTest, TrackPropertiesStoreTheTagsOrRefuseAnEmptyArtist) {
    Record();
    QtUserPrompt prompt;
    struct Case { const char* artist; int genreItem; bool ok; size_t stored; };
    const Case* now = nullptr;
    prompt.SetDialogResponder([&](QDialog& form) {
        form.findChild<QLineEdit*>("artist")->setText(QString::fromLatin1(now->artist));
        form.findChild<QLineEdit*>("title")->setText(QString(40, QLatin1Char('t')));
        form.findChild<QLineEdit*>("year")->setText("19999");
        auto* genre = form.findChild<QComboBox*>("genre");
        EXPECT_EQ(genre->count(), TrackPropertiesDialog::kGenreItems);
        EXPECT_EQ(genre->itemText(126), "125.Dance Hall");
        genre->setCurrentIndex(now->genreItem);
        return now->ok;
    });
    EventLoop loop;
    std::string why;
    StreamView view(loop, prompt, CreatePlaybackDevice("null", &why));
    view.SetStream("One");
    view.FinishReading();
    const StreamTime t0 = view.Line().ExtentStart();
    for (const Case& c : {Case{"Ann", 18, false, 0}, Case{"  ", 18, true, 0}, Case{"Ann", 18, true, 1},
                          Case{"Bob", 0, true, 2}}) {
        now = &c;
        const size_t before = Stored().size();
        view.SetCursor(t0 + 2000 + 10000 * static_cast<StreamTime>(before));
        view.HandleCommand(kCmdSetTrackStart);
        view.SetCursor(t0 + 9000 + 10000 * static_cast<StreamTime>(before));
        view.HandleCommand(kCmdSetTrackEnd);
        const std::vector<std::string> stored = Stored();
        ASSERT_EQ(stored.size(), c.stored) << c.artist;
        if (c.stored > before) {
            std::ostringstream fields;  // artist, title, album, year, comment, genre
            fields << c.artist << '\t' << std::string(30, 't') << "\t\t1999\t\t"
                   << (c.genreItem > 0 ? std::to_string(c.genreItem - 1) : "") << '\t';
            EXPECT_NE(stored.back().find(fields.str()), std::string::npos) << stored.back();
        }
    }
    EXPECT_NE(Events().find("Invalid name!"), std::string::npos);

    // The description view's double click edits with the same form.
    const Case carl{"Carl", 3, true, 2};
    now = &carl;
    SetUserPrompt(&prompt);
    DescriptionView list;
    list.SetStream("One");
    list.FinishReading();
    emit list.Table()->doubleClicked(list.Table()->model()->index(1, kColArtist));
    SetUserPrompt(nullptr);
    EXPECT_NE(Stored().back().find("Carl\t" + std::string(30, 't') + "\t\t1999\t\t2\t"), std::string::npos);

    TrackPropertiesDialog blank{Description()};
    EXPECT_TRUE(StaysOpenOnOk(blank));
    EXPECT_FALSE(blank.findChild<QLabel*>("problem")->isHidden());
}

TEST_F(EditDialogsTest, TimeShiftMovesTheSelectedOrAllSongsThatStayRecorded) {
    Record();
    EventLoop loop;
    QtUserPrompt prompt;
    Scheduler scheduler;
    MainWindow window(scheduler, loop, prompt);
    std::string why;
    auto* view = new StreamView(loop, prompt, CreatePlaybackDevice("null", &why));
    window.SetStreamViewPane(view);
    window.SetActiveStream("One");
    view->FinishReading();
    const StreamTime t0 = view->Line().ExtentStart();
    DescriptionStore store(Folder(), "desc");
    for (int i = 0; i < 2; ++i) {
        Description d;
        d.artist = i == 0 ? "A0" : "A1";
        d.start = t0 + 2000 + 12000 * i;
        d.end = d.start + 10000;
        store.Add(d);
    }
    ASSERT_TRUE(store.Save());
    view->Reload();
    view->FinishReading();
    const auto starts = [&] {
        std::vector<StreamTime> s;
        for (const std::string& line : Stored()) {
            Description d;
            d.FromLine(line);
            s.push_back(d.start - t0);
        }
        return s;
    };
    struct Case { int selectAt; int seconds, ms; bool past; bool ok; std::vector<StreamTime> after; };
    const Case* now = nullptr;
    bool stayedOpen = false;
    prompt.SetDialogResponder([&](QDialog& form) {
        form.findChild<QSpinBox*>("seconds")->setValue(now->seconds);
        form.findChild<QSpinBox*>("milliseconds")->setValue(now->ms);
        form.findChild<QRadioButton*>(now->past ? "past" : "future")->setChecked(true);
        stayedOpen = now->ok && StaysOpenOnOk(form);
        return now->ok;
    });
    for (const Case& c : {Case{-1, 1, 500, true, true, {500, 12500}},    // both
                          Case{20000, 3, 0, false, true, {500, 15500}},  // the selected one
                          Case{-1, 0, 0, true, true, {500, 15500}},      // nothing to shift: stays open
                          Case{-1, 86401, 0, true, true, {500, 15500}},  // more than a day
                          Case{-1, 5, 0, false, false, {500, 15500}},    // cancelled
                          Case{-1, 1, 0, true, true, {500, 14500}}}) {   // the first would leave the recording
        now = &c;
        view->DoubleClickAt(c.selectAt < 0 ? -1 : t0 + c.selectAt);
        window.Dispatch(*FindByCommand(kCmdTimeShift));
        EXPECT_EQ(starts(), c.after) << c.seconds;
        EXPECT_EQ(stayedOpen, c.ok && (c.seconds == 0 || c.seconds > 86400)) << c.seconds;
    }
}

TEST_F(EditDialogsTest, SkinChooserAppliesAndStoresOnlySheetsThatLoad) {
    QDir().mkpath(SkinsFolder());
    const auto write = [](const char* name, const char* text) {
        QFile file(SkinsFolder() + name);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    };
    write("Broken.qss", "QWidget { color: red; ");
    write("Dark.qss", "QLabel { color: #123456; }");  // takes the shipped one's place
    QtUserPrompt prompt;
    struct Case { const char* choose; bool ok; const char* stored; const char* sheetHas; };
    const Case* now = nullptr;
    prompt.SetDialogResponder([&](QDialog& form) {
        auto* list = form.findChild<QListWidget*>("skins");
        const auto found = list->findItems(QString::fromLatin1(now->choose), Qt::MatchStartsWith);
        EXPECT_EQ(found.size(), 1) << now->choose;
        if (!found.empty()) list->setCurrentItem(found.front());
        return now->ok;
    });
    const std::string builtIn = ConfigStore::DefaultValue("ActiveSkin");
    for (const Case& c : {Case{"Daylight", false, builtIn.c_str(), ""},
                          Case{"Daylight", true, "Skins/Daylight.qss", "#faf8f3"},
                          Case{"Broken", true, "Skins/Daylight.qss", "#faf8f3"},
                          Case{"Dark", true, "Skins/Dark.qss", "#123456"},
                          Case{"Built-in", true, builtIn.c_str(), ""}}) {
        now = &c;
        RunSkinChooser(prompt, nullptr);
        ConfigStore config;
        config.Load();
        EXPECT_EQ(config.GetString("ActiveSkin"), c.stored) << c.choose;
        EXPECT_EQ(qApp->styleSheet().isEmpty(), !*c.sheetHas) << c.choose;
        EXPECT_TRUE(qApp->styleSheet().contains(QLatin1String(c.sheetHas))) << c.choose;
    }
    SkinChooserDialog chooser;
    chooser.List()->setCurrentItem(chooser.List()->findItems("Broken", Qt::MatchExactly).front());
    EXPECT_TRUE(StaysOpenOnOk(chooser));

    // At start a stored skin outside the Skins folder is not read.
    ConfigStore config;
    config.Load();
    config.SetString("ActiveSkin", "Skins/../config.qss");
    ASSERT_TRUE(config.Save());
    ApplyConfiguredSkin();
    EXPECT_TRUE(qApp->styleSheet().isEmpty());
    EXPECT_NE(Events().find("The skin could not be applied"), std::string::npos);
}

TEST_F(EditDialogsTest, AboutNamesTheVersionTheLibrariesAndTheHome) {
    EventLoop loop;
    QtUserPrompt prompt;
    Scheduler scheduler;
    MainWindow window(scheduler, loop, prompt);
    QString shown;
    prompt.SetDialogResponder([&](QDialog& form) {
        if (auto* about = qobject_cast<AboutDialog*>(&form)) shown = about->Text();
        return true;
    });
    QTest::keyClick(&window, Qt::Key_F10);
    EXPECT_TRUE(window.LastOutcome().performed);
    for (const QString& part : {QStringLiteral("wavkeep ") + kWavkeepVersion, QString::fromStdString(ProgramFolder()),
                                QStringLiteral("Qt: ") + qVersion(), QStringLiteral("libmp3lame: LAME "),
                                QStringLiteral("libmpg123: "), QStringLiteral("libvorbis: "),
                                QStringLiteral("libcurl: "), QStringLiteral("alsa-lib: ")})
        EXPECT_TRUE(shown.contains(part)) << part.toStdString() << " in " << shown.toStdString();
}

}  // namespace
}  // namespace wk::ui
