#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

// One worker thread that runs submitted tasks one at a time, in submission order. Stands in for a
// labelled dispatch queue whose tasks all run as barriers. Delayed tasks run on the same thread
// once due.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Runs every task already submitted, drops delayed ones not yet due, then ends the thread.
    ~SerialQueue();

    SerialQueue(const SerialQueue &) = delete;
    SerialQueue &operator=(const SerialQueue &) = delete;

    const std::string &label() const { return m_label; }

    // Queues the task and returns at once.
    void async(std::function<void()> task);
    // Queues the task to run once the delay has passed.
    void asyncAfter(std::chrono::milliseconds delay, std::function<void()> task);
    // Returns once every task submitted before this call has run (delayed ones that are not yet
    // due are not waited for).
    void waitUntilIdle();
    // Whether tasks are queued, running or delayed.
    bool hasWork();

private:
    void run();

    std::string m_label;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<std::function<void()>> m_tasks;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> m_delayed;
    bool m_running = false;
    bool m_stopping = false;
    std::thread m_thread;
};
