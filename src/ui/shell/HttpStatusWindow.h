#pragma once
// The HTTP status window: what the request manager reports during time
// checks, uploads and imports ("Time checking...", "Unable to make HTTP
// connection. Try again." ...), under the line "Please wait while connecting
// online...", with its Close button where the status is an outcome the user
// should read. A success that needs no reading ("Time is checked") leaves
// by itself after a moment, as it offers no button.
//
// Threading: the request manager reports on its own threads; a relay that
// lives as long as the process takes the reports and hands them to the
// window through Qt's queue, so no worker ever touches the window, and a
// report arriving while the window goes is dropped.

#include <QDialog>

class QLabel;
class QPushButton;

namespace wk::ui {

class HttpStatusWindow final : public QDialog {
    Q_OBJECT
public:
    // Becomes the status sink of the request manager installed now.
    explicit HttpStatusWindow(QWidget* parent);
    ~HttpStatusWindow() override;

    void ShowStatus(int code, const QString& text, bool closable);
    QString Text() const;
    bool CloseOffered() const;

    // How long an outcome without a Close button stays.
    static constexpr int kSelfCloseMs = 3000;

signals:
    void statusShown(int code, const QString& text, bool closable);

private:
    QLabel* m_text;
    QPushButton* m_close;
    int m_serial = 0;  // of the status shown
};

}  // namespace wk::ui
