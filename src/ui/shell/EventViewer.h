#pragma once
// The event viewer: the event log (events.txt) read afresh whenever it is
// shown, read-only, with "Delete all the events" (which asks first).

#include <QDialog>

class QPlainTextEdit;

namespace wk::ui {

class EventViewer final : public QDialog {
    Q_OBJECT
public:
    explicit EventViewer(QWidget* parent = nullptr);
    void Reload();
    QString Text() const;

protected:
    void showEvent(QShowEvent* event) override;

private:
    QPlainTextEdit* m_text;
};

}  // namespace wk::ui
