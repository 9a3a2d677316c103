#pragma once
// Review pictures of the set-up dialogs for "wavkeep-gui --screenshot": the
// channel list as DIR/dialog-channels.png and each page of the set-up
// wizard as DIR/dialog-wizard-N-PAGE.png. Nothing is saved: the wizard is
// never finished (its input test listens to the generator, its test encode
// writes into a temporary folder).

#include <QString>

namespace wk::ui {

class MainWindow;

// Prints each path written; false when one could not be written.
bool WriteSetupDialogShots(const QString& dir, MainWindow& window);

}  // namespace wk::ui
