#pragma once
// The About box: the program's version, the libraries it works with and
// their versions (asked at run time where a library can tell, else the
// version it was built against), and the program home.
//
// Threading: GUI thread.

#include <QDialog>
#include <QString>
#include <vector>

namespace wk {
class UserPrompt;
}

namespace wk::ui {

struct LibraryVersion {
    QString name;
    QString version;  // with where it comes from when not asked at run time
};

std::vector<LibraryVersion> LibraryVersions();

class AboutDialog final : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);
    // Everything shown, as plain text (for copying into a bug report).
    QString Text() const { return m_text; }

private:
    QString m_text;
};

// F10: the About box, modal, through the prompt (scripted sessions answer it).
void RunAboutBox(UserPrompt& prompt, QWidget* parent);

}  // namespace wk::ui
