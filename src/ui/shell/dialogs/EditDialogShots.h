#pragma once
// Review pictures of the editing dialogs for "wavkeep-gui --screenshot":
// track properties, time shifting, the skin chooser and the About box, each
// as DIR/dialog-NAME.png, and the window once more in the dark skin.

#include <QString>

namespace wk::ui {

class MainWindow;

// Prints each path written; false when one could not be written.
bool WriteEditDialogShots(const QString& dir, MainWindow& window);

}  // namespace wk::ui
