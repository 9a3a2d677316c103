// The channel list dialog and the set-up wizard offscreen, driven as a user
// would and checked by the files they write: StreamFileNames.txt and the
// stream folders; Options.txt, config.ini, machine.ini and the imported
// encoder library. A refused value keeps the dialog open and writes
// nothing; Cancel writes nothing.

#include <gtest/gtest.h>

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <cmath>
#include <filesystem>
#include <functional>
#include <sstream>

#include "app/DownloadCommand.h"
#include "app/ServiceProcess.h"
#include "core/ConfigStore.h"
#include "core/ProgramHome.h"
#include "platform/MachineSettings.h"
#include "server/Credentials.h"
#include "streamstore/StreamListChange.h"
#include "streamstore/StreamNameFile.h"
#include "support/TempHome.h"
#include "support/WavFile.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/dialogs/ChannelsDialog.h"
#include "ui/shell/dialogs/SetupWizard.h"

namespace wk::ui {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;

class SetupDialogsTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        StreamNameFile streams;
        streams.load();
        StreamRecord one = NewStreamRecord(streams, "One");
        one.active = 1;
        one.coveredUntil = 123456789;
        streams.AddCopy(one);
        streams.CreateFolders();
        ASSERT_TRUE(streams.save());
    }
    static std::string ListText() { return ReadFile(StreamNameFile::FilePath()); }
    static bool HasFolder(const std::string& name) { return fs::is_directory(StreamNameFile::StreamRoot() + name); }
};

