// The options and sound settings dialogs offscreen, opened by their
// commands and driven as a user would, checked by config.ini and by the
// (in-memory) card: good values are saved at once, a refused value keeps
// the form open and writes nothing, Cancel writes nothing and puts the card
// back.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <functional>
#include <map>

#include "core/ConfigStore.h"
#include "core/EventLoop.h"
#include "core/Trace.h"
#include "platform/AudioMixerFake.h"
#include "scheduler/Scheduler.h"
#include "support/TempHome.h"
#include "ui/CommandTable.h"
#include "ui/shell/MainWindow.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/StreamViewPane.h"
#include "ui/shell/dialogs/SoundSettingsDialog.h"

namespace wk::ui {
namespace {

using test::ReadFile;

// Counts the colour changes the window passes on.
class ColourPane final : public StreamViewPane {
public:
    void SetStream(const std::string&) override {}
    bool HandleCommand(int) override { return false; }
    void ColoursChanged() override { ++changes; }
    int changes = 0;
};

// The window's mixer, forwarding to a card the test keeps and looks at.
class MixerProxy final : public AudioMixer {
public:
    explicit MixerProxy(AudioMixerFake& fake) : m_fake(fake) {}
    std::vector<MixerCard> Cards() override { return m_fake.Cards(); }
    bool Open(int index, std::string* why) override { return m_fake.Open(index, why); }
    std::vector<std::string> CaptureSources() const override { return m_fake.CaptureSources(); }
    int CaptureSource() const override { return m_fake.CaptureSource(); }
    bool SetCaptureSource(int s, std::string* why) override { return m_fake.SetCaptureSource(s, why); }
    std::optional<int> CaptureVolume() const override { return m_fake.CaptureVolume(); }
    bool SetCaptureVolume(int p, std::string* why) override { return m_fake.SetCaptureVolume(p, why); }
    std::optional<int> PlaybackVolume() const override { return m_fake.PlaybackVolume(); }
    bool SetPlaybackVolume(int p, std::string* why) override { return m_fake.SetPlaybackVolume(p, why); }

private:
    AudioMixerFake& m_fake;
};

class SettingsDialogsTest : public test::TempHomeTest {
protected:
    void SetUp() override {
        TempHomeTest::SetUp();
        m_traceLevel = GetTraceLevel();  // the options may change it
        m_window = std::make_unique<MainWindow>(m_scheduler, m_loop, m_prompt);
        m_pane = new ColourPane;
        m_window->SetStreamViewPane(m_pane);
    }
    void TearDown() override {
        SetAudioMixerFactory(nullptr);
        SetTraceLevel(m_traceLevel);
        m_window.reset();
        TempHomeTest::TearDown();
    }
    static std::string Config() { return ReadFile(ConfigStore::FilePath()); }
    static std::string Value(const char* key) {
        ConfigStore config;
        config.Load();
        return config.GetString(key);
    }
    bool Perform(int command) {
        m_window->Dispatch(*FindByCommand(command));
        return m_window->LastOutcome().performed;
    }

