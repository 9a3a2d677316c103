#include "ui/shell/dialogs/EditDialogShots.h"
#include "ui/shell/dialogs/SettingsDialogShots.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QTabWidget>
#include <iostream>

#include "platform/AudioMixerFake.h"
#include "ui/shell/dialogs/OptionsDialog.h"
#include "ui/shell/dialogs/SoundSettingsDialog.h"

namespace wk::ui {

bool WriteSettingsDialogShots(const QString& dir, QWidget* parent) {
    bool all = true;
    OptionsDialog options(parent);
    auto* tabs = options.findChild<QTabWidget*>();
    for (int i = 0; tabs && i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        const QString tab = tabs->tabText(i).toLower().replace(QLatin1Char(' '), QLatin1Char('-'));
        all &= SaveDialogShot(options, dir, QStringLiteral("dialog-options-%1-%2.png").arg(i + 1).arg(tab));
    }
    // A refused value: named with the reason, the form stays (nothing is saved).
    if (auto* wave = options.findChild<QLineEdit*>(QStringLiteral("WaveColor"))) {
        wave->setText(QStringLiteral("300,0,0"));
        options.show();
        options.accept();
        all &= SaveDialogShot(options, dir, QStringLiteral("dialog-options-refused.png"));
    }

    const std::unique_ptr<AudioMixer> mixer = MakeAudioMixer();
    SoundSettingsDialog here(*mixer, parent);
    all &= SaveDialogShot(here, dir, QStringLiteral("dialog-sound-settings.png"));
    here.reject();

    AudioMixerFake card;
    card.AddCard(0, {"Demo sound card", {"Mic", "Line", "CD"}, 1, 70, 55});
    SoundSettingsDialog demo(card, parent);
    all &= SaveDialogShot(demo, dir, QStringLiteral("dialog-sound-settings-card.png"));
    return all;
}

}  // namespace wk::ui