template <typename T>
T* Child(QWidget& parent, const char* name) {
    T* child = parent.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

void SetNoise(ChannelsDialog& d, int minimum, int sensitivity, int shortest, int longest) {
    Child<QSpinBox>(d, "silenceMinimum")->setValue(minimum);
    Child<QSpinBox>(d, "silenceSensitivity")->setValue(sensitivity);
    Child<QSpinBox>(d, "shortestTrack")->setValue(shortest);
    Child<QSpinBox>(d, "longestTrack")->setValue(longest);
}

void Tick(ChannelsDialog& d, const char* name, bool on) {
    auto* list = Child<QListWidget>(d, "streams");
    const auto items = list->findItems(QString::fromLatin1(name), Qt::MatchExactly);
    ASSERT_EQ(items.size(), 1) << name;
    items.front()->setCheckState(on ? Qt::Checked : Qt::Unchecked);
    list->setCurrentItem(items.front());
}

TEST_F(SetupDialogsTest, ChannelsSavesTheListOrKeepsItAsItWas) {
    struct Case {
        const char* what;
        std::function<void(ChannelsDialog&)> fill;
        bool ok;              // OK pressed (else Cancel)
        bool saved;           // the dialog closed with the list saved
        const char* problem;  // shown in the dialog
        std::vector<std::string> lines;  // lines the list must hold afterwards
        const char* folder;              // a folder that must exist (or not, when nothing is saved)
    };
    const Case cases[] = {
        {"a new stream, music TV, with its noise settings, activated",
         [](ChannelsDialog& d) {
             ASSERT_TRUE(d.AddStream("Jazz"));
             Child<QComboBox>(d, "kind")->setCurrentIndex(1);
             Child<QSpinBox>(d, "serviceNumber")->setValue(42);
             Child<QSpinBox>(d, "tunerChannel")->setValue(7);
             SetNoise(d, 4, 20, 100, 300);
             Tick(d, "Jazz", true);
         },
         true, true, "", {"Jazz\tTwo\t4\t100\t300\t20\t7\t42\t1\t0\r\n"}, "Jazz"},
        {"an existing stream changed and deactivated: its covered-until mark stays",
         [](ChannelsDialog& d) {
             Tick(d, "One", false);
             SetNoise(d, 2, 9, 60, 500);
         },
         true, true, "", {"One\tOne\t2\t60\t500\t9\t1\t0\t0\t123456789\r\n"}, "One"},
        {"names no folder can have are refused at once",
         [](ChannelsDialog& d) {
             for (const char* bad : {"a/b", "..", " lead", ""}) EXPECT_FALSE(d.AddStream(bad)) << bad;
             EXPECT_FALSE(d.AddStream("one"));  // another spelling of a listed stream
             EXPECT_FALSE(d.AddStream("a/b"));
         },
         true, true, "holds a '/'", {}, nullptr},
        {"another process adds the same stream meanwhile: refused, the dialog stays open",
         [](ChannelsDialog& d) {
             ASSERT_TRUE(d.AddStream("Rock"));
             StreamListChanges other;
             StreamNameFile now;
             now.load();
             other.added.push_back(NewStreamRecord(now, "ROCK"));
             ASSERT_TRUE(ChangeStreamList(other).Done());
         },
         true, false, "exists already", {"ROCK\t"}, nullptr},
        {"Cancel writes nothing (Enter in the name field adds, and does not press OK)",
         [](ChannelsDialog& d) {
             auto* name = Child<QLineEdit>(d, "newName");
             QTest::keyClicks(name, "Blues");
             QTest::keyClick(name, Qt::Key_Return);
             EXPECT_TRUE(d.isVisible());
             EXPECT_EQ(Child<QListWidget>(d, "streams")->findItems("Blues", Qt::MatchExactly).size(), 1);
             Tick(d, "One", false);
         },
         false, false, "", {}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string before = ListText();
        ChannelsDialog dialog;
        dialog.show();
        c.fill(dialog);
        const auto* buttons = dialog.findChild<QDialogButtonBox*>();
        QTest::mouseClick(buttons->button(c.ok ? QDialogButtonBox::Ok : QDialogButtonBox::Cancel), Qt::LeftButton);
        EXPECT_EQ(dialog.result() == QDialog::Accepted && !dialog.isVisible(), c.saved);
        EXPECT_EQ(dialog.isVisible(), c.ok && !c.saved);
        auto* problem = Child<QLabel>(dialog, "problem");
        EXPECT_NE(problem->text().toStdString().find(c.problem), std::string::npos) << problem->text().toStdString();
        const std::string after = ListText();
        for (const std::string& line : c.lines) EXPECT_NE(after.find(line), std::string::npos) << after;
        if (c.lines.empty()) {
            EXPECT_EQ(after, before);
        }
        if (c.folder) {
            EXPECT_TRUE(HasFolder(c.folder));
        }
        EXPECT_FALSE(HasFolder("Blues"));
        EXPECT_FALSE(HasFolder("Rock"));
    }
}

// Four seconds of a 440 Hz tone at half scale, for the input test.
std::string ToneFile(const test::TempDir& dir) {
    std::vector<int16_t> pcm;
    for (int i = 0; i < 4 * 44100; ++i) {
        const auto v = static_cast<int16_t>(16384 * std::sin(2 * M_PI * 440.0 * i / 44100));
        pcm.push_back(v);
        pcm.push_back(v);
    }
    test::WriteFile(dir.File("tone.wav"), test::WavFile(pcm));
    return dir.File("tone.wav");
}

// The wizard from the first page to the last against the service on
// loopback: its channel list fills the stream page, the account it stores
// is the one the service accepts, the input test hears the WAV file, and an
// encoder library is imported. Cancel first: nothing of that is written.
TEST_F(SetupDialogsTest, WizardStoresTheSetUpOnFinishAndNothingOnCancel) {
    test::TempDir data;
    test::WriteFile(data.File("channels.txt"), "Jazz FM\tOne\t17\nbad/name\tOne\t8\nMusic Box\tTwo\t5\n");
    test::WriteFile(data.File("accounts.txt"), "ann smith\ts3cret\n");
    test::ServiceProcess service;
    ASSERT_TRUE(service.Start(data.Path()));
    ConfigStore config;
    config.Load();
    config.SetString("URLChanelList", service.Root() + "/betatest/html/playlists/index.php3?a=gsl2");
    for (const char* key : {"TimeCheckURL", "UploadURL"})
        config.SetString(key, service.Root() + "/html/playlists/upload.php3");
    ASSERT_TRUE(config.Save());
    const std::string tone = ToneFile(data);
    const std::string configBefore = ReadFile(ConfigStore::FilePath());
    const std::string listBefore = ListText();

    for (const bool finish : {false, true}) {
        SCOPED_TRACE(finish ? "Finish" : "Cancel");
        SetupWizard wizard;
        wizard.SetTestInput("file:" + tone);
        wizard.show();
        Child<QLineEdit>(wizard, "login")->setText("ann smith");
        Child<QLineEdit>(wizard, "password")->setText("two words");
        wizard.next();
        EXPECT_EQ(wizard.currentId(), SetupWizard::kAccountPage);  // a password is one word
        Child<QLineEdit>(wizard, "password")->setText("s3cret");
        wizard.next();
        ASSERT_EQ(wizard.currentId(), SetupWizard::kStreamPage);
        ASSERT_TRUE(QTest::qWaitFor([&] { return wizard.ChannelListDone(); }, 20000));
        auto* stream = Child<QComboBox>(wizard, "stream");
        EXPECT_GE(stream->findText("Jazz FM"), 0);
        EXPECT_GE(stream->findText("Music Box"), 0);
        EXPECT_LT(stream->findText("bad/name"), 0);
        EXPECT_NE(Child<QLabel>(wizard, "channelStatus")->text().indexOf("2 channel"), -1);
        stream->setCurrentText("a/b");
        wizard.next();
        EXPECT_EQ(wizard.currentId(), SetupWizard::kStreamPage);
        EXPECT_NE(Child<QLabel>(wizard, "streamProblem")->text().indexOf("cannot name a stream"), -1);
        stream->setCurrentText("Jazz FM");
        wizard.next();
        ASSERT_EQ(wizard.currentId(), SetupWizard::kSoundPage);
        Child<QPushButton>(wizard, "testInput")->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return wizard.LevelTestDone(); }, 20000));
        const QString heard = Child<QLabel>(wizard, "levelText")->text();
        EXPECT_NE(heard.indexOf("Loudest peak -6.0 dBFS in 3."), -1) << heard.toStdString();
        EXPECT_EQ(Child<QProgressBar>(wizard, "meter")->value(), 54);
        wizard.next();
        ASSERT_EQ(wizard.currentId(), SetupWizard::kTvPage);
        Child<QRadioButton>(wizard, "tv1")->setChecked(true);
        wizard.next();
        ASSERT_EQ(wizard.currentId(), SetupWizard::kEncoderPage);
        auto* status = Child<QLabel>(wizard, "encoderStatus");
        struct Import { std::string path; const char* says; };
        for (const Import& i : {Import{tone, "tone.wav: "}, Import{WAVKEEP_LAME_ENC, "usable encoder"}}) {
            Child<QLineEdit>(wizard, "importPath")->setText(QString::fromStdString(i.path));
            Child<QPushButton>(wizard, "import")->click();
            EXPECT_NE(status->text().indexOf(i.says), -1) << status->text().toStdString();
        }
        auto* lame = Child<QRadioButton>(wizard, "engine2");
        EXPECT_TRUE(lame->isEnabled());
        Child<QRadioButton>(wizard, "engine3")->setChecked(true);
        Child<QPushButton>(wizard, "testEncode")->click();
        EXPECT_NE(status->text().indexOf("of Ogg Vorbis"), -1) << status->text().toStdString();
        lame->setChecked(true);
        if (!finish) {
            wizard.reject();
            EXPECT_EQ(ReadFile(ConfigStore::FilePath()), configBefore);
            EXPECT_EQ(ListText(), listBefore);
            EXPECT_FALSE(fs::exists(ProgramFile("Options.txt")));
            EXPECT_FALSE(fs::exists(ProgramFile("lame_enc.so")));
            EXPECT_FALSE(fs::exists(ProgramFile("machine.ini")));
            EXPECT_TRUE(SetupWizardDue());
            continue;
        }
        wizard.accept();
        EXPECT_EQ(wizard.result(), QDialog::Accepted) << Child<QLabel>(wizard, "finishProblem")->text().toStdString();
    }
    Credentials stored;
    ASSERT_TRUE(ReadCredentials(stored));
    EXPECT_EQ(stored.login, "ann smith");
    EXPECT_EQ(stored.password, "s3cret");
    EXPECT_EQ(stored.third, "-");
    config.Load();
    EXPECT_EQ(config.GetString("ActiveStream"), "Jazz FM");
    EXPECT_EQ(config.GetString("DirectXCable"), "1");
    EXPECT_EQ(config.GetString("Encoder"), "Lame encoder");
    EXPECT_FALSE(SetupWizardDue());
    EXPECT_EQ(MachineSettings::Get(MachineSettings::kLastSelectedMixer), "0");
    EXPECT_EQ(ReadFile(ProgramFile("lame_enc.so")), ReadFile(WAVKEEP_LAME_ENC));
    EXPECT_NE(ListText().find("Jazz FM\tOne\t3\t120\t360\t15\t1\t17\t1\t0\r\n"), std::string::npos) << ListText();
    ASSERT_TRUE(HasFolder("Jazz FM"));
    // The service takes the stored account: an upload of the new stream's descriptions.
    test::WriteFile(StreamNameFile::StreamRoot() + "Jazz FM/desc.des",
                    "# 0.9\r\n# \r\n# \r\n07/11/2003  17:42:11.005\t07/11/2003  17:45:40.000\tArtist\tTitle"
                    "\t\t\t\t17\t\t0\r\n");
    std::ostringstream out, err;
    EXPECT_EQ(RunUpload("Jazz FM", out, err), 0) << out.str() << err.str();
}

}  // namespace
}  // namespace wk::ui
