#include "platform/Tuner.h"

#include <atomic>

#include "platform/TunerV4l2.h"

namespace wk {
namespace {

std::atomic<Tuner*> g_installed{nullptr};

}  // namespace

Tuner& GetTuner() {
    if (Tuner* t = g_installed.load()) return *t;
    static TunerV4l2 defaultTuner;
    return defaultTuner;
}

void SetTuner(Tuner* tuner) {
    g_installed.store(tuner);
}

}  // namespace wk
