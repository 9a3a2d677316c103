#include "ui/shell/dialogs/TimeShiftDialog.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QSpinBox>

#include "core/ClockDifference.h"
#include "descriptions/TimeShifting.h"
#include "ui/shell/QtUserPrompt.h"
#include "ui/shell/StreamViewPane.h"

namespace wk::ui {

TimeShiftDialog::TimeShiftDialog(const QString& what, QWidget* parent)
    : QDialog(parent),
      m_seconds(new QSpinBox),
      m_milliseconds(new QSpinBox),
      m_past(new QRadioButton(tr("To Past"))),
      m_future(new QRadioButton(tr("To Future"))),
      m_amount(new QLabel),
      m_problem(new QLabel) {
    setWindowTitle(tr("Time shifting"));
    m_seconds->setObjectName(QStringLiteral("seconds"));
    m_milliseconds->setObjectName(QStringLiteral("milliseconds"));
    m_past->setObjectName(QStringLiteral("past"));
    m_future->setObjectName(QStringLiteral("future"));
    // One more than a day, so that the refusal names the limit rather than
    // the box stopping short without a word.
    m_seconds->setRange(0, static_cast<int>(kMaxClockDifferenceSeconds) + 1);
    m_seconds->setSuffix(tr(" s"));
    m_milliseconds->setRange(0, 999);
    m_milliseconds->setSuffix(tr(" ms"));
    auto* group = new QButtonGroup(this);
    group->addButton(m_past);
    group->addButton(m_future);
    m_past->setChecked(true);

    auto* form = new QFormLayout(this);
    auto* intro = new QLabel(tr("Moves %1 (start and end); a song that would leave the recorded "
                                "stretch stays where it is.").arg(what));
    intro->setWordWrap(true);
    form->addRow(intro);
    auto* time = new QHBoxLayout;
    time->addWidget(m_seconds);
    time->addWidget(m_milliseconds);
    time->addWidget(m_amount);
    time->addStretch(1);
    form->addRow(tr("Shift time:"), time);
    auto* direction = new QHBoxLayout;
    direction->addWidget(m_past);
    direction->addWidget(m_future);
    direction->addStretch(1);
    form->addRow(tr("Direction:"), direction);
    m_problem->setObjectName(QStringLiteral("problem"));
    m_problem->setStyleSheet(QStringLiteral("color: #c00000"));
    m_problem->hide();
    form->addRow(m_problem);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    for (QSpinBox* box : {m_seconds, m_milliseconds})
        connect(box, &QSpinBox::valueChanged, this, &TimeShiftDialog::ShowAmount);
    connect(m_past, &QRadioButton::toggled, this, &TimeShiftDialog::ShowAmount);
    ShowAmount();
    resize(440, sizeHint().height());
}

int64_t TimeShiftDialog::Amount() const {
    return TimeShiftAmount(m_seconds->value(), m_milliseconds->value(), m_past->isChecked());
}

void TimeShiftDialog::ShowAmount() {
    const int64_t amount = Amount();
    const int64_t size = amount < 0 ? -amount : amount;
    m_amount->setText(QStringLiteral("= %1%2.%3 s")
                          .arg(amount < 0 ? QStringLiteral("-") : QStringLiteral("+"))
                          .arg(size / 1000)
                          .arg(size % 1000, 3, 10, QLatin1Char('0')));
}

void TimeShiftDialog::accept() {
    const int64_t amount = Amount();
    QString problem;
    if (amount == 0) problem = tr("Enter the time to shift by.");
    else if (!IsPlausibleClockDifference(static_cast<double>(amount) / 1000.0))
        problem = tr("At most a day (%1 s) either way.").arg(static_cast<int>(kMaxClockDifferenceSeconds));
    if (!problem.isEmpty()) {
        m_problem->setText(problem);
        m_problem->show();
        m_seconds->setFocus();
        return;
    }
    QDialog::accept();
}

bool RunTimeShift(UserPrompt& prompt, QWidget* parent, StreamViewPane& view) {
    const QString what = view.ShiftTarget();
    if (what.isEmpty()) {
        emit view.statusText(QObject::tr("The active stream has no songs to shift."));
        return false;
    }
    TimeShiftDialog dialog(what, parent);
    return QtUserPrompt::RunDialogWith(prompt, dialog) && view.ShiftDescriptions(dialog.Amount());
}

}  // namespace wk::ui
