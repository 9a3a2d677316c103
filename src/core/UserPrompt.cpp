#include "core/UserPrompt.h"

#include <atomic>
#include <cstdio>

namespace wk {
namespace {
std::atomic<UserPrompt*> g_prompt{nullptr};
}

int StderrPrompt::Show(const std::string& text, int style) {
    std::fprintf(stderr, "wavkeep: %s\n", text.c_str());
    switch (style & 0xF) {
    case kMbYesNo:
        return m_answerYes ? kIdYes : kIdNo;
    case kMbOkCancel:
        return m_answerYes ? kIdOk : kIdCancel;
    default:
        return kIdOk;
    }
}

UserPrompt& GetUserPrompt() {
    static StderrPrompt fallback;
    UserPrompt* p = g_prompt.load();
    return p ? *p : fallback;
}

void SetUserPrompt(UserPrompt* prompt) {
    g_prompt.store(prompt);
}

}  // namespace wk
