#include "ui/shell/QtUserPrompt.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QPushButton>
#include <QThread>

#include "core/EventLog.h"
#include "core/Trace.h"

namespace wk::ui {
namespace {

constexpr const char* kAnswerProperty = "wavkeepAnswer";
constexpr const char* kProgramName = "wavkeep";

int DefaultAnswer(int style) {
    switch (style & 0xF) {
    case kMbYesNo:
        return kIdNo;
    case kMbOkCancel:
        return kIdCancel;
    default:
        return kIdOk;
    }
}

void AddButton(QMessageBox& box, QMessageBox::StandardButton which, int answer) {
    QAbstractButton* button = box.addButton(which);
    button->setProperty(kAnswerProperty, answer);
}

}  // namespace

std::unique_ptr<QMessageBox> QtUserPrompt::MakeBox(const std::string& text,
                                                   const std::string& caption, int style,
                                                   QWidget* parent) {
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(QString::fromStdString(caption.empty() ? kProgramName : caption));
    box->setText(QString::fromStdString(text));
    switch (style & 0xF0) {
    case kMbIconStop:
        box->setIcon(QMessageBox::Critical);
        break;
    case kMbIconQuestion:
        box->setIcon(QMessageBox::Question);
        break;
    case kMbIconWarning:
        box->setIcon(QMessageBox::Warning);
        break;
    case kMbIconInformation:
        box->setIcon(QMessageBox::Information);
        break;
    default:
        break;
    }
    switch (style & 0xF) {
    case kMbYesNo:
        AddButton(*box, QMessageBox::Yes, kIdYes);
        AddButton(*box, QMessageBox::No, kIdNo);
        // A question that deletes something must not be answered by a
        // stray Enter.
        box->setDefaultButton(QMessageBox::No);
        box->setEscapeButton(QMessageBox::No);
        break;
    case kMbOkCancel:
        AddButton(*box, QMessageBox::Ok, kIdOk);
        AddButton(*box, QMessageBox::Cancel, kIdCancel);
        box->setEscapeButton(QMessageBox::Cancel);
        break;
    default:
        AddButton(*box, QMessageBox::Ok, kIdOk);
        box->setEscapeButton(QMessageBox::Ok);
        break;
    }
    return box;
}

int QtUserPrompt::AnswerOf(const QAbstractButton* button) {
    if (button == nullptr) return 0;
    bool ok = false;
    const int answer = button->property(kAnswerProperty).toInt(&ok);
    return ok ? answer : 0;
}

int QtUserPrompt::Show(const std::string& text, int style) {
    return ShowWithCaption(text, std::string(), style);
}

int QtUserPrompt::ShowWithCaption(const std::string& text, const std::string& caption, int style) {
    if (QApplication::instance() == nullptr ||
        QThread::currentThread() != QApplication::instance()->thread()) {
        const int answer = DefaultAnswer(style);
        Trace(kTraceError, "A message box was asked for off the GUI thread; logged, answered %d: %s",
              answer, text.c_str());
        AddEvent(caption.empty() ? text : caption + ": " + text);
        return answer;
    }
    std::unique_ptr<QMessageBox> box = MakeBox(text, caption, style, m_parent);
    QAbstractButton* pressed = m_responder ? m_responder(*box) : nullptr;
    if (pressed == nullptr) {
        box->exec();
        pressed = box->clickedButton();
    }
    // Closing the box with the window manager picks the escape button.
    const int answer = AnswerOf(pressed);
    return answer != 0 ? answer : DefaultAnswer(style);
}

bool QtUserPrompt::RunDialog(QDialog& dialog) {
    if (QApplication::instance() == nullptr ||
        QThread::currentThread() != QApplication::instance()->thread()) {
        Trace(kTraceError, "A form was asked for off the GUI thread; cancelled: %s",
              dialog.windowTitle().toStdString().c_str());
        return false;
    }
    if (m_dialogResponder) {
        // Accepting is pressing OK: the form's own checks run and may keep
        // it open, which counts as not accepted here.
        dialog.setResult(QDialog::Rejected);
        if (m_dialogResponder(dialog)) dialog.accept();
        return dialog.result() == QDialog::Accepted;
    }
    return dialog.exec() == QDialog::Accepted;
}

bool QtUserPrompt::RunDialogWith(UserPrompt& prompt, QDialog& dialog) {
    if (auto* qt = dynamic_cast<QtUserPrompt*>(&prompt)) return qt->RunDialog(dialog);
    return dialog.exec() == QDialog::Accepted;
}

}  // namespace wk::ui
