#include "ui/shell/dialogs/EditDialogShots.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QListWidget>
#include <QSpinBox>
#include <QStatusBar>
#include <functional>
#include <iostream>
#include <memory>

#include "ui/shell/DescriptionView.h"
#include "ui/shell/MainWindow.h"
#include "ui/shell/StreamViewPane.h"
#include "ui/shell/dialogs/AboutDialog.h"
#include "ui/shell/dialogs/SkinChooser.h"
#include "ui/shell/dialogs/TimeShiftDialog.h"
#include "ui/shell/dialogs/TrackPropertiesDialog.h"

namespace wk::ui {
bool SaveDialogShot(QWidget& widget, const QString& dir, const QString& name) {
    widget.show();
    QApplication::processEvents();
    const QString path = QDir(dir).filePath(name);
    const bool saved = widget.grab().save(path);
    widget.hide();
    if (saved) std::cout << path.toStdString() << '\n';
    else std::cerr << "wavkeep-gui: cannot write " << path.toStdString() << '\n';
    return saved;
}

bool WriteEditDialogShots(const QString& dir, MainWindow& window) {
    bool all = true;
    // A described song of the stream as it stands, else an empty form.
    const std::vector<Description>& songs = window.Descriptions()->Shown();
    TrackPropertiesDialog properties(songs.size() > 1 ? songs[1] : songs.empty() ? Description() : songs[0], &window);
    all &= SaveDialogShot(properties, dir, QStringLiteral("dialog-track-properties.png"));

    const QString target = window.StreamPane() ? window.StreamPane()->ShiftTarget() : QString();
    TimeShiftDialog shift(target.isEmpty() ? QObject::tr("all songs") : target, &window);
    shift.findChild<QSpinBox*>(QStringLiteral("seconds"))->setValue(2);
    shift.findChild<QSpinBox*>(QStringLiteral("milliseconds"))->setValue(500);
    all &= SaveDialogShot(shift, dir, QStringLiteral("dialog-time-shift.png"));

    SkinChooserDialog skins(&window);
    all &= SaveDialogShot(skins, dir, QStringLiteral("dialog-skins.png"));

    AboutDialog about(&window);
    all &= SaveDialogShot(about, dir, QStringLiteral("dialog-about.png"));

    // The dark skin over the whole window, then the look it had.
    const QString before = qApp->styleSheet();
    QString why;
    if (ApplySkin(QStringLiteral("Skins/Dark.qss"), &why)) {
        window.ShowView(View::Stream);
        QApplication::processEvents();
        window.statusBar()->clearMessage();
        QApplication::processEvents();
        const QString path = QDir(dir).filePath(QStringLiteral("window-dark-skin.png"));
        const bool saved = window.grab().save(path);
        all &= saved;
        if (saved) std::cout << path.toStdString() << '\n';
        qApp->setStyleSheet(before);
    } else {
        std::cerr << "wavkeep-gui: the dark skin: " << why.toStdString() << '\n';
        all = false;
    }
    return all;
}

}  // namespace wk::ui
