#include "core/shell/SerialQueue.h"

#include <pthread.h>

SerialQueue::SerialQueue(std::string label) : m_label(std::move(label))
{
    m_thread = std::thread([this] { run(); });
}

SerialQueue::~SerialQueue()
{
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void SerialQueue::async(std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_tasks.push_back(std::move(task));
    }
    m_wake.notify_one();
}

void SerialQueue::asyncAfter(std::chrono::milliseconds delay, std::function<void()> task)
{
    {
        std::lock_guard lock(m_mutex);
        m_delayed.emplace(std::chrono::steady_clock::now() + delay, std::move(task));
    }
    m_wake.notify_one();
}

bool SerialQueue::hasWork()
{
    std::lock_guard lock(m_mutex);
    return m_running || !m_tasks.empty() || !m_delayed.empty();
}

void SerialQueue::waitUntilIdle()
{
    std::unique_lock lock(m_mutex);
    m_idle.wait(lock, [this] { return m_tasks.empty() && !m_running; });
}

void SerialQueue::run()
{
    // Thread names are limited to 15 characters.
    pthread_setname_np(pthread_self(), m_label.substr(0, 15).c_str());
    std::unique_lock lock(m_mutex);
    for (;;) {
        // Move delayed tasks that are due behind the immediate ones.
        const auto now = std::chrono::steady_clock::now();
        while (!m_delayed.empty() && m_delayed.begin()->first <= now) {
            m_tasks.push_back(std::move(m_delayed.begin()->second));
            m_delayed.erase(m_delayed.begin());
        }
        if (m_tasks.empty()) {
            if (m_stopping) {
                return; // everything submitted has run; delayed tasks are dropped
            }
            m_idle.notify_all();
            if (m_delayed.empty()) {
                m_wake.wait(lock);
            } else {
                m_wake.wait_until(lock, m_delayed.begin()->first);
            }
            continue;
        }
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        m_running = true;
        lock.unlock();
        task();
        task = nullptr; // release captures outside the lock's protection but on this thread
        lock.lock();
        m_running = false;
    }
}
