#pragma once
// Runs the program's EventLoop (core/EventLoop.h) inside Qt's event loop, so
// that the application object, its timers and its workers' posted messages
// live in the window's process on the GUI thread.
//
// A post or a new timer from any thread wakes the driver through the loop's
// wake hook; the driver then dispatches on the GUI thread and arms one Qt
// single-shot timer for the next due program timer. A clock other than the
// system clock (a test's ManualClock) moves without telling anyone, so the
// driver then polls it as the plain loop does.
//
// When the program loop is told to quit (the "stop" request, SIGTERM), the
// driver emits quitRequested once; the window closes itself in answer.
//
// Threading: create, use and destroy on the GUI thread; the loop must
// outlive the driver.

#include <QObject>
#include <QTimer>
#include <atomic>

#include "core/EventLoop.h"

namespace wk::ui {

class QtEventLoop final : public QObject {
    Q_OBJECT
public:
    explicit QtEventLoop(EventLoop& loop, QObject* parent = nullptr);
    ~QtEventLoop() override;

    EventLoop& Loop() { return m_loop; }
    // Handlers run by the last dispatch pass and the longest pass in ms, for
    // the responsiveness check.
    int LastHandled() const { return m_lastHandled; }
    qint64 LongestPassMs() const { return m_longestPassMs; }

signals:
    void quitRequested();

public slots:
    void Pump();

private:
    void ArmTimer();

    EventLoop& m_loop;
    QTimer m_timer;
    std::atomic<bool> m_pumpQueued{false};
    bool m_quitSignalled = false;
    int m_lastHandled = 0;
    qint64 m_longestPassMs = 0;
};

}  // namespace wk::ui
