#pragma once
// The set-up wizard (button "Wizard"; shown at start while config
// "ConfigRunWizard" is not "1", which the start makes "0" whenever no
// account is stored). Its pages, in order:
//   account  the service login and password, stored as "wavkeep account
//            set" stores them (Options.txt, mode 0600);
//   stream   the stream to record: one of the service's channel list
//            (fetched in the background from "URLChanelList") or of the
//            stream list, or a new name typed in (checked as "wavkeep streams
//            add" checks it); it becomes "ActiveStream" and is activated;
//   sound    the capture card (ALSA cards that can capture, by name; machine
//            setting "nLastSelectedMixer"), with a test of a few seconds of
//            its input on a level meter;
//   TV       the TV input kind ("DirectXCable", 1 to 4);
//   encoder  the three engines and whether each can record now, the import
//            of an encoder library (tested as "wavkeep encoder import" tests
//            it) and a test encode; the choice goes into "Encoder".
// Nothing is written before Finish: Cancel leaves every file as it was
// (the test encode writes into a temporary folder only). Finish imports the
// libraries, stores the account, changes the stream list, saves config.ini
// with "ConfigRunWizard=1" and the machine setting; a step that fails keeps
// the wizard open with the reason.
//
// Threading: GUI thread; the channel list is fetched on a thread of the
// wizard's own, which the wizard ends and waits for when it goes.

#include <QWizard>
#include <memory>
#include <string>
#include <vector>

#include "streamstore/StreamRecord.h"

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;

namespace wk {
class UserPrompt;
}

namespace wk::ui {

class ChannelFetch;
class LevelTest;

class SetupWizard final : public QWizard {
    Q_OBJECT
public:
    enum Page { kAccountPage, kStreamPage, kSoundPage, kTvPage, kEncoderPage };
    // How long the input test listens.
    static constexpr int kTestSeconds = 3;

    explicit SetupWizard(QWidget* parent = nullptr);
    ~SetupWizard() override;

    // The input the sound test opens instead of the chosen card
    // ("file:PATH", "generator:1"; see CreateCaptureDevice).
    void SetTestInput(const std::string& spec) { m_testInput = spec; }
    // Whether the channel list fetch has ended (with or without channels).
    bool ChannelListDone() const { return m_fetchDone; }
    // Whether the input test has ended.
    bool LevelTestDone() const { return !m_level; }

    bool validateCurrentPage() override;
    void accept() override;

signals:
    void channelListDone();
    void levelTestDone();

private:
    QWizardPage* MakeAccountPage();
    QWizardPage* MakeStreamPage();
    QWizardPage* MakeSoundPage();
    QWizardPage* MakeTvPage();
    QWizardPage* MakeEncoderPage();
    void FetchChannels();
    void ShowChannels(std::vector<StreamRecord> channels, const QString& outcome);
    void StartLevelTest();
    void ShowLevel(double db);
    void ShowEngines();
    void ImportLibrary();
    void TestEncode();
    QString StreamProblem() const;
    bool Finish(QString* why);

    std::string m_testInput;
    std::vector<StreamRecord> m_listed;    // the stream list as read
    std::vector<StreamRecord> m_channels;  // the service's channel list
    std::vector<std::string> m_imports;    // libraries tested, copied on Finish
    std::unique_ptr<ChannelFetch> m_fetch;
    bool m_fetchDone = false;
    std::unique_ptr<LevelTest> m_level;

    QLineEdit* m_login;
    QLineEdit* m_password;
    QLabel* m_accountProblem;
    QComboBox* m_stream;
    QLabel* m_channelStatus;
    QLabel* m_streamProblem;
    QComboBox* m_card;
    QProgressBar* m_meter;
    QLabel* m_levelText;
    QPushButton* m_testButton;
    QButtonGroup* m_tvKind;
    QButtonGroup* m_engine;
    QLineEdit* m_importPath;
    QLabel* m_encoderStatus;
    QLabel* m_finishProblem;
};

// Whether the wizard is due at start: "ConfigRunWizard" is not "1".
bool SetupWizardDue();

// Runs the wizard through the prompt (so scripted sessions answer it);
// true when it finished and everything was stored.
bool RunSetupWizard(UserPrompt& prompt, QWidget* parent);

}  // namespace wk::ui
