#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// One worker thread that runs submitted tasks one at a time, in submission order. Stands in for a
// labelled dispatch queue whose tasks all run as barriers.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Runs every task already submitted, then ends the thread.
    ~SerialQueue();

    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    const std::string &label() const { return m_label; }

    // Queues the task and returns at once.
    void async(std::function<void()> task);
    // Returns once every task submitted before this call has run.
    void waitUntilIdle();

private:
    void run();

    std::string m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_tasks;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_thread;
};
