#include "core/RecordingNotifier.h"

#include <algorithm>

namespace wk {

RecordingNotifier& RecordingNotifier::Instance() {
    static RecordingNotifier instance;
    return instance;
}

void RecordingNotifier::Subscribe(int eventCode, EventLoop& loop, ReceiverId receiver,
                                  int messageId) {
    std::lock_guard lock(m_mutex);
    const bool known =
        std::any_of(m_subscriptions.begin(), m_subscriptions.end(), [&](const Subscription& s) {
            return s.code == eventCode && s.loop == &loop && s.receiver == receiver &&
                   s.messageId == messageId;
        });
    // A window that subscribes again on every refresh must still get one message.
    if (!known) m_subscriptions.push_back(Subscription{eventCode, &loop, receiver, messageId});
}

void RecordingNotifier::Unsubscribe(EventLoop& loop, ReceiverId receiver) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_subscriptions,
                  [&](const Subscription& s) { return s.loop == &loop && s.receiver == receiver; });
}

void RecordingNotifier::Clear() {
    std::lock_guard lock(m_mutex);
    m_subscriptions.clear();
}

int RecordingNotifier::Notify(int eventCode, intptr_t p1, intptr_t p2) {
    // Posting under the lock means that once Unsubscribe returned, no
    // recording thread can still be posting to that receiver or its loop.
    // Post never calls back into the notifier, so this cannot deadlock.
    std::lock_guard lock(m_mutex);
    int posted = 0;
    for (const Subscription& s : m_subscriptions) {
        if (s.code == eventCode && s.loop->Post(s.receiver, s.messageId, p1, p2)) ++posted;
    }
    return posted;
}

}  // namespace wk
