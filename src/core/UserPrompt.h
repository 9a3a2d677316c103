#pragma once
// How a "message box" reaches the user: a dialog in the desktop shell, a line
// on stderr with a default answer on the command line and in the daemon.
// Styles and answers keep the numbering the rest of the program uses.

#include <string>

namespace wk {

// Message box styles (combinable: buttons | icon).
inline constexpr int kMbOk = 0x0;
inline constexpr int kMbOkCancel = 0x1;
inline constexpr int kMbYesNo = 0x4;
inline constexpr int kMbIconStop = 0x10;
inline constexpr int kMbIconQuestion = 0x20;
inline constexpr int kMbIconWarning = 0x30;
inline constexpr int kMbIconInformation = 0x40;

// Answers.
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

class UserPrompt {
public:
    virtual ~UserPrompt() = default;
    // Shows the text and returns the button pressed. Called on the main thread.
    virtual int Show(const std::string& text, int style) = 0;
    // The same under a caption (a dialog's title). Prompts without titles
    // put the caption before the text.
    virtual int ShowWithCaption(const std::string& text, const std::string& caption, int style) {
        return Show(caption.empty() ? text : caption + ": " + text, style);
    }
};

// Prints "wavkeep: <text>" to stderr and answers without asking: OK for an
// OK box, Yes or No for a Yes/No box as configured, Cancel for OK/Cancel
// unless yes is the default.
class StderrPrompt final : public UserPrompt {
public:
    explicit StderrPrompt(bool answerYes = false) : m_answerYes(answerYes) {}
    int Show(const std::string& text, int style) override;
    void SetAnswerYes(bool yes) { m_answerYes = yes; }

private:
    bool m_answerYes;
};

// The process-wide prompt (a StderrPrompt answering No unless replaced).
UserPrompt& GetUserPrompt();
void SetUserPrompt(UserPrompt* prompt);  // nullptr restores the default

}  // namespace wk
