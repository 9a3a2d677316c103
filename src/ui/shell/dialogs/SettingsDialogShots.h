#pragma once
// Review pictures of the settings dialogs for "wavkeep-gui --screenshot":
// the options dialog, one picture per tab (dialog-options-N-TAB.png) and
// one refusing a value (dialog-options-refused.png), and
// the sound settings twice: with this machine's mixer as it is
// (dialog-sound-settings.png; without a card it says so) and with an
// in-memory card that has every control (dialog-sound-settings-card.png).

#include <QString>

class QWidget;

namespace wk::ui {

// Prints each path written; false when one could not be written.
bool WriteSettingsDialogShots(const QString& dir, QWidget* parent);

}  // namespace wk::ui
