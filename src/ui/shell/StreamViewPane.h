#pragma once
// Where the stream view goes. The main window's first page is a
// StreamViewPane: it is told the active stream, and every command the
// command table routes to the stream view (play, zoom, marking, stream
// deletion, silence detection, recording) is handed to HandleCommand while
// the pane is shown. The time line, its renderer and the player come in a
// pane of their own that MainWindow::SetStreamViewPane installs; until then
// PlaceholderStreamPane summarises the stream and says which commands wait.
//
// Threading: GUI thread.

#include <QWidget>
#include <cstdint>
#include <string>

class QLabel;

namespace wk::ui {

class StreamViewPane : public QWidget {
    Q_OBJECT
public:
    using QWidget::QWidget;
    // The active stream changed (also at start).
    virtual void SetStream(const std::string& name) = 0;
    // New chunks or descriptions are on disk (chunk completed, import done,
    // the document's reload).
    virtual void Reload() {}
    // The colours in config.ini changed: draw with them.
    virtual void ColoursChanged() {}
    // The recorder completed a chunk (or stopped, closing its last one).
    virtual void ChunkCompleted() { Reload(); }
    // A command of the stream view; false when the pane does not perform it
    // (the window then says so in the status bar).
    virtual bool HandleCommand(int commandId) = 0;
    // The hand time shift: what it would move, in words ("the selected
    // song", "all 12 songs"), empty when there is nothing to move; then the
    // move by `amountMs` (negative: to the past). False when nothing moved
    // (the pane says why).
    virtual QString ShiftTarget() const { return QString(); }
    virtual bool ShiftDescriptions(int64_t /*amountMs*/) { return false; }

signals:
    // A line for the status bar.
    void statusText(const QString& text);
};

class PlaceholderStreamPane final : public StreamViewPane {
    Q_OBJECT
public:
    explicit PlaceholderStreamPane(QWidget* parent = nullptr);
    void SetStream(const std::string& name) override;
    void Reload() override;
    bool HandleCommand(int commandId) override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    std::string m_stream;
    QLabel* m_summary;
    bool m_stale = false;
};

}  // namespace wk::ui
