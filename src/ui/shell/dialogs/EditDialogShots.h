#pragma once
// Review pictures of the editing dialogs for "wavkeep-gui --screenshot":
// track properties, time shifting, the skin chooser and the About box, each
// as DIR/dialog-NAME.png, and the window once more in the dark skin.

#include <QString>

class QWidget;

namespace wk::ui {

class MainWindow;

// Shows `widget`, writes it as DIR/NAME, hides it again; prints the path
// written, or why not. Shared by every dialog's review pictures.
bool SaveDialogShot(QWidget& widget, const QString& dir, const QString& name);

// Prints each path written; false when one could not be written.
bool WriteEditDialogShots(const QString& dir, MainWindow& window);

}  // namespace wk::ui
