#include "ui/shell/QtEventLoop.h"

#include <QElapsedTimer>
#include <QMetaObject>
#include <algorithm>

#include "core/Clock.h"

namespace wk::ui {
namespace {

// As the plain loop: a clock that is not the system clock is looked at this often.
constexpr int kOtherClockPollMs = 10;
// Bounds how late a switch of the process clock is noticed.
constexpr int kSystemClockMaxWaitMs = 1000;

}  // namespace

QtEventLoop::QtEventLoop(EventLoop& loop, QObject* parent) : QObject(parent), m_loop(loop) {
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, &QtEventLoop::Pump);
    // Coalesced: a burst of posts from a worker queues one pump, not one each.
    m_loop.SetWakeHook([this] {
        if (!m_pumpQueued.exchange(true))
            QMetaObject::invokeMethod(this, &QtEventLoop::Pump, Qt::QueuedConnection);
    });
    QMetaObject::invokeMethod(this, &QtEventLoop::Pump, Qt::QueuedConnection);
}

QtEventLoop::~QtEventLoop() {
    m_loop.SetWakeHook(nullptr);
}

void QtEventLoop::Pump() {
    m_pumpQueued.store(false);
    QElapsedTimer took;
    took.start();
    m_lastHandled = m_loop.ProcessPending();
    m_longestPassMs = std::max(m_longestPassMs, took.elapsed());
    if (m_loop.QuitRequested() && !m_quitSignalled) {
        m_quitSignalled = true;
        emit quitRequested();
        return;
    }
    ArmTimer();
}

void QtEventLoop::ArmTimer() {
    const bool systemClock = dynamic_cast<SystemClock*>(&GetClock()) != nullptr;
    const int cap = systemClock ? kSystemClockMaxWaitMs : kOtherClockPollMs;
    const int64_t next = m_loop.MsToNextTimer();
    const int wait = next < 0 ? cap : static_cast<int>(std::min<int64_t>(next, cap));
    m_timer.start(wait);
}

}  // namespace wk::ui
