#pragma once
// The message queue of a player thread: posted from any thread, taken in
// order by the one thread that owns it. A payload travels with its message
// and is freed with it.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <utility>

namespace wk {

template <typename Payload>
class ThreadMessageQueue {
public:
    struct Item {
        int id = 0;
        intptr_t p1 = 0;
        intptr_t p2 = 0;
        std::unique_ptr<Payload> payload;
    };

    void Post(int id, intptr_t p1 = 0, intptr_t p2 = 0, std::unique_ptr<Payload> payload = nullptr) {
        {
            std::lock_guard lock(m_mutex);
            m_items.push_back(Item{id, p1, p2, std::move(payload)});
        }
        m_cv.notify_one();
    }

    // Blocks until a message arrives; false once Quit was called.
    bool Take(Item* item) {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return m_quit || !m_items.empty(); });
        if (m_quit) return false;
        *item = std::move(m_items.front());
        m_items.pop_front();
        return true;
    }

    void Quit() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_cv.notify_all();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<Item> m_items;
    bool m_quit = false;
};

}  // namespace wk
