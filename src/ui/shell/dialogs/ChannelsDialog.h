#pragma once
// "Channels" (Ctrl+C): the stream list. Each stream is ticked when scheduled
// tasks record it; the selected stream's kind (radio or music TV), the
// service's number for it, the TV tuner channel and its noise settings (the
// silence detection's values) are edited beside the list, and new streams
// are added by name.
//
// Nothing is written until OK: then every change goes into
// StreamFileNames.txt at once, through the same change the command line's
// "wavkeep streams add/activate" makes (the list as the file holds it then,
// under its lock; only the fields changed here), and new streams get their
// folders. A name that cannot be a stream's folder is refused with the
// reason and the dialog stays open; so it does when the list cannot be
// written. Cancel writes nothing.
//
// Threading: GUI thread.

#include <QDialog>
#include <vector>

#include "streamstore/StreamRecord.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QSpinBox;

namespace wk {
class UserPrompt;
}

namespace wk::ui {

class ChannelsDialog final : public QDialog {
    Q_OBJECT
public:
    explicit ChannelsDialog(QWidget* parent = nullptr);

    void accept() override;

    // Adds a stream by name as the Add button does; false with the reason
    // shown when the name is refused.
    bool AddStream(const QString& name);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Row {
        StreamRecord before;  // as read; for a new stream its first values
        StreamRecord now;
        bool added = false;
    };
    void Select(int row);
    void StoreForm();
    void ShowProblem(const QString& problem);
    QListWidgetItem* ItemFor(const Row& row);

    std::vector<Row> m_rows;
    StreamRecord m_newTemplate;
    int m_shown = -1;
    QListWidget* m_list;
    QLineEdit* m_newName;
    QComboBox* m_kind;
    QSpinBox* m_serviceNumber;
    QSpinBox* m_tunerChannel;
    QSpinBox* m_silenceMinimum;
    QSpinBox* m_sensitivity;
    QSpinBox* m_shortest;
    QSpinBox* m_longest;
    QLabel* m_problem;
};

// Ctrl+C: runs the dialog through the prompt (so scripted sessions answer
// it); true when the stream list was saved.
bool RunChannelsDialog(UserPrompt& prompt, QWidget* parent);

}  // namespace wk::ui
