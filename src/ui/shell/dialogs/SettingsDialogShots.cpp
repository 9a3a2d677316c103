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
namespace {

bool Save(QWidget& widget, const QString& dir, const QString& name) {
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(dir).filePath(name);
    const bool saved = widget.grab().save(path);
    widget.hide();
    if (saved) std::cout << path.toStdString() << '\n';
    else std::cerr << "wavkeep-gui: cannot write " << path.toStdString() << '\n';
    return saved;
}

}  // namespace

bool WriteSettingsDialogShots(const QString& dir, QWidget* parent) {
    bool all = true;
    OptionsDialog options(parent);
    auto* tabs = options.findChild<QTabWidget*>();
    for (int i = 0; tabs && i < tabs->count(); ++i) {
        tabs->setCurrentIndex(i);
        const QString tab = tabs->tabText(i).toLower().replace(QLatin1Char(' '), QLatin1Char('-'));
        all &= Save(options, dir, QStringLiteral("dialog-options-%1-%2.png").arg(i + 1).arg(tab));
    }
    // A refused value: named with the reason, the form stays (nothing is saved).
    if (auto* wave = options.findChild<QLineEdit*>(QStringLiteral("WaveColor"))) {
        wave->setText(QStringLiteral("300,0,0"));
        options.show();
        options.accept();
        all &= Save(options, dir, QStringLiteral("dialog-options-refused.png"));
    }

    const std::unique_ptr<AudioMixer> mixer = MakeAudioMixer();
    SoundSettingsDialog here(*mixer, parent);
    all &= Save(here, dir, QStringLiteral("dialog-sound-settings.png"));
    here.reject();

    AudioMixerFake card;
    card.AddCard(0, {"Demo sound card", {"Mic", "Line", "CD"}, 1, 70, 55});
    SoundSettingsDialog demo(card, parent);
    all &= Save(demo, dir, QStringLiteral("dialog-sound-settings-card.png"));
    return all;
}

}  // namespace wk::ui