    EventLoop m_loop;
    QtUserPrompt m_prompt;
    Scheduler m_scheduler;
    std::unique_ptr<MainWindow> m_window;
    ColourPane* m_pane = nullptr;
    int m_traceLevel = 0;
};

template <class W>
W* Field(QDialog& form, const char* name) {
    auto* w = form.findChild<W*>(QString::fromLatin1(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

void Choose(QDialog& form, const char* key, const char* value) {
    auto* box = Field<QComboBox>(form, key);
    box->setCurrentIndex(box->findData(QString::fromLatin1(value)));
    EXPECT_GE(box->currentIndex(), 0) << key << " " << value;
}

TEST_F(SettingsDialogsTest, OptionsSaveCheckedValuesAtOnceOrStayOpen) {
    ConfigStore seed;
    seed.SetString("MyKey", "kept");  // a key wavkeep does not know
    ASSERT_TRUE(seed.Save());
    const std::string songs = HomeFile("Music");
    using Fill = std::function<void(QDialog&)>;
    struct Case {
        const char* what;
        Fill fill;
        bool ok;  // press OK, else Cancel
        std::map<std::string, std::string> saved;  // empty: config.ini unchanged
        const char* refusedTab;
    };
    const Case cases[] = {
        {"the recording settings",
         [](QDialog& f) {
             Choose(f, "BitRate", "192");
             Choose(f, "Mode", "MONO");
             Field<QSpinBox>(f, "SingleFileLength")->setValue(30);
             Field<QCheckBox>(f, "EnableSilenceDet")->setChecked(true);
             Field<QRadioButton>(f, "Vorbis encoder")->setChecked(true);
         },
         true, {{"BitRate", "192"}, {"Mode", "MONO"}, {"SingleFileLength", "30"}, {"EnableSilenceDet", "1"}}, nullptr},
        {"folders, service, TV and a colour",
         [&songs](QDialog& f) {
             Field<QLineEdit>(f, "ExportPath")->setText(QString::fromStdString(songs));
             Choose(f, "TraceLevel", "Debug");
             Field<QLineEdit>(f, "UploadURL")->setText("https://example.org/up");
             Field<QCheckBox>(f, "AutoExport")->setChecked(false);
             Field<QRadioButton>(f, "DirectXCable2")->setChecked(true);
             Field<QLineEdit>(f, "FreqSatelliteModeSignal")->setText("8692");
             Field<QLineEdit>(f, "RecordColor")->setText("1,2,3");
         },
         true,
         {{"ExportPath", songs}, {"TraceLevel", "Debug"}, {"UploadURL", "https://example.org/up"}, {"AutoExport", "0"},
          {"DirectXCable", "2"}, {"FreqSatelliteModeSignal", "8692"}, {"RecordColor", "1,2,3"}},
         nullptr},
        {"a colour out of range", [](QDialog& f) { Field<QLineEdit>(f, "WaveColor")->setText("300,0,0"); }, true, {},
         "Colours"},
        {"a folder not from the root", [](QDialog& f) { Field<QLineEdit>(f, "StreamPath")->setText("Streams"); },
         true, {}, "Folders"},
        {"an address without http",
         [](QDialog& f) {
             Choose(f, "BitRate", "64");  // good, but not saved beside a bad one
             Field<QLineEdit>(f, "TimeCheckURL")->setText("ftp://example.org");
         },
         true, {}, "Service"},
        {"a country code that is no number", [](QDialog& f) { Field<QLineEdit>(f, "CountryCode")->setText("DE"); },
         true, {}, "Service"},
        {"good values cancelled", [](QDialog& f) { Choose(f, "BitRate", "320"); }, false, {}, nullptr},
    };
    const Case* now = nullptr;
    int daemonSpace = 700;
    QString problem, tab;
    m_prompt.SetDialogResponder([&](QDialog& form) {
        now->fill(form);
        // Meanwhile the daemon changes a key the form does not show: it stays.
        ConfigStore daemon;
        daemon.Load();
        daemon.SetString("DiskSpace", std::to_string(++daemonSpace));
        EXPECT_TRUE(daemon.Save());
        if (now->ok) {
            form.accept();
            problem = form.result() == QDialog::Accepted ? QString() : form.findChild<QLabel*>("problem")->text();
            auto* tabs = form.findChild<QTabWidget*>();
            tab = tabs->tabText(tabs->currentIndex());
        }
        return now->ok;
    });
    for (const Case& c : cases) {
        now = &c;
        problem.clear();
        std::string unchanged = Config();
        const int colours = m_pane->changes;
        EXPECT_EQ(Perform(kCmdOptions), c.ok && !c.refusedTab) << c.what;
        const std::string space = "\nDiskSpace=" + std::to_string(daemonSpace) + "\n";
        EXPECT_NE(Config().find(space), std::string::npos) << c.what;
        EXPECT_EQ(Value("MyKey"), "kept") << c.what;
        if (c.refusedTab) {
            EXPECT_FALSE(problem.isEmpty()) << c.what;
            EXPECT_EQ(tab.toStdString(), c.refusedTab) << c.what << ": " << problem.toStdString();
        }
        for (const auto& [key, value] : c.saved) EXPECT_EQ(Value(key.c_str()), value) << c.what << " " << key;
        if (c.saved.empty()) {
            // Nothing but the daemon's change.
            const size_t at = unchanged.find("\nDiskSpace=");
            unchanged.replace(at, unchanged.find('\n', at + 1) - at + 1, space);
            EXPECT_EQ(Config(), unchanged) << c.what;
        }
        EXPECT_EQ(m_pane->changes - colours, c.saved.count("RecordColor") ? 1 : 0) << c.what;
    }
}

TEST_F(SettingsDialogsTest, SoundSettingsDriveTheCardAndKeepTheChoice) {
    AudioMixerFake card;
    card.AddCard(0, {"Bare", {}, -1, std::nullopt, std::nullopt});
    card.AddCard(2, {"Full", {"Mic", "Line", "CD"}, 0, 50, 60});
    SetAudioMixerFactory([&card] { return std::make_unique<MixerProxy>(card); });
    ConfigStore config;
    config.SetString("AudioMixer", "2");
    ASSERT_TRUE(config.Save());
    struct Case {
        const char* what;
        std::function<void(QDialog&)> set;
        bool ok;
        int source, capture, playback;          // the "Full" card afterwards
        const char* mixer;                      // "AudioMixer" afterwards
        const char* audioSource;                // "AudioSource" afterwards
        const char* says;                       // in the dialog's message
    };
    const Case cases[] = {
        {"changes cancelled",
         [](QDialog& f) {
             Field<QComboBox>(f, "source")->setCurrentIndex(2);
             Field<QSlider>(f, "captureVolume")->setValue(10);
         },
         false, 0, 50, 60, "2", "3", ""},
        {"source and volumes kept",
         [](QDialog& f) {
             EXPECT_EQ(Field<QComboBox>(f, "card")->currentText(), "Full (card 2)");
             EXPECT_EQ(Field<QSlider>(f, "playbackVolume")->value(), 60);
             Field<QComboBox>(f, "source")->setCurrentIndex(1);
             Field<QSlider>(f, "captureVolume")->setValue(30);
             Field<QSlider>(f, "playbackVolume")->setValue(40);
         },
         true, 1, 30, 40, "2", "1", ""},
        {"a card without controls",
         [](QDialog& f) { Field<QComboBox>(f, "card")->setCurrentIndex(0); }, true, 1, 30, 40, "0", "1",
         "Bare (card 0) has no recording source or volume controls to set."},
    };
    const Case* now = nullptr;
    QString said;
    m_prompt.SetDialogResponder([&](QDialog& form) {
        now->set(form);
        said = static_cast<SoundSettingsDialog&>(form).Message();
        return now->ok;
    });
    for (const Case& c : cases) {
        now = &c;
        EXPECT_EQ(Perform(kCmdSoundSettings), c.ok) << c.what;
        const AudioMixerFake::Card* full = card.Find(2);
        EXPECT_EQ(full->source, c.source) << c.what;
        EXPECT_EQ(full->captureVolume, c.capture) << c.what;
        EXPECT_EQ(full->playbackVolume, c.playback) << c.what;
        EXPECT_EQ(Value("AudioMixer"), c.mixer) << c.what;
        EXPECT_EQ(Value("AudioSource"), c.audioSource) << c.what;
        EXPECT_EQ(said.toStdString(), c.says) << c.what;
    }

    // No card at all: said, and OK stores nothing.
    AudioMixerFake none;
    SetAudioMixerFactory([&none] { return std::make_unique<MixerProxy>(none); });
    m_prompt.SetDialogResponder([&](QDialog& form) {
        said = static_cast<SoundSettingsDialog&>(form).Message();
        return true;
    });
    const std::string before = Config();
    EXPECT_TRUE(Perform(kCmdSoundSettings));
    EXPECT_EQ(said.toStdString(), "No sound card was found, so there is no mixer to set.");
    EXPECT_EQ(Config(), before);
}

}  // namespace
}  // namespace wk::ui
