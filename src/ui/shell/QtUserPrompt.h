#pragma once
// The UserPrompt of the desktop shell: every "message box" of the program
// becomes a QMessageBox with the text, the caption (the program's name when
// none is given), the buttons and the icon of its style, and the answer is
// the numbered button (core/UserPrompt.h).
//
// Message boxes need the GUI thread. A prompt from another thread (a worker
// that should have used the silent style) is never shown: it goes into the
// event log with a trace line and gets the answer the command line would
// give (OK, No, Cancel), so a worker never blocks on a dialog.
//
// Tests and scripted sessions set a responder: it sees the box as it would
// be shown and picks the button to press, so nothing waits for a person.
// The shell's own modal forms (track properties) run through RunDialog for
// the same reason: a dialog responder fills them in and accepts or rejects.

#include <QMessageBox>
#include <functional>
#include <memory>

#include "core/UserPrompt.h"

class QDialog;
class QWidget;

namespace wk::ui {

class QtUserPrompt final : public UserPrompt {
public:
    // Returns the button to press, or nullptr to show the box and wait.
    using Responder = std::function<QAbstractButton*(QMessageBox& box)>;

    explicit QtUserPrompt(QWidget* parent = nullptr) : m_parent(parent) {}

    int Show(const std::string& text, int style) override;
    int ShowWithCaption(const std::string& text, const std::string& caption, int style) override;

    void SetParent(QWidget* parent) { m_parent = parent; }
    void SetResponder(Responder responder) { m_responder = std::move(responder); }

    // Returns true to press OK on the form as the responder left it (the
    // form's checks still run and may refuse), false to cancel it; no
    // responder: the form is shown and waits.
    using DialogResponder = std::function<bool(QDialog& dialog)>;
    void SetDialogResponder(DialogResponder responder) { m_dialogResponder = std::move(responder); }
    // Runs a modal form; true when it was accepted. Off the GUI thread the
    // form is never shown and counts as cancelled.
    bool RunDialog(QDialog& dialog);
    // RunDialog when `prompt` is a QtUserPrompt, else the form is shown.
    static bool RunDialogWith(UserPrompt& prompt, QDialog& dialog);
    QWidget* Parent() const { return m_parent; }

    // The box a style makes, not yet shown; its buttons carry their answer
    // (AnswerOf).
    static std::unique_ptr<QMessageBox> MakeBox(const std::string& text, const std::string& caption,
                                                int style, QWidget* parent);
    static int AnswerOf(const QAbstractButton* button);

private:
    QWidget* m_parent;
    Responder m_responder;
    DialogResponder m_dialogResponder;
};

}  // namespace wk::ui
