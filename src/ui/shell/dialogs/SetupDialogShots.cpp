#include "ui/shell/dialogs/EditDialogShots.h"
#include "ui/shell/dialogs/SetupDialogShots.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTimer>
#include <iostream>

#include "ui/shell/MainWindow.h"
#include "ui/shell/dialogs/ChannelsDialog.h"
#include "ui/shell/dialogs/SetupWizard.h"

namespace wk::ui {
namespace {

// Runs the event loop until `signal` of `sender` or `ms` have passed.
template <typename Signal>
void WaitFor(SetupWizard* sender, Signal signal, int ms) {
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, &QEventLoop::quit);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

bool WriteSetupDialogShots(const QString& dir, MainWindow& window) {
    bool all = true;
    {
        ChannelsDialog channels(&window);
        // A stream just added (not saved), a music TV channel, and another being named.
        channels.AddStream(QStringLiteral("Jazz Radio"));
        channels.AddStream(QStringLiteral("Music Box TV"));
        channels.findChild<QComboBox*>(QStringLiteral("kind"))->setCurrentIndex(1);
        channels.findChild<QSpinBox*>(QStringLiteral("serviceNumber"))->setValue(5);
        channels.findChild<QSpinBox*>(QStringLiteral("tunerChannel"))->setValue(392);
        channels.findChild<QLineEdit*>(QStringLiteral("newName"))->setText(QStringLiteral("Late Night"));
        all &= SaveDialogShot(channels, dir, QStringLiteral("dialog-channels.png"));
        channels.hide();
    }
    SetupWizard wizard(&window);
    wizard.SetTestInput("generator:1:fast");
    wizard.findChild<QLineEdit*>(QStringLiteral("login"))->setText(QStringLiteral("demo.user"));
    wizard.findChild<QLineEdit*>(QStringLiteral("password"))->setText(QStringLiteral("secret"));
    wizard.show();
    const char* names[] = {"account", "stream", "sound", "tv", "encoder"};
    for (int page = SetupWizard::kAccountPage; page <= SetupWizard::kEncoderPage; ++page) {
        if (page == SetupWizard::kStreamPage && !wizard.ChannelListDone())
            WaitFor(&wizard, &SetupWizard::channelListDone, 20000);
        if (page == SetupWizard::kSoundPage) {
            wizard.findChild<QPushButton*>(QStringLiteral("testInput"))->click();
            if (!wizard.LevelTestDone()) WaitFor(&wizard, &SetupWizard::levelTestDone, 20000);
        }
        if (page == SetupWizard::kEncoderPage) wizard.findChild<QPushButton*>(QStringLiteral("testEncode"))->click();
        all &= SaveDialogShot(wizard, dir, QStringLiteral("dialog-wizard-%1-%2.png").arg(page + 1).arg(QLatin1String(names[page])));
        if (page < SetupWizard::kEncoderPage) wizard.next();
        if (wizard.currentId() != page + 1 && page < SetupWizard::kEncoderPage) {
            std::cerr << "wavkeep-gui: the wizard stayed on page " << page + 1 << '\n';
            return false;
        }
    }
    wizard.hide();
    return all;
}

}  // namespace wk::ui
