#pragma once
// "Time shifting": how far to move descriptions by hand, as whole seconds
// and milliseconds (0 to 999), "To Past" or "To Future". The stream view
// then moves the selected description, or all of them.
//
// A shift of nothing or of more than a day is refused with the reason and
// the form stays open (a day is the range every clock difference is held
// to).
//
// Threading: GUI thread.

#include <QDialog>
#include <cstdint>

class QLabel;
class QRadioButton;
class QSpinBox;

namespace wk {
class UserPrompt;
}

namespace wk::ui {

class StreamViewPane;

class TimeShiftDialog final : public QDialog {
    Q_OBJECT
public:
    // `what`: the descriptions that will move, in words ("the selected
    // song", "all 12 songs").
    explicit TimeShiftDialog(const QString& what, QWidget* parent = nullptr);

    // Milliseconds, negative towards the past.
    int64_t Amount() const;

    void accept() override;

private:
    void ShowAmount();

    QSpinBox* m_seconds;
    QSpinBox* m_milliseconds;
    QRadioButton* m_past;
    QRadioButton* m_future;
    QLabel* m_amount;
    QLabel* m_problem;
};

// Ctrl+T: asks for the shift (through the prompt, so scripted sessions
// answer it) and has the stream view move its descriptions. True when some
// moved; the view says what happened.
bool RunTimeShift(UserPrompt& prompt, QWidget* parent, StreamViewPane& view);

}  // namespace wk::ui
