#pragma once
// The "Export Audio Files" window of "create mp3's": the file being worked
// on and a bar that the extraction and the normalisation advance. One per
// main window, kept hidden between exports, above other windows while shown.
//
// Threading: the window lives on the GUI thread. Begin hands out the
// progress the export thread drives; that progress keeps the values under a
// lock and asks the window to redraw through Qt's queue, one request at a
// time, so a run of small steps costs the GUI thread one redraw.

#include <QDialog>
#include <memory>

class QLabel;
class QProgressBar;

namespace wk {
class CExportProgress;
}

namespace wk::ui {

class ExportProgressWindow final : public QDialog {
    Q_OBJECT
public:
    explicit ExportProgressWindow(QWidget* parent);
    ~ExportProgressWindow() override;

    // Shows the window for an export of `stream`; the progress stays valid
    // as long as someone holds it (the window forgets older ones).
    std::shared_ptr<CExportProgress> Begin(const QString& stream);
    // The export ended: the window goes.
    void Finish();

    QString Text() const;
    int Permille() const;  // of the bar's range

    class Relay;

private:
    void Redraw(const Relay& from);

    QLabel* m_text;
    QProgressBar* m_bar;
    std::shared_ptr<Relay> m_relay;
};

}  // namespace wk::ui
