#pragma once
// "Options" (Ctrl+O): every setting of config.ini a user changes, on five
// tabs: Recording (encoder, mode, bit rate, chunk length, disk allowance,
// silence detection), Folders (songs, streams, trace level), Service (its
// addresses, the country code, automatic downloads and export), TV input
// (kind and tuner values) and Colours (the stream view's).
//
// Each field's widget carries the key as its object name (the encoder
// choices carry the "Encoder" values). OK checks every changed value with
// the rules "wavkeep config set" uses (app/ConfigValues.h): a bad one is
// named with the reason on its tab and the dialog stays open. Otherwise the
// changed keys, and only they, are saved to config.ini at once, under its
// lock, onto what the file holds then (a running daemon's changes to other
// keys stay). A file that cannot be written says so and keeps the dialog.
//
// Threading: GUI thread.

#include <QDialog>
#include <QString>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/ConfigStore.h"

class QLabel;
class QRadioButton;
class QTabWidget;
class QWidget;
class QFormLayout;

namespace wk {
class UserPrompt;
}

namespace wk::ui {

class OptionsDialog final : public QDialog {
    Q_OBJECT
public:
    explicit OptionsDialog(QWidget* parent = nullptr);

    void accept() override;
    // The keys OK saved.
    const std::vector<std::string>& Saved() const { return m_saved; }
    // Tests the libraries again and enables the engines that can record.
    void ShowEncoders();

private:
    struct Field {
        std::string key;
        QString label;    // as the form shows it
        QWidget* widget;  // focused when its value is refused
        std::function<std::string()> value;
        int tab;
        std::string shown;  // the value when the dialog opened
    };

    QWidget* RecordingTab();
    QWidget* FoldersTab();
    QWidget* ServiceTab();
    QWidget* TvTab();
    QWidget* ColoursTab();
    QWidget* EncoderBox();
    void AddLine(QFormLayout* form, const char* key, const QString& label, bool folder = false);
    void AddCheck(QFormLayout* form, const char* key, const QString& label);
    void AddColour(QFormLayout* form, const char* key, const QString& label);
    void Add(const std::string& key, QWidget* widget, std::function<std::string()> value, const QString& label);
    void ImportEncoder();
    void Refuse(const Field& field, const QString& why);

    ConfigStore m_config;  // as the dialog opened
    QTabWidget* m_tabs;
    QLabel* m_problem;
    std::vector<Field> m_fields;
    std::vector<std::pair<std::string, QRadioButton*>> m_encoders;
    std::vector<std::pair<std::string, QLabel*>> m_encoderNotes;
    std::vector<std::string> m_saved;
    int m_buildingTab = 0;
};

// Ctrl+O: the dialog, modal, through the prompt. The keys saved, or nothing
// when it was cancelled.
std::optional<std::vector<std::string>> RunOptions(UserPrompt& prompt, QWidget* parent);

}  // namespace wk::ui
