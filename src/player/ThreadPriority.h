#pragma once
// Raises the calling thread to the highest priority an unprivileged process
// may use without real-time scheduling (best effort: a refusal is traced and
// the thread runs on as it is).

namespace wk {

void RaiseThreadPriority(const char* threadName);

}  // namespace wk
