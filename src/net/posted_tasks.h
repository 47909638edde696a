#pragma once

#include <unistd.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>

namespace korvane {

// Work other threads hand to a session thread: queued under a lock, announced
// on the thread's eventfd, run in order on that thread. Once closed (the
// thread ended, or never started) new work is dropped.
class PostedTasks {
public:
    using Task = std::function<void()>;

    void setWakeFD(int fd) { m_wakeFD = fd; }

    // Any thread.
    void post(Task task)
    {
        {
            std::lock_guard lock(m_mutex);
            if (!m_accepting)
                return;
            m_tasks.push_back(std::move(task));
        }
        wake();
    }
    void wake() const
    {
        const std::uint64_t one = 1;
        if (m_wakeFD >= 0)
            (void)::write(m_wakeFD, &one, sizeof one);
    }
    // Returns once a task running on the session thread has finished.
    void sync() { std::lock_guard lock(m_mutex); }

    // The session thread, after its eventfd fired: what was posted, in order,
    // until `quit` turns true.
    void runAll(const bool &quit)
    {
        std::uint64_t count;
        (void)::read(m_wakeFD, &count, sizeof count);
        std::deque<Task> tasks;
        {
            std::lock_guard lock(m_mutex);
            tasks.swap(m_tasks);
        }
        for (auto &task : tasks) {
            if (quit)
                return;
            task();
        }
    }
    void close()
    {
        std::lock_guard lock(m_mutex);
        m_accepting = false;
        m_tasks.clear();
    }

private:
    int m_wakeFD = -1;
    std::mutex m_mutex;
    std::deque<Task> m_tasks; // guarded by m_mutex
    bool m_accepting = true;  // guarded by m_mutex
};

} // namespace korvane
