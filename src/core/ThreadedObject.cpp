#include "core/ThreadedObject.h"

namespace wk {

ThreadedObject::ThreadedObject() {
    m_thread.Create(&ThreadedObject::ThreadProc, this);
}

int ThreadedObject::ThreadProc(void* arg) {
    auto* self = static_cast<ThreadedObject*>(arg);
    self->OnThreadStart();
    self->Run();
    return 0;
}

int ThreadedObject::Resume() {
    return m_thread.Resume();
}

bool ThreadedObject::Stop() {
    ++m_stopCount;
    if (!m_thread.Cancel()) Signal();
    return m_thread.WaitForEnd(kStopWaitMs);
}

}  // namespace wk
