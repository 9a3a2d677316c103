#pragma once
// Skins: Qt style sheets (.qss) laid over the whole program. The built-in
// default is the system's own look; three skins come with the program
// (Dark, Daylight, Large print), and every .qss file in the home's "Skins"
// folder is one more (a file there named like a shipped skin takes its
// place, so a shipped skin can be copied there and changed).
//
// The choice is kept in config.ini as "ActiveSkin", relative to the home
// ("Skins/Dark.qss"); any value that names no .qss file (the key's default
// among them) is the built-in look. A skin is applied only when its file
// can be read and Qt can parse it; otherwise the reason is given and the
// current look stays. A value naming a file outside the Skins folder is
// refused the same way.
//
// Threading: GUI thread (the application's style sheet).

#include <QDialog>
#include <QString>
#include <optional>
#include <vector>

class QLabel;
class QListWidget;

namespace wk {
class UserPrompt;
}

namespace wk::ui {

struct Skin {
    QString name;     // shown in the chooser
    QString setting;  // the "ActiveSkin" value; "" for the built-in look
};

// The built-in look first, then the skins by name.
std::vector<Skin> AvailableSkins();
// The home's folder for skins, with a trailing '/'.
QString SkinsFolder();
// "ActiveSkin" of config.ini, "" when it is the built-in look.
QString ActiveSkinSetting();
// Reads and parses the skin; false with the reason.
bool LoadSkin(const QString& setting, QString* sheet, QString* why);
// Loads the skin and lays it over the program; false (nothing changed) with
// the reason.
bool ApplySkin(const QString& setting, QString* why);
// ApplySkin, then stores the choice in config.ini.
bool ChooseSkin(const QString& setting, QString* why);
// At start: the stored skin, or the built-in look (with an event saying
// why) when it cannot be applied.
void ApplyConfiguredSkin();

class SkinChooserDialog final : public QDialog {
    Q_OBJECT
public:
    explicit SkinChooserDialog(QWidget* parent = nullptr);

    QListWidget* List() const { return m_list; }
    // OK applies and stores the chosen skin; one that fails to load says so
    // and keeps the dialog open.
    void accept() override;

private:
    QListWidget* m_list;
    QLabel* m_problem;
};

// Ctrl+K: the chooser, modal, through the prompt. The name of the skin now
// in use when one was chosen, else nothing.
std::optional<QString> RunSkinChooser(UserPrompt& prompt, QWidget* parent);

}  // namespace wk::ui
